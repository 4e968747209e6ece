// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "state/defaults.h"

namespace varnok {

/// What the client makes of the words of `varnok check` or `varnok procs` before sending them.
struct ViaRequest {
    std::string command = "check";  ///< the subcommand: check or procs
    std::string socket;             ///< --via or VARNOK_VIA; empty: not sent
    bool no_fallback = false;       ///< --no-fallback
    bool nagios = false;            ///< --format nagios (procs's default): a failure is one line
    bool json = false;              ///< --format json
    int seconds = kDefaultTimeLimitSeconds;  ///< the check's time limit
    std::vector<std::string> args;           ///< the words after the subcommand, as sent
    std::vector<std::pair<std::string, std::string>> files;  ///< files named, with their texts
    bool reports = false;  ///< ask for the check's reports as JSON instead of its printed output
    /// Why the request cannot be sent (a key file that is not safe to send): the check runs
    /// directly and says so. Empty when it can.
    std::string direct_reason;
};

/// Reads the words after command ("check" or "procs") and the files they name, parameter files
/// and key files (KEYF, -i), whose contents are sent: the daemon opens no file a request names.
/// nullopt when the run is the direct check's own (no socket, --passive, --hosts, help, or a
/// parameter file that cannot be read: the direct run says why).
std::optional<ViaRequest> via_request(const std::string& command,
                                      const std::vector<std::string>& args);

/// Adds the contents of each key file to the request's files, once each; the first that is not
/// safe to send sets direct_reason and no more are read.
void add_key_files(ViaRequest& request, const std::vector<std::string>& keys);

/// Whole seconds left of a limit of seconds started at start, rounded to the nearest (a direct
/// check counts whole seconds); nullopt when less than half a second is left.
std::optional<int> seconds_left(int seconds, std::chrono::steady_clock::time_point start);

/// What the daemon said.
struct ViaAnswer {
    enum class Kind { Answered, Direct, NoAnswer } kind = Kind::NoAnswer;
    bool accepted = false;  ///< the daemon acknowledged the request before running it
    int status = 3;
    std::string out, err;
    std::string reports;  ///< for a request of reports: the daemon's, as a JSON array
    std::string reason;   ///< why there is no answer, or why the daemon sent the check back
};

/// The variable through which a direct run after a failed --via hears why: its text is the
/// warning the check's output carries.
inline constexpr char kViaFallbackVariable[] = "VARNOK_VIA_FELL_BACK";

/// The warning of a direct run after a failed --via; "" for any other run.
inline std::string via_fell_back() {
    const char* text = std::getenv(kViaFallbackVariable);
    return text == nullptr ? "" : text;
}

/// Why a socket is not to be believed: not a socket, or in a folder that someone other than
/// root or the socket's owner could have put it in; "" when it is. Names what is missing too.
std::string untrusted_socket(const std::string& path);

/// Sends the request to a socket it trusts, waits about a second (less under a short limit) for
/// the daemon's acknowledgement and then for the answer until shortly after the time limit;
/// NoAnswer with the reason when it does not send or either does not come, so that the caller
/// can still check directly.
ViaAnswer ask_daemon(const ViaRequest& request);

/// The words after the subcommand for a direct run with seconds left of the time limit.
std::vector<std::string> with_time_limit(std::vector<std::string> args, int seconds);

}  // namespace varnok
