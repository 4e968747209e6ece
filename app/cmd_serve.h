// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/subcommand.h"

namespace varnok {

/// The one line `varnok --help` lists for serve.
inline constexpr const char* kServeHelp =
    "Hold SSH sessions open and answer `check --via` and `procs --via` requests on a Unix socket";

/// `varnok serve --config FILE`: holds SSH sessions open and answers `check`/`procs --via` requests
/// on a Unix socket until SIGTERM; SIGHUP reloads the config.
Action add_serve_command(CLI::App& cmd);

}  // namespace varnok
