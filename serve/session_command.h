// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "check/check_run.h"
#include "listing/session_opener.h"
#include "listing/ssh_session.h"

namespace varnok {

/// Milliseconds left until deadline, rounded up; 0 once it has passed.
int ms_left(std::chrono::steady_clock::time_point deadline);

/// Polls what the step before asked for (or sleeps briefly when it asked for nothing), at most
/// timeout_ms.
void wait_for(std::vector<pollfd>& fds, int timeout_ms);

/// What the requests on one session share: libssh's calls on it are made under mutex, and one
/// request at a time waits on its socket for all of them.
struct SessionLock {
    std::mutex mutex;
    std::condition_variable changed;  ///< the socket was read, a channel ended, a login ended
    bool polling = false;             ///< a request waits on the socket
    int running = 0;                  ///< commands on the session's channels now
    int opened = 0;                   ///< of those, the ones whose channel the server granted
    int most_opened = 0;              ///< the most channels the server has granted at once
};

/// What one command on a session gave.
struct CommandOutcome {
    CapturedListing listing{true, {}, {}, FailureKind::None};  ///< what it received, or why not
    bool broken = false;   ///< the session is no longer fit for another command
    bool refused = false;  ///< the server refused the channel and keeps the connection
};

/// Logs in to target without blocking past deadline (seconds is the limit it stands for, in
/// texts); the session goes to out, the login's warnings to warnings, or the refusal is returned.
std::optional<Refusal> open_session(LoginTarget target,
                                    std::chrono::steady_clock::time_point deadline, int seconds,
                                    std::unique_ptr<SshSession>& out,
                                    std::vector<std::string>& warnings);

/// Runs command on a new channel of the logged-in session until it ends, the deadline passes
/// (seconds is the limit it stands for) or the session fails; where names the server in texts.
/// held holds shared.mutex on entry and on return; other requests' commands run on the same
/// session meanwhile.
CommandOutcome run_command(SshSession& session, SessionLock& shared,
                           std::unique_lock<std::mutex>& held, const std::string& command,
                           std::chrono::steady_clock::time_point deadline, int seconds,
                           const std::string& where);

}  // namespace varnok
