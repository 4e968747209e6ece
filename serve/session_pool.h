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

/// Who sent a request: the engine over the socket, or a scrape over HTTP. Logins are shared so
/// that HTTP probes, which anyone who reaches the listener can send, never take them all.
enum class RequestOrigin { Socket, Http };

/// Holds at most one authenticated SSH session per (host, port, user, keyed hash of the
/// credentials) and runs each listing on a new channel of it. Thread-safe.
class SessionPool {
  public:
    /// idle: an unused session closes after it; max_logins: logins in progress at once, of which
    /// HTTP probes hold at most http_logins (0: half of max_logins).
    SessionPool(std::chrono::seconds idle, std::chrono::seconds keepalive, int max_logins,
                int http_logins = 0);
    ~SessionPool();
    SessionPool(const SessionPool&) = delete;
    SessionPool& operator=(const SessionPool&) = delete;

    /// Runs the requests as run_checks() would (same check run, byte for byte the same reports),
    /// riding an open session where one matches the credentials, else logging in (and keeping the
    /// session). A request with KEYF logs in with its key_text and is refused without one: the
    /// pool opens no file. deadline, when given, ends every request by then at the latest.
    /// Never throws; a failed login is each request's report.
    std::vector<CheckReport> run(
        const std::vector<CheckRequest>& requests, RequestOrigin origin = RequestOrigin::Socket,
        std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

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
