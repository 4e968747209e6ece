// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
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

/// An UNKNOWN report with text for each request, as for a check that could not run.
std::vector<CheckReport> failed_reports(const std::vector<CheckRequest>& requests,
                                        const std::string& text);

/// Runs work(i) for every i below count, up to jobs at a time, each on a thread of its own, and
/// calls emit(i) on the calling thread for each i in order, as soon as it and all before it are
/// done. What work(i) throws goes to failed(i, text) on the same thread, so slot i still gets a
/// result; what failed throws is rethrown here when i's turn comes. Every thread is joined
/// before it returns or throws.
void run_in_order(size_t count, int jobs, const std::function<void(size_t)>& work,
                  const std::function<void(size_t, const std::string&)>& failed,
                  const std::function<void(size_t)>& emit);

/// Checks one host's requests, one report each (run_checks in a run).
using HostCheck = std::function<std::vector<CheckReport>(const std::vector<CheckRequest>&)>;
/// Receives the reports of one host.
using HostReports = std::function<void(const std::vector<CheckReport>&)>;

/// Checks the rules on every host through run_in_order: emit gets each host's reports in the
/// order of hosts, and a check that throws gives each rule of its host an UNKNOWN report with
/// the exception's text.
void run_hosts(const std::vector<HostEntry>& hosts, const std::vector<CheckRequest>& rules,
               int jobs, const HostCheck& check, const HostReports& emit);

}  // namespace varnok
