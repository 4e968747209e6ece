// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "procs/system.h"

namespace varnok::procs {

/// A space or a tab.
bool blank(char c);
/// s without the blanks and carriage returns at its end.
std::string_view rtrim(std::string_view s);
/// The first position from pos on that holds no blank (s.size() when none).
size_t skip_blanks(std::string_view s, size_t pos);

/// Why a row's texts may be shorter than the process's own.
enum CutFlag : unsigned {
    kNameAtWidth = 1,  ///< the command name has the most characters the system keeps
    kArgsAtWidth = 2,  ///< the arguments have the most characters the listing shows
    kLineAtWidth = 4,  ///< the line has the most characters the listing writes
};

/// One listing line read; texts are views into the listing's text.
struct ProcRow {
    enum class Kind { Process, Header, Unparsed };
    Kind kind = Kind::Unparsed;
    std::string_view raw;    ///< the whole line
    std::string_view state;  ///< the state letters, as ps prints them
    std::string_view user;   ///< empty when the listing has no user names; without AIX's "+"
    std::optional<long long> uid;
    long long pid = 0;
    long long ppid = 0;
    long long vsz = 0;  ///< KiB; 0 when ps printed "-"
    long long rss = 0;  ///< KiB
    double pcpu = 0;
    long long elapsed = 0;  ///< seconds since the process started
    double cpu_time = 0;    ///< seconds of CPU used so far (the CpuTime column)
    long long threads = 0;  ///< the Threads column
    std::string_view comm;  ///< the command name as ps prints it
    std::string_view name;  ///< comm without its path: what -C compares
    std::string_view args;  ///< the command line
    unsigned cut = 0;       ///< CutFlag bits
};

/// Reads every listing line as the system's listing (with the extras) prints it; the first line
/// whose PID column reads "PID" is the header, and its column positions guide the lines after it.
std::vector<ProcRow> parse_listing(const std::vector<std::string_view>& lines, ProcsSystem system,
                                   Extras extras = {});

/// Seconds of an elapsed time: [[dd-]hh:]mm:ss, or plain seconds.
std::optional<long long> parse_elapsed(std::string_view text);

/// Seconds of a CPU time: an elapsed time with hundredths or less after a point (BSD's mm:ss.hh).
std::optional<double> parse_cpu_time(std::string_view text);

}  // namespace varnok::procs
