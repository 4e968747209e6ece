#pragma once

#include "app/subcommand.h"

namespace varnok {

/// `varnok check`: one check, several rules or hosts, in text, plugin or JSON output, with
/// passive results.
Action add_check_command(CLI::App& cmd);

}  // namespace varnok
