// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/host_runner.h"
#include "app/rule_options.h"
#include "app/subcommand.h"

namespace varnok {

/// `varnok check`: one check, several rules or hosts, in text, plugin or JSON output, with
/// passive results.
Action add_check_command(CLI::App& cmd);

/// Runs `varnok check` with args (the words after "check") for a client of `varnok serve`: the
/// texts in files stand for the files they name, check takes the listings, out and err get what
/// the command prints; the exit status, or nullopt for a run the client must make itself
/// (arguments that do not parse, --passive, a file that cannot be read).
/// Runs the words a `--via` client sent after `varnok check` as the daemon does (see
/// ServedContext), with its pool as check; throws DirectOnly for a run that is the client's.
int run_check_words(const std::vector<std::string>& args, const ServedContext& served,
                    const HostCheck& check, std::ostream& out, std::ostream& err);

}  // namespace varnok
