// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace varnok {

/// What a subcommand does once its options are parsed.
struct Action {
    /// Runs the subcommand; returns the exit status.
    std::function<int()> run;
    /// True when a failure must be one plugin line on standard output (check --format nagios).
    std::function<bool()> plugin_output = [] { return false; };
};

/// One subcommand of varnok.
struct Subcommand {
    const char* name;
    const char* help;
    /// Adds the options to cmd, bound to state of the action's own, and gives the action; null
    /// for a subcommand that another program runs.
    Action (*add_options)(CLI::App& cmd);
};

}  // namespace varnok
