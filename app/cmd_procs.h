// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/subcommand.h"

namespace varnok {

/// `varnok procs`: check_procs's filters and metrics over one SSH login per host, in check_procs's
/// output (or JSON).
Action add_procs_command(CLI::App& cmd);

}  // namespace varnok
