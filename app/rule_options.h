// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "check/check_report.h"

namespace CLI {
class App;
}

namespace varnok {

/// The options check, list and gui share: the time limit, host keys and parameter strings.
struct RuleOptions {
    std::string timeout = "0";
    std::string known_hosts;
    std::string host_key_check = "accept-new";
    std::vector<std::string> params;
    std::vector<std::string> param_files;
    /// --param and --param-file in the order given: a rule's name and how to read its string.
    std::vector<std::pair<std::string, std::function<std::string()>>> sources;
    /// File texts a client sent along, read instead of the files they name.
    std::map<std::string, std::string> inlined_files;
};

/// Adds --known-hosts, --host-key-check, -t/--timeout, --param and --param-file to cmd; many
/// lets --param/--param-file be given more than once, one rule each; optional lets both be left
/// out.
void add_rule_options(CLI::App& cmd, RuleOptions& options, bool many, bool optional = false);

/// Where a run checks: one host, or every host of a hosts file, jobs hosts at a time.
struct HostOptions {
    std::string host;
    std::string hosts_file;
    int jobs = 8;
};

/// Adds host_names (the one-host option), --hosts and --jobs to cmd; returns what the command's
/// final callback calls to throw CLI::RequiredError when neither host option was given.
std::function<void()> add_host_options(CLI::App& cmd, HostOptions& options,
                                       const std::string& host_names);

/// Parses the words a `--via` client sent (a subcommand's, without its name) into cmd; false
/// when they do not parse, which leaves the run to the client.
bool parse_sent_words(CLI::App& cmd, const std::vector<std::string>& words);

/// The host key policy of the options.
HostKeyPolicy host_key_policy(const RuleOptions& options);

/// One request per rule, without a host, parameter files read now; throws std::runtime_error
/// for a file that cannot be read.
std::vector<CheckRequest> read_requests(const RuleOptions& options);

/// The whole text of a file ("-": standard input); throws std::runtime_error when unreadable.
std::string read_text(const std::string& file);

/// The text without the line ends at its end, which an editor or echo adds to a file.
std::string without_line_end(std::string text);

}  // namespace varnok
