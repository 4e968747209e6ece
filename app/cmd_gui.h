// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/subcommand.h"

namespace varnok {

/// `varnok gui`: the settings dialog for a parameter string, which it prints as left.
Action add_gui_command(CLI::App& cmd);

}  // namespace varnok
