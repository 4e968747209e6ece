// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/remote_run.h"
#include "app/rule_options.h"
#include "app/subcommand.h"

namespace varnok {

/// `varnok procs`: check_procs's filters and metrics over one SSH login per host, in check_procs's
/// output (or JSON).
Action add_procs_command(CLI::App& cmd);

/// Runs `varnok procs` with args (the words after "procs") for a client of `varnok serve`: the
/// texts in files stand for the files they name, remote runs the listing command, out gets what
/// the command prints; the exit status, or nullopt for a run the client must make itself
/// (arguments that do not parse, --hosts, no host name).
/// Runs the words a `--via` client sent after `varnok procs` as the daemon does (see
/// ServedContext), with its pool as remote; throws DirectOnly for a run that is the client's.
int run_procs_words(const std::vector<std::string>& args, const ServedContext& served,
                    const KeyedRemoteRun& remote, std::ostream& out);

}  // namespace varnok
