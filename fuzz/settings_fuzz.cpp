// SPDX-License-Identifier: Apache-2.0
// Reads arbitrary bytes as the three properties of a check (timeout line, host line, parameter
// string) up to where a connection would start.
#include <cstdint>
#include <string>

#include "automation/automation_error.h"
#include "settings/param_string.h"
#include "state/state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t a = input.find('\n');
    const size_t b = a == std::string::npos ? std::string::npos : input.find('\n', a + 1);
    const std::string timeout = input.substr(0, a);
    const std::string host = a == std::string::npos ? "" : input.substr(a + 1, b - a - 1);
    const std::string param = b == std::string::npos ? input : input.substr(b + 1);
    try {
        varnok::fill_check_settings(varnok::Variant(timeout), varnok::Variant(host),
                                    varnok::Variant(param));
        // Whatever was read must be what the lookup gives for each text field.
        if (varnok::CheckSettings.Username != varnok::GetParamValue(param, "USR")) __builtin_trap();
        if (varnok::CheckSettings.Hostname != host) __builtin_trap();
    } catch (const varnok::AutomationError& e) {
        const int n = e.number();
        if (n != 5 && n != 6 && n != 13) __builtin_trap();
    }
    return 0;
}
