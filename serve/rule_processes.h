// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "serve/process_history.h"
#include "serve/serve_config.h"
#include "serve/session_pool.h"

namespace varnok {

/// A listing sorted to the rules: each rule's processes, or why there are none.
struct RuleProcesses {
    std::string error;     ///< why the listing could not be read; "" when it was
    bool threads = false;  ///< the system lists threads
    std::vector<std::vector<ListedProcess>> rules;  ///< per rule, in the order given
};

/// The remote command that lists processes with their CPU time (and threads where listed) for
/// a parameter string's OS (empty: the host's uname -s picks).
std::string process_listing_command(const std::string& os_type);

/// Reads the output of process_listing_command(os_type) taken at now_unix and sorts its
/// processes to the rules, each by its name as the rule reads it (PRO, FULL: the command line
/// holds it, or is it); this listing's own login is left out.
RuleProcesses rule_processes(const std::string& output, const std::string& os_type,
                             const std::vector<CheckSettingsRecord>& rules, double now_unix);

/// What a probe adds with the module's process_metrics: the text exposition lines, and the
/// debug log's line when the listing failed.
struct ProcessProbe {
    std::string metrics;
    std::string log;
};

/// Lists the target's processes on the session the module's rules rode (one more channel, by
/// the deadline), folds each rule's processes into the history, and gives
/// varnok_process_cpu_seconds_total, varnok_processes_started_total,
/// varnok_oldest_start_time_seconds and varnok_threads per rule.
ProcessProbe probe_processes(SessionPool& pool, ProcessHistory& history, const ServeConfig& config,
                             const ProbeModule& module, const std::string& target,
                             std::chrono::steady_clock::time_point deadline);

}  // namespace varnok
