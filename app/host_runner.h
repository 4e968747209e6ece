// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "check/check_report.h"

namespace varnok {

/// One host of a hosts file.
struct HostEntry {
    std::string host;
    std::string timeout;
};

/// Reads a hosts file: one host a line, an optional time limit after white space, blank lines
/// and "#" comments skipped.
std::vector<HostEntry> parse_hosts(const std::string& text, const std::string& default_timeout);

/// The requests of one host: every rule with the host's name and time limit.
std::vector<CheckRequest> requests_for(const HostEntry& host,
                                       const std::vector<CheckRequest>& rules);

/// Checks one host's requests, one report each (run_checks in a run).
using HostCheck = std::function<std::vector<CheckReport>(const std::vector<CheckRequest>&)>;
/// Receives the reports of one host.
using HostReports = std::function<void(const std::vector<CheckReport>&)>;

/// Checks the rules on every host, up to jobs hosts at a time, each on a thread of its own, and
/// calls emit on the calling thread with each host's reports in the order of hosts, as soon as
/// they and all before them are done. A check that throws gives each rule of its host an
/// UNKNOWN report with the exception's text. Every thread is joined before it returns or throws.
void run_hosts(const std::vector<HostEntry>& hosts, const std::vector<CheckRequest>& rules,
               int jobs, const HostCheck& check, const HostReports& emit);

}  // namespace varnok
