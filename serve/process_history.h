// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace varnok {

/// One process of a rule as one listing shows it.
struct ListedProcess {
    long long pid = 0;
    double start_time = 0;   ///< Unix seconds: the listing's time less the process's elapsed time
    double cpu_seconds = 0;  ///< CPU time used so far
    long long threads = 0;   ///< 0 where the system lists no threads
};

/// What a rule's state gives a probe.
struct RuleFigures {
    double cpu_seconds_total = 0;  ///< a counter: CPU of the rule's processes, kept as they end
    uint64_t started_total = 0;    ///< processes that appeared since the state's first listing
    std::optional<double> oldest_start_time;  ///< Unix seconds; none without a process
    long long threads = 0;                    ///< threads of the rule's processes now
};

/// How much state a ProcessHistory holds at most.
struct HistoryLimits {
    size_t max_rules = 100000;       ///< (target, module, rule) states; the least recently used go
    size_t max_processes = 10000;    ///< processes followed per rule (the lowest pids)
    size_t max_total = 1000000;      ///< processes followed in all; the least recently used go
    std::chrono::seconds idle{600};  ///< a state not updated for so long is dropped
};

/// The processes each (target, module, rule) had at its last probe, so that a probe can count
/// CPU time across processes that end and processes that start. Thread-safe.
class ProcessHistory {
  public:
    /// An empty history held to the limits.
    explicit ProcessHistory(HistoryLimits limits = {});

    /// Folds one listing of the rule's processes into its state and gives its figures; drops
    /// the states idle past the limit, and the least recently used above max_rules or max_total.
    RuleFigures update(const std::string& target, const std::string& module,
                       const std::string& rule, std::vector<ListedProcess> processes,
                       std::chrono::steady_clock::time_point now);

    /// Sets the idle time after which a state is dropped (the pool's idle time: its session is
    /// closed by then).
    void set_idle(std::chrono::seconds idle);

    /// The number of states held.
    size_t size() const;

  private:
    struct Followed {
        long long pid;
        double start_time;
        double cpu_seconds;
    };
    struct State {
        std::vector<Followed> processes;  // by pid
        double cpu_total = 0;
        uint64_t started = 0;
        std::chrono::steady_clock::time_point used;
        std::list<std::string>::iterator order;  // its place in lru_
    };
    void prune(std::chrono::steady_clock::time_point now, bool room);

    HistoryLimits limits_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, State> states_;
    std::list<std::string> lru_;  // most recently used first
    size_t total_ = 0;            // processes followed in all states
};

}  // namespace varnok
