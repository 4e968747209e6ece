// SPDX-License-Identifier: Apache-2.0
#include <CLI/CLI.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/cmd_check.h"
#include "app/cmd_demo.h"
#include "app/cmd_gui.h"
#include "app/cmd_list.h"
#include "app/cmd_param.h"
#include "app/cmd_procs.h"
#include "app/cmd_serve.h"
#include "app/plugin_output.h"
#include "app/program_exec.h"
#include "state/version.h"

namespace {

using namespace varnok;

constexpr const char* kAbout =
    "varnok: an agentless process check. It logs into a host over SSH, lists its processes,\n"
    "counts those with a name and says whether the alert rule is met. Exit status: 0 OK,\n"
    "1 WARNING (with --warning), 2 CRITICAL (the rule's alert condition is met, or the count is\n"
    "outside --critical), 3 UNKNOWN (the check could not run).";

// The subcommands in the order --help lists them.
const Subcommand kSubcommands[] = {
    {"check", "Run one check (or one per host) and print the result", add_check_command},
    {"procs", "check_procs's filters and metrics over SSH, in check_procs's output",
     add_procs_command},
    {"list", "List the remote processes, sorted, one per line", add_list_command},
    {"gui",
     "Edit the parameter string in the settings dialog and print it (exit 0 after OK, 1 after "
     "the close box)",
     add_gui_command},
    {"param",
     "Compose a parameter string (the dialog's defaults where an option is not given), or "
     "--show one",
     add_param_command},
    {"demo", "Start a throwaway sshd on 127.0.0.1 and check it for sshd processes",
     add_demo_command},
    // varnok-serve runs it (main hands it over before parsing); listed here for --help.
    {"serve", kServeHelp, nullptr},
};

}  // namespace

int main(int argc, char** argv) {
    // The daemon's libraries stay out of this program, which every direct check loads.
    if (argc > 1 && std::string_view(argv[1]) == "serve")
        exec_program("varnok-serve", argv[0], {argv + 1, argv + argc});
    CLI::App app{kAbout};
    app.set_version_flag("-V,--version", std::string("varnok ") + kVersionText);
    app.require_subcommand(1);
    std::vector<std::pair<CLI::App*, Action>> commands;
    for (const Subcommand& s : kSubcommands) {
        CLI::App* cmd = app.add_subcommand(s.name, s.help);
        if (s.add_options == nullptr) continue;
        commands.emplace_back(cmd, s.add_options(*cmd));
    }
    const auto chosen = [&commands]() -> const Action* {
        for (const auto& [cmd, action] : commands) {
            if (cmd->parsed()) return &action;
        }
        return nullptr;
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // A plugin run ends with its one line of output, whatever failed.
        const Action* action = chosen();
        if (e.get_exit_code() != 0 && action != nullptr && action->plugin_output())
            return fail(true, e.what());
        return app.exit(e) == 0 ? 0 : kUnknownExit;
    }
    const Action* action = chosen();
    if (action == nullptr) return kUnknownExit;
    try {
        return action->run();
    } catch (const std::exception& e) {
        return fail(action->plugin_output(), e.what());
    }
}
