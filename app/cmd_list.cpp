// SPDX-License-Identifier: Apache-2.0
#include "app/cmd_list.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <memory>

#include "app/plugin_output.h"
#include "app/rule_options.h"
#include "listing/lines.h"

namespace varnok {
namespace {

struct ListOptions {
    std::string host;
    RuleOptions rules;
};

int run(const ListOptions& o) {
    CheckRequest request = read_requests(o.rules).at(0);
    request.host = o.host;
    CheckReport report = run_check(request);
    for (const std::string& w : report.warnings) std::cerr << "varnok: warning: " << w << "\n";
    if (report.failure == FailureKind::Settings)
        return fail(false, "the parameter string needs USR and PWD or KEYF");
    if (!report.counted()) return fail(false, failure_text(report));
    // The picker's order: by UTF-16 code units, equal entries as listed.
    std::stable_sort(report.entries.begin(), report.entries.end(),
                     [](const std::string& a, const std::string& b) { return utf16_less(a, b); });
    for (const std::string& entry : report.entries) std::cout << entry << "\n";
    return 0;
}

}  // namespace

Action add_list_command(CLI::App& cmd) {
    auto o = std::make_shared<ListOptions>();
    cmd.add_option("-H,--host,--hostname", o->host, "Name or address of the remote machine")
        ->required();
    add_rule_options(cmd, o->rules, false);
    return {[o] { return run(*o); }};
}

}  // namespace varnok
