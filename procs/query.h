// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ranges.h"

namespace varnok::procs {

/// The filters of check_procs; a process is counted when it passes all of them.
enum class FilterKind {
    State,            ///< -s: ps's state letters contain the value as one piece
    Ppid,             ///< -p: the parent's pid
    User,             ///< -u: a user name, or a numeric user id
    Rss,              ///< -r: resident set size (KiB) at least the value
    Vsz,              ///< -z: virtual size (KiB) at least the value
    Pcpu,             ///< -P: %CPU at least the value
    Args,             ///< -a: the arguments contain the value
    ArgsRegex,        ///< --ereg-argument-array: POSIX extended regex found in the arguments
    Command,          ///< -C: the command name without its path equals the value
    Exclude,          ///< -X: the command name is none of the comma-separated names
    NoKernelThreads,  ///< -k: not a child of kthreadd (Linux)
};

/// One filter with its option's text as given.
struct ProcsFilter {
    FilterKind kind;
    std::string value;
};

/// What -m checks the ranges against: the count, or each counted process's value.
enum class Metric { Procs, Vsz, Rss, Cpu, Elapsed, Threads };

/// The metric of a -m text (PROCS, VSZ, RSS, CPU, ELAPSED as check_procs spells them, THREADS).
std::optional<Metric> metric_from_name(std::string_view name);

/// check_procs's text for a -m text that names no metric.
inline constexpr std::string_view kMetricError =
    "Metric must be one of PROCS, VSZ, RSS, CPU, ELAPSED, THREADS!";

/// The name of a metric, as the status line starts with it.
std::string_view metric_name(Metric metric);

/// Everything one `varnok procs` check asks.
struct ProcsQuery {
    std::vector<ProcsFilter> filters;  ///< in command-line order: the description follows it
    Metric metric = Metric::Procs;
    std::optional<ThresholdRange> warning;
    std::optional<ThresholdRange> critical;
    int interval = 0;      ///< --interval: seconds between two listings (0: one listing)
    bool verbose = false;  ///< -v: the explain lines, and the alerting names of a metric
    bool json = false;     ///< fill ProcsResult::json
};

}  // namespace varnok::procs
