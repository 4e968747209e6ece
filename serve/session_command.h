// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>

#include <chrono>
#include <memory>
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

/// The text of a check that ran out of its seconds while doing something, as the direct check
/// words it.
std::string timed_out(int seconds, const std::string& doing, const std::string& where);

/// What one command on a session gave; broken when the session itself failed under it.
struct CommandOutcome {
    CapturedListing listing{true, {}, {}, FailureKind::None};  ///< what it received, or why not
    bool broken = false;  ///< the session is no longer fit for another command
};

/// Logs in to target without blocking past deadline (seconds is the limit it stands for, in
/// texts); the session goes to out, the login's warnings to warnings, or the refusal is returned.
std::optional<Refusal> open_session(LoginTarget target,
                                    std::chrono::steady_clock::time_point deadline, int seconds,
                                    std::unique_ptr<SshSession>& out,
                                    std::vector<std::string>& warnings);

/// Runs command on a new channel of the logged-in session until it ends, the deadline passes
/// (seconds is the limit it stands for) or the session fails; where names the server in texts.
CommandOutcome run_command(SshSession& session, const std::string& command,
                           std::chrono::steady_clock::time_point deadline, int seconds,
                           const std::string& where);

}  // namespace varnok
