// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "procs/filters.h"
#include "procs/listing.h"
#include "procs/procs.h"

namespace varnok::procs {

/// Why a listing line was counted or not.
enum class Verdict : unsigned char { Counted, Filtered, OwnSession, Header, Unparsed };

/// One listing line's verdict.
struct RowVerdict {
    Verdict verdict = Verdict::Unparsed;
    int filter = -1;  ///< Filtered: the index of the filter that left it out
    int status = 0;   ///< Counted under -m: the metric's status (0 OK, 1 WARNING, 2 CRITICAL)
    double interval_cpu = -1;  ///< under --interval: CPU % used between the listings
    bool appeared = false;     ///< under --interval: not in the first listing
};

/// A listing read and judged, as the report functions need it.
struct Judged {
    const ProcsQuery& query;
    const SystemInfo& system;
    const Filters& filters;
    const std::vector<ProcRow>& rows;
    const std::vector<RowVerdict>& verdicts;
    bool shell_pid_known = false;
    size_t ended = 0;  ///< under --interval: processes of the first listing gone by the second
};

/// The long output's warnings: texts that may be cut, unread lines, a missing shell pid.
std::vector<std::string> warnings_for(const Judged& judged);

/// The explain view: one line per listing line with its verdict, then the totals.
std::vector<std::string> explain_lines(const Judged& judged);

/// The result, and with a listing its counted processes, as one JSON object.
std::string json_for(const ProcsResult& result, const ProcsQuery& query, const Judged* judged);

/// The plugin output of one host of many: the status line, the warnings and the explain lines,
/// each marked "HOST<TAB>"; the performance data is left to labelled_perfdata.
std::string host_output(const ProcsResult& result, const std::string& host);

/// The result's performance data with "HOST_" before every label, so that the data of many
/// hosts can share one line.
std::string labelled_perfdata(const ProcsResult& result, const std::string& host);

/// The result's JSON object with the host as its first member.
std::string host_json(const ProcsResult& result, const std::string& host);

}  // namespace varnok::procs
