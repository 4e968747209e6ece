// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "check/check_report.h"

namespace CLI {
class App;
}

namespace varnok {

/// What `varnok serve` has of a client's request besides its words: the daemon opens no file a
/// request names, so it has only what the client read and sent.
struct ServedContext {
    std::map<std::string, std::string> files;  ///< path -> contents, as the client read them
    std::string known_hosts;                   ///< the daemon's own known_hosts ("": the default)
};

/// Thrown when a client's words need what the daemon does not do for a client (a file it was not
/// sent, --hosts, --passive, another known_hosts): the client then checks directly, saying why.
struct DirectOnly : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// The options check, procs, list and gui share: the time limit, host keys and parameter strings.
struct RuleOptions {
    std::string timeout = "0";
    std::string known_hosts;
    std::string host_key_check = "accept-new";
    std::vector<std::string> params;
    std::vector<std::string> param_files;
    /// --param and --param-file in the order given: a rule's name and how to read its string.
    std::vector<std::pair<std::string, std::function<std::string()>>> sources;
    /// Set when the daemon runs a client's words: files come only from what it sent.
    const ServedContext* served = nullptr;
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

/// Parses the words a `--via` client sent (a subcommand's, without its name) into cmd for the
/// daemon's run under served; throws DirectOnly when they do not parse or name a known_hosts
/// other than the daemon's, whose file then becomes the options' own.
void parse_sent_words(CLI::App& cmd, const std::vector<std::string>& words, RuleOptions& options,
                      const ServedContext& served);

/// The contents of a file the options name: read, or under a daemon's run what the client sent
/// (DirectOnly when it did not).
std::string file_text(const RuleOptions& options, const std::string& path);

/// The host key policy of the options.
HostKeyPolicy host_key_policy(const RuleOptions& options);

/// One request per rule, without a host, parameter files read now (and, under a daemon's run,
/// each KEYF's sent contents as the key text); throws std::runtime_error for a file that cannot
/// be read.
std::vector<CheckRequest> read_requests(const RuleOptions& options);

/// The whole text of a file ("-": standard input); throws std::runtime_error when unreadable.
std::string read_text(const std::string& file);

/// The text without the line ends at its end, which an editor or echo adds to a file.
std::string without_line_end(std::string text);

}  // namespace varnok
