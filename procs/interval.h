// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <vector>

#include "procs/listing.h"

namespace varnok::procs {

/// One process's CPU between two listings.
struct IntervalCpu {
    double percent = 0;     ///< CPU seconds used between the listings per second, times 100
    bool appeared = false;  ///< not in the first listing: all its CPU time was used in between
};

/// The CPU each process of the later listing used since the earlier one, taken `seconds` before
/// (percent of one CPU, from the CpuTime column): a process of both listings counts the growth
/// of its CPU time, one that appeared in between all of it. Rows other than processes get 0.
std::vector<IntervalCpu> interval_cpu(const std::vector<ProcRow>& earlier,
                                      const std::vector<ProcRow>& later, double seconds);

/// Replaces the CPU time of each row whose pid a /proc stat line (Linux, after kTicksMarker)
/// names by that line's user and system ticks over ticks_per_second: hundredths instead of
/// ps's whole seconds. Lines that do not read are passed over.
void read_ticks(std::vector<ProcRow>& rows, const std::vector<std::string_view>& stat_lines,
                long long ticks_per_second);

/// The processes of the earlier listing that the later one no longer shows; ignore marks rows
/// of the earlier listing not to count (this check's own session).
size_t ended_processes(const std::vector<ProcRow>& earlier, const std::vector<ProcRow>& later,
                       const std::vector<bool>& ignore);

}  // namespace varnok::procs
