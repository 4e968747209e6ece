// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "automation/variant.h"
#include "settings/codes.h"
#include "state/defaults.h"
#include "state/state.h"

namespace varnok {

/// The value of the first "#KEY=" field (key without regard to case) up to the next "#", or "".
std::string GetParamValue(std::string_view text, std::string_view key);

/// The flag rule: true exactly for the value "T".
bool flag_value(std::string_view value);

/// The number rule: the leading number, rounded half to even; error 6 outside the 16-bit range.
int16_t number_value(std::string_view value);

/// Fills CheckSettings from the three properties in the order of the check run. A failing
/// conversion throws and leaves the fields after it as they were.
void fill_check_settings(const Variant& timeout, const Variant& hostname, const Variant& parameter);

/// The settings the three properties decode to, read as fill_check_settings reads them but into
/// a record of the caller's; throws as it does.
CheckSettingsRecord decode_check_settings(const Variant& timeout, const Variant& hostname,
                                          const Variant& parameter);

/// The values of the settings form that its OK turns into a parameter string; -1 is no selection.
struct FormValues {
    std::string username;
    std::string password;
    int protocol = 2;
    std::string port_text = std::to_string(kDefaultSshPort);
    std::string key_file;
    int key_type = 0;
    int os = 0;
    int column = 4;
    std::string process;
    int rule = 0;
    int instances = 0;
    int eol = 1;
    bool wait = false;
    bool include_matches = false;
};

/// The exact parameter string the settings form writes for these values.
std::string write_parameter_string(const FormValues& form);

}  // namespace varnok
