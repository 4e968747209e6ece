// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/subcommand.h"

namespace varnok {

/// `varnok demo`: a check of a throwaway sshd on 127.0.0.1.
Action add_demo_command(CLI::App& cmd);

}  // namespace varnok
