// SPDX-License-Identifier: Apache-2.0
#include "app/cmd_gui.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "app/plugin_output.h"
#include "app/rule_options.h"
#include "automation/automation_error.h"
#include "check/frmmain.h"
#include "check/varnok_com.h"

namespace varnok {
namespace {

struct GuiOptions {
    std::string host;
    RuleOptions rules;
};

// The dialog is the check object's own, so this subcommand drives the contract object.
int run(const GuiOptions& o) {
    VarnokCom com;
    com.form().host_keys = host_key_policy(o.rules);
    com.put_xc_hostname(Variant(o.host));
    com.put_xc_timeout(Variant(o.rules.timeout));
    com.put_xc_parameter(Variant(read_requests(o.rules).at(0).param));
    try {
        com.xc_showGUI();
    } catch (const AutomationError& e) {
        return fail(false, "error " + std::to_string(e.number()) + ": " + e.what());
    }
    std::cout << variant_to_text(com.get_xc_parameter()) << "\n";
    return com.form().closed_by_ok() ? 0 : 1;
}

}  // namespace

Action add_gui_command(CLI::App& cmd) {
    auto o = std::make_shared<GuiOptions>();
    cmd.add_option("-H,--host,--hostname", o->host, "Name or address of the remote machine")
        ->required();
    add_rule_options(cmd, o->rules, false);
    return {[o] { return run(*o); }};
}

}  // namespace varnok
