// SPDX-License-Identifier: Apache-2.0
#include "app/cmd_param.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/plugin_output.h"
#include "app/rule_options.h"
#include "automation/automation_error.h"
#include "state/defaults.h"

namespace varnok {
namespace {

struct ParamCommand {
    ParamOptions options;
    bool password_stdin = false;
    std::string show;
};

int run(ParamCommand& c) {
    if (!c.show.empty()) {
        try {
            std::cout << show_parameter_string(
                without_line_end(c.show == "-" ? read_text("-") : c.show));
        } catch (const AutomationError& e) {
            return fail(false, "error " + std::to_string(e.number()) + ": " + e.what());
        }
        return 0;
    }
    if (c.password_stdin) {
        std::getline(std::cin, c.options.password);
        if (!c.options.password.empty() && c.options.password.back() == '\r')
            c.options.password.pop_back();
    }
    std::cout << write_parameter_string(form_values(c.options)) << "\n";
    return 0;
}

}  // namespace

FormValues form_values(const ParamOptions& o) {
    FormValues f;
    f.username = o.user;
    f.password = o.password;
    f.key_file = o.key_file;
    f.key_type = key_type_position(o.key_type);
    f.protocol = protocol_position(o.protocol);
    f.port_text = o.port;
    f.os = os_position(o.os);
    f.column = o.column > 0 ? o.column - 1 : default_column_for_os(f.os);
    f.process = o.process;
    f.rule = rule_position(o.rule);
    f.instances = o.instances - 1;
    f.eol = eol_position(o.eol);
    f.wait = o.wait;
    f.include_matches = o.include_matches;
    return f;
}

std::string show_parameter_string(const std::string& text) {
    const CheckSettingsRecord s = decode_check_settings(Variant(), Variant(), Variant(text));
    const auto yes = [](bool b) { return b ? "yes" : "no"; };
    std::ostringstream out;
    const auto row = [&out](const char* name, const std::string& value) {
        out << name << std::string(18 - std::string(name).size(), ' ') << value << "\n";
    };
    row("user", s.Username);
    row("password", s.Password.empty()
                        ? "(none)"
                        : "******** (" + std::to_string(s.Password.size()) + " bytes)");
    row("protocol", s.Protocol);
    row("port",
        s.Port == 0 ? "0 (" + std::to_string(kDefaultSshPort) + ")" : std::to_string(s.Port));
    row("key file", s.KeyFile);
    row("key type", s.KeyType);
    row("system", s.OSType);
    row("column", std::to_string(s.Column));
    row("process", s.ProcessName);
    row("rule", s.RuleSign == "LT" ? "alert when less than " + std::to_string(s.Instances)
                                   : "alert when at least " + std::to_string(s.Instances));
    row("exact match", yes(s.FullOutput));
    row("end of line", s.EOLType.empty() ? "(LF)" : s.EOLType);
    row("wait command", yes(s.AddWait));
    row("list matches", yes(s.IncludeInOutput));
    row("debug log", yes(s.DebugLog));
    return out.str();
}

Action add_param_command(CLI::App& cmd) {
    auto c = std::make_shared<ParamCommand>();
    ParamOptions& o = c->options;
    cmd.add_option("--user", o.user, "Login name");
    cmd.add_flag("--password-stdin", c->password_stdin,
                 "Read the password from the first line of standard input");
    cmd.add_option("--key-file", o.key_file, "Private key file (the password is its pass phrase)");
    cmd.add_option("--key-type", o.key_type)
        ->check(CLI::IsMember(codes_of(kKeyTypeCodes)))
        ->capture_default_str();
    cmd.add_option("--protocol", o.protocol, "1, 2 or A (automatic)")
        ->check(CLI::IsMember(codes_of(kProtocolCodes)))
        ->capture_default_str();
    cmd.add_option("--port", o.port)->capture_default_str();
    cmd.add_option("--os", o.os)
        ->check(CLI::IsMember(codes_of(kSystemCodes)))
        ->capture_default_str();
    cmd.add_option("--column", o.column, "Column of the process name (default: the system's)")
        ->check(CLI::Range(1, kColumnCount));
    cmd.add_option("--process", o.process, "Process name to count");
    cmd.add_option("--rule", o.rule, "LT: alert when less than; AL: alert when at least")
        ->check(CLI::IsMember(codes_of(kRuleCodes)))
        ->capture_default_str();
    cmd.add_option("--instances", o.instances)
        ->check(CLI::Range(1, kInstanceCount))
        ->capture_default_str();
    cmd.add_option("--eol", o.eol)
        ->check(CLI::IsMember(codes_of(kLineEndCodes)))
        ->capture_default_str();
    cmd.add_flag("--wait", o.wait, "Add a wait command to the listing");
    cmd.add_flag("--include-matches", o.include_matches,
                 "List the matching processes in the result");
    cmd.add_option("--show", c->show,
                   "Print the settings of a parameter string ('-': standard input), the "
                   "password masked");
    return {[c] { return run(*c); }};
}

}  // namespace varnok
