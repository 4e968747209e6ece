// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/check_report.h"
#include "serve/session_pool.h"

namespace varnok {

/// A sample value as the text format writes it: the shortest text that reads back the same.
std::string metric_number(double value);
/// A label value with the three escapes the format knows.
std::string label_value(const std::string& value);

/// The plugin status of a rule: 0 OK when it passed, 2 CRITICAL when its alert condition is
/// met, 3 UNKNOWN when no listing was counted.
int rule_status(const CheckReport& report);

/// A probe's answer in the text exposition format: probe_success, probe_duration_seconds,
/// varnok_processes, varnok_matching_processes and varnok_rule_status per rule, varnok_failure
/// over the fixed reasons (connect, auth, hostkey, timeout, listing).
/// With the session the probe rode: varnok_session_reused, varnok_session_age_seconds and
/// varnok_login_backoff_seconds.
std::string probe_exposition(const std::vector<CheckReport>& reports, double duration_seconds,
                             const SessionFacts& session = {});

/// A probe's log for debug=true: one line per rule with its status and text, then its warnings.
std::string probe_log(const std::vector<CheckReport>& reports);

/// The daemon's own state besides the pool's figures.
struct DaemonState {
    uint64_t probes = 0;                  ///< /probe requests answered
    bool last_reload_ok = true;           ///< the last config reload succeeded
    double last_reload_success_time = 0;  ///< Unix time of the last good (re)load
};

/// The daemon's own figures in the text exposition format, as /metrics shows them.
std::string daemon_exposition(const PoolFigures& pool, const DaemonState& state);

/// The process's own figures from /proc/self (open and most descriptors, resident memory, CPU
/// seconds, start time) and varnok_build_info with the version, in the text exposition format.
std::string process_exposition();

}  // namespace varnok
