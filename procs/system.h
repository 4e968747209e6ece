// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnok::procs {

/// The remote systems `varnok procs` has a listing for; Auto lets the remote shell choose.
enum class ProcsSystem { Auto, Linux, Bsd, Solaris, Aix, Hpux, Cygwin };

/// The columns a listing may print before the command name and the arguments.
enum class Column : unsigned char {
    State,
    Uid,
    User,
    Pid,
    Ppid,
    Vsz,
    Rss,
    Pcpu,
    Elapsed,
    CpuTime,  ///< cumulative CPU time, only when asked for (Extras)
    Threads,  ///< threads of the process, only when asked for (Extras)
};

/// The columns a listing prints besides those every check reads.
struct Extras {
    bool cpu_time = false;  ///< the cumulative CPU time (`time`)
    bool threads = false;   ///< the number of threads (`nlwp`, `thcount`)
};

/// What one system's listing prints and where its ps cuts texts.
struct SystemInfo {
    ProcsSystem system;
    std::string_view name;            ///< as messages name the system: "Linux", "HP-UX"
    std::string_view listing;         ///< the ps command line up to comm and args, run by /bin/sh
    std::span<const Column> columns;  ///< before comm and args; empty: Cygwin's fixed layout
    std::string_view threads;         ///< the -o keyword of the thread count; "": none
    int name_width = 0;          ///< a command name this long may have been cut (0: no known limit)
    int args_width = 0;          ///< arguments this long may have been cut (0: not cut)
    int line_width = 0;          ///< a line this long may have been cut (0: not cut)
    double time_resolution = 1;  ///< seconds of the `time` column's last digit (0: none)
    /// True when the listing can print the column (the extras when asked for).
    bool has(Column column) const;
    /// The columns before comm and args of the listing with the extras.
    std::vector<Column> columns_with(Extras extras) const;
};

/// The table entry of a system other than Auto.
const SystemInfo& system_info(ProcsSystem system);

/// The one remote command line of a check: prints the system name (uname -s), the shell's pid
/// and the listing between markers; for Auto the shell picks the listing by uname -s. With an
/// interval of seconds it sleeps that long after the listing and lists again (kAgainMarker).
std::string procs_command(ProcsSystem system, Extras extras = {}, int interval = 0);

/// The system whose listing fits what uname -s printed, if any.
std::optional<ProcsSystem> system_from_uname(std::string_view uname);

/// Reads a system name as the parameter string or a person writes it (LINUX, BSD, SOLARIS,
/// AIX, HPUX or HP-UX, OPENSSHCYGWIN or CYGWIN, AUTO), in any letter case.
std::optional<ProcsSystem> system_from_name(std::string_view name);

/// The marker lines the remote command prints around the listing.
inline constexpr std::string_view kOsMarker = "varnok-procs-os";
inline constexpr std::string_view kPidMarker = "varnok-procs-pid";
inline constexpr std::string_view kEndMarker = "varnok-procs-end";
inline constexpr std::string_view kUnsupportedMarker = "varnok-procs-unsupported";
inline constexpr std::string_view kAgainMarker = "varnok-procs-again";
inline constexpr std::string_view kTicksMarker = "varnok-procs-ticks";

}  // namespace varnok::procs
