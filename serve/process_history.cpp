// SPDX-License-Identifier: Apache-2.0
#include "serve/process_history.h"

#include <algorithm>
#include <cmath>

namespace varnok {
namespace {

// The start times of two listings differ by the elapsed time's whole seconds and the clock:
// more than that is another process under the same pid.
constexpr double kSameStart = 2.5;

}  // namespace

ProcessHistory::ProcessHistory(HistoryLimits limits) : limits_(limits) {}

void ProcessHistory::set_idle(std::chrono::seconds idle) {
    const std::lock_guard lock(mutex_);
    limits_.idle = idle;
}

size_t ProcessHistory::size() const {
    const std::lock_guard lock(mutex_);
    return states_.size();
}

RuleFigures ProcessHistory::update(const std::string& target, const std::string& module,
                                   const std::string& rule, std::vector<ListedProcess> processes,
                                   std::chrono::steady_clock::time_point now) {
    std::sort(processes.begin(), processes.end(),
              [](const ListedProcess& a, const ListedProcess& b) { return a.pid < b.pid; });
    if (processes.size() > limits_.max_processes) processes.resize(limits_.max_processes);
    // Neither a target nor a module name holds a NUL: the key splits one way only.
    std::string key = target + '\0' + module + '\0' + rule;

    const std::lock_guard lock(mutex_);
    prune(now, states_.count(key) == 0);
    auto [it, fresh] = states_.try_emplace(std::move(key));
    State& state = it->second;
    if (fresh) {
        lru_.push_front(it->first);
    } else {
        lru_.splice(lru_.begin(), lru_, state.order);
    }
    state.order = lru_.begin();
    state.used = now;

    RuleFigures figures;
    std::vector<Followed> next;
    next.reserve(processes.size());
    auto was = state.processes.begin();
    for (const ListedProcess& p : processes) {
        while (was != state.processes.end() && was->pid < p.pid) ++was;
        const bool same = was != state.processes.end() && was->pid == p.pid &&
                          std::fabs(was->start_time - p.start_time) <= kSameStart;
        if (same) {
            // A counter never goes back, even when a listing rounds a time down.
            state.cpu_total += std::max(0.0, p.cpu_seconds - was->cpu_seconds);
            next.push_back({p.pid, was->start_time, std::max(p.cpu_seconds, was->cpu_seconds)});
        } else {
            // The first listing is the baseline; later, every process not seen is new, and
            // all its CPU time was used since the last listing.
            state.started += fresh ? 0 : 1;
            state.cpu_total += p.cpu_seconds;
            next.push_back({p.pid, p.start_time, p.cpu_seconds});
        }
        const double start = next.back().start_time;
        if (!figures.oldest_start_time || start < *figures.oldest_start_time)
            figures.oldest_start_time = start;
        figures.threads += p.threads;
    }
    total_ = total_ - state.processes.size() + next.size();
    state.processes = std::move(next);
    figures.cpu_seconds_total = state.cpu_total;
    figures.started_total = state.started;
    return figures;
}

void ProcessHistory::prune(std::chrono::steady_clock::time_point now, bool room) {
    while (!lru_.empty()) {
        const auto it = states_.find(lru_.back());
        if (states_.size() + room <= limits_.max_rules && total_ <= limits_.max_total &&
            now - it->second.used < limits_.idle)
            break;
        total_ -= it->second.processes.size();
        states_.erase(it);
        lru_.pop_back();
    }
}

}  // namespace varnok
