#include "app/param_command.h"

#include <sstream>

#include "automation/variant.h"
#include "state/state.h"

namespace varnok {

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
    fill_check_settings(Variant(), Variant(), Variant(text));
    const CheckSettingsRecord& s = CheckSettings;
    const auto yes = [](bool b) { return b ? "yes" : "no"; };
    std::ostringstream out;
    const auto row = [&out](const char* name, const std::string& value) {
        out << name << std::string(18 - std::string(name).size(), ' ') << value << "\n";
    };
    row("user", s.Username);
    row("password", s.Password.empty() ? "(none)" : "******** (" + std::to_string(s.Password.size()) + " bytes)");
    row("protocol", s.Protocol);
    row("port", s.Port == 0 ? "0 (22)" : std::to_string(s.Port));
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

}  // namespace varnok
