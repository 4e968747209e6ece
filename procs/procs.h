// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "procs/query.h"
#include "procs/system.h"

namespace varnok::procs {

/// What one `varnok procs` check found, in check_procs's words.
struct ProcsResult {
    int status = 3;  ///< the exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN
    ProcsSystem system = ProcsSystem::Auto;  ///< the system whose listing was read
    long long count = 0;                     ///< processes that passed every filter
    long long total = 0;                     ///< processes listed, less this check's own session
    long long warn = 0;       ///< counted processes whose metric alerts at warning only (-m)
    long long crit = 0;       ///< counted processes whose metric alerts at critical (-m)
    std::string status_line;  ///< "PROCS OK: 2 processes with command name 'sshd'"
    std::string perfdata;     ///< "procs=2;1:3;;0;"; empty when UNKNOWN
    std::vector<std::string> warnings;  ///< lines for the long output (texts that may be cut, ...)
    std::vector<std::string> explain;   ///< with verbose: one line per listing line, then totals
    std::string json;                   ///< with json: the result as one JSON object
    /// The plugin output: status line and perfdata, then the warnings and the explain lines.
    std::string output() const;
};

/// The extra columns the query's listing needs.
Extras extras_for(const ProcsQuery& query);

/// Reads the output of procs_command(system, extras_for(query)) and applies the query as
/// check_procs would; an unusable option, a filter the system cannot answer or an unreadable
/// listing is UNKNOWN.
ProcsResult evaluate(const ProcsQuery& query, const std::string& remote_output, ProcsSystem system);

}  // namespace varnok::procs
