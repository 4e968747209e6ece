// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "app/subcommand.h"
#include "settings/param_string.h"

namespace varnok {

/// The options of `varnok param`, in the codes of the parameter string; the dialog's defaults
/// where none is given.
struct ParamOptions {
    std::string user;
    std::string password;
    std::string key_file;
    std::string key_type = key_type_code(FormValues{}.key_type);
    std::string protocol = protocol_code(FormValues{}.protocol);
    std::string port = FormValues{}.port_text;
    std::string os = os_code(FormValues{}.os);
    int column = 0;  ///< 0: the system's default column
    std::string process;
    std::string rule = rule_code(FormValues{}.rule);
    int instances = FormValues{}.instances + 1;
    std::string eol = eol_code(FormValues{}.eol);
    bool wait = false;
    bool include_matches = false;
};

/// The form values the dialog would hold for these options.
FormValues form_values(const ParamOptions& options);

/// The decoded settings of a parameter string as a two-column table, the password masked.
/// Throws AutomationError for a string the check would refuse.
std::string show_parameter_string(const std::string& text);

/// `varnok param`: composes a parameter string, or shows one.
Action add_param_command(CLI::App& cmd);

}  // namespace varnok
