// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "check/check_report.h"
#include "serve/login_limits.h"
#include "state/state.h"

namespace varnok {

/// The daemon's own figures, as /metrics shows them.
struct PoolFigures {
    int sessions_open = 0;
    std::map<std::string, uint64_t> logins;  ///< logins attempted, by result: ok or failure_name()
    uint64_t evicted = 0;                    ///< idle sessions closed to stay under the cap
    uint64_t requests = 0;  ///< requests answered (each rule and each raw command counts once)
    std::map<std::string, uint64_t> failures;  ///< by failure_name(): connect, auth, hostkey, ...
};

/// How a request's listing was had, as a probe shows it.
struct SessionFacts {
    bool reused = false;         ///< it rode a session that was open before it
    double age_seconds = 0;      ///< of that session (0 when none)
    double backoff_seconds = 0;  ///< the wait left before its login is tried again (0: none)
};

/// How the pool holds sessions and logs in.
struct PoolSettings {
    std::chrono::seconds idle{600};          ///< an unused session closes after it
    std::chrono::seconds keepalive{30};      ///< idle sessions are probed this often
    int max_logins = 16;                     ///< logins in progress at once
    int http_logins = 0;                     ///< of those, what HTTP probes may hold (0: half)
    size_t max_sessions = 10000;             ///< past it the least recently used idle one closes
    std::chrono::seconds login_backoff{60};  ///< first wait after an auth or hostkey failure
    std::chrono::seconds max_session_age{3600};  ///< an older session logs in again
    int max_channels = 10;  ///< commands at once on one session (the host may allow fewer)
};

/// What one raw command on a pooled session gave.
struct RawOutcome {
    std::string received;                     ///< its standard output
    FailureKind failure = FailureKind::None;  ///< why it did not run to its end
    std::string text;                         ///< the failure's text
    std::vector<std::string> warnings;        ///< the warnings of the session's login
};

/// Holds at most one authenticated SSH session per (address, port, user, host-key policy, keyed
/// hash of the credentials) and runs each listing on a channel of its own on it, up to the
/// host's channel limit at once. Thread-safe.
class SessionPool {
  public:
    explicit SessionPool(const PoolSettings& settings);
    ~SessionPool();
    SessionPool(const SessionPool&) = delete;
    SessionPool& operator=(const SessionPool&) = delete;

    /// Runs the requests as run_checks() would (same check run, byte for byte the same reports),
    /// riding an open session where one matches the credentials, else logging in (and keeping the
    /// session). A request with KEYF logs in with its key_text and is refused without one: the
    /// pool opens no file. deadline, when given, ends every request by then at the latest.
    /// Never throws; a failed login is each request's report.
    /// facts, when given, gets how the first request's listing was had.
    std::vector<CheckReport> run(
        const std::vector<CheckRequest>& requests, RequestOrigin origin = RequestOrigin::Socket,
        std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt,
        SessionFacts* facts = nullptr);

    /// Runs command on the session of the login (host, port, user, password, key file, time
    /// limit) and host-key policy as run() takes a listing: riding an open session whose
    /// credentials match, else logging in; key_text is the key file's contents when the login
    /// has one. Never throws.
    RawOutcome run_raw(const CheckSettingsRecord& login, const HostKeyPolicy& host_keys,
                       const std::string& command,
                       const std::optional<std::string>& key_text = std::nullopt);

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
