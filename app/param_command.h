#pragma once

#include <string>

#include "settings/param_string.h"

namespace varnok {

/// The options of `varnok param`, in the codes of the parameter string.
struct ParamOptions {
    std::string user;
    std::string password;
    std::string key_file;
    std::string key_type = "RSA";
    std::string protocol = "A";
    std::string port = "22";
    std::string os = "LINUX";
    int column = 0;  ///< 0: the system's default column
    std::string process;
    std::string rule = "LT";
    int instances = 1;
    std::string eol = "LF";
    bool wait = false;
    bool include_matches = false;
};

/// The form values the dialog would hold for these options (the dialog's defaults elsewhere).
FormValues form_values(const ParamOptions& options);

/// The decoded settings of a parameter string as a two-column table, the password masked.
/// Throws AutomationError for a string the check would refuse.
std::string show_parameter_string(const std::string& text);

}  // namespace varnok
