// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

namespace varnok {

/// Replaces this process with the program name (varnok-core, varnok-serve) run as argv0 with
/// args: the one beside this executable when there is one (a build tree), else the installed
/// one. Returns only by exiting with status 3 after saying on standard error why it could not.
[[noreturn]] void exec_program(const char* name, const char* argv0,
                               const std::vector<std::string>& args);

}  // namespace varnok
