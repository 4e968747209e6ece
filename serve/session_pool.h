// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "check/check_report.h"
#include "state/state.h"

namespace varnok {

/// The daemon's own figures, as /metrics shows them.
struct PoolFigures {
    int sessions_open = 0;
    uint64_t logins = 0;    ///< logins attempted since start
    uint64_t requests = 0;  ///< requests answered (each rule and each raw command counts once)
    std::map<std::string, uint64_t> failures;  ///< by failure_name(): connect, auth, hostkey, ...
};

/// What one raw command on a pooled session gave.
struct RawOutcome {
    std::string received;                     ///< its standard output
    FailureKind failure = FailureKind::None;  ///< why it did not run to its end
    std::string text;                         ///< the failure's text
    std::vector<std::string> warnings;        ///< the warnings of the session's login
};

/// Holds at most one authenticated SSH session per (host, port, user, keyed hash of the
/// credentials) and runs each listing on a new channel of it. Thread-safe.
class SessionPool {
  public:
    /// idle: an unused session closes after it; max_logins: logins in progress at once.
    SessionPool(std::chrono::seconds idle, std::chrono::seconds keepalive, int max_logins);
    ~SessionPool();
    SessionPool(const SessionPool&) = delete;
    SessionPool& operator=(const SessionPool&) = delete;

    /// Runs the requests as run_checks() would (same check run, byte for byte the same reports),
    /// riding an open session where one matches the credentials, else logging in (and keeping the
    /// session). Never throws; a failed login is each request's report.
    std::vector<CheckReport> run(const std::vector<CheckRequest>& requests);

    /// Runs command on the session of the login (host, port, user, password, key file, time
    /// limit) and host-key policy as run() takes a listing: riding an open session whose
    /// credentials match, else logging in. Never throws.
    RawOutcome run_raw(const CheckSettingsRecord& login, const HostKeyPolicy& host_keys,
                       const std::string& command);

    /// Closes sessions idle longer than the idle time and sends keepalives; the daemon calls it
    /// about once a second.
    void tend();

    /// The figures so far.
    PoolFigures figures() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace varnok
