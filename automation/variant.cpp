// SPDX-License-Identifier: Apache-2.0
#include "automation/variant.h"

#include <cmath>
#include <cstdio>

#include "automation/automation_error.h"
#include "automation/number_text.h"
#include "state/defaults.h"

namespace varnok {

int16_t variant_to_int16(const Variant& v) {
    if (v.is_empty()) return 0;
    if (v.is_integer()) return round_to_int16(v.integer());
    if (v.is_double()) return round_to_int16(v.real());
    if (v.is_bool()) return v.boolean() ? -1 : 0;
    if (v.is_text()) {
        double number = 0;
        if (!whole_text_number(v.text(), number)) throw AutomationError::type_mismatch();
        return round_to_int16(number);
    }
    throw AutomationError::type_mismatch();
}

std::string variant_to_text(const Variant& v) {
    if (v.is_empty()) return {};
    if (v.is_text()) return v.text();
    if (v.is_integer()) return std::to_string(v.integer());
    if (v.is_bool()) return v.boolean() ? "True" : "False";
    if (v.is_double()) {
        const double d = v.real();
        char buf[64];
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e15) {
            std::snprintf(buf, sizeof buf, "%.0f", d);
        } else {
            // Fifteen significant digits, as automation hosts print a double.
            std::snprintf(buf, sizeof buf, "%.15G", d);
        }
        std::string out = buf;
        if (out == "-0") out = "0";
        return out;
    }
    throw AutomationError::type_mismatch();
}

int time_limit_seconds(const std::string& text) {
    int seconds = 0;
    try {
        seconds = variant_to_int16(Variant(text));
    } catch (const AutomationError&) {
        // The check itself fails with the error; whoever waits for it still gets a limit.
    }
    return time_limit_or_default(seconds);
}

}  // namespace varnok
