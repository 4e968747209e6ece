// SPDX-License-Identifier: Apache-2.0
#include "check/listing_request.h"

#include "automation/automation_error.h"
#include "automation/number_text.h"

namespace varnok {

std::variant<ListingRequest, std::string> listing_request_for(const FormFields& form) {
    const FormValues& v = form.values;
    if (v.username.empty()) return "Can't connect to an SSH server without a username";
    if (v.password.empty() && v.key_file.empty())
        return "Can't connect to an SSH server without a password";
    double timeout = 0;
    if (form.timeout.find_first_not_of(' ') != std::string::npos &&
        !whole_text_number(form.timeout, timeout)) {
        return "The timeout must be a number of seconds";
    }
    ListingRequest request;
    try {
        request.timeout_seconds = round_to_int16(timeout);
    } catch (const AutomationError&) {
        return "The timeout must lie between -32768 and 32767";
    }
    try {
        request.port = round_to_int16(leading_number(v.port_text));
    } catch (const AutomationError&) {
        return "The port must lie between -32768 and 32767";
    }
    request.hostname = form.hostname;
    request.fields = v;
    return request;
}

}  // namespace varnok
