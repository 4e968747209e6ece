// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace varnok::procs {

/// What the remote command printed, split at its markers; views into the text given.
struct RemoteOutput {
    std::string_view os;                  ///< what uname -s printed; empty when missing
    std::optional<long long> shell_pid;   ///< the pid of the shell that ran the listing
    std::optional<int> exit_status;       ///< the listing's exit status; none: no end marker
    bool unsupported = false;             ///< the shell had no listing for the system
    std::vector<std::string_view> lines;  ///< every other non-blank line, without line end
    std::vector<std::string_view> ticks;  ///< Linux: /proc's stat lines after the listing
    long long ticks_per_second = 0;       ///< what kTicksMarker gave (0: none, -1: unreadable)
    bool again = false;                   ///< a second listing followed the first (kAgainMarker)
    /// With again: the first listing's lines and exit status; lines and exit_status the second's.
    std::vector<std::string_view> earlier;
    std::optional<int> earlier_exit_status;       ///< the first listing's, with again
    std::vector<std::string_view> earlier_ticks;  ///< the first listing's stat lines
    long long earlier_ticks_per_second = 0;       ///< the first listing's tick rate
};

/// Splits the remote command's output (LF or CR LF lines) into markers and listing lines.
RemoteOutput split_remote_output(std::string_view text);

}  // namespace varnok::procs
