// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/subcommand.h"

namespace varnok {

/// `varnok list`: the remote processes, sorted, one a line.
Action add_list_command(CLI::App& cmd);

}  // namespace varnok
