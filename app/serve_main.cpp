// SPDX-License-Identifier: Apache-2.0
// varnok-serve, the daemon behind `varnok serve`, is a program of its own so that a check, run
// thousands of times a minute, loads none of the daemon's libraries (HTTP, YAML, crypt). It
// takes the same command line as `varnok serve`, which varnok and varnok-core hand over whole.
#include <CLI/CLI.hpp>
#include <exception>

#include "app/cmd_serve.h"
#include "app/plugin_output.h"

int main(int argc, char** argv) {
    using namespace varnok;
    CLI::App app{"varnok-serve: the program behind `varnok serve`"};
    app.require_subcommand(1);
    const Action action = add_serve_command(*app.add_subcommand("serve", kServeHelp));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kUnknownExit;
    }
    try {
        return action.run();
    } catch (const std::exception& e) {
        return fail(false, e.what());
    }
}
