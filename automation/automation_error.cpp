// SPDX-License-Identifier: Apache-2.0
#include "automation/automation_error.h"

namespace varnok {

std::string automation_error_text(int number) {
    switch (number) {
        case 5:
            return "Invalid procedure call or argument";
        case 6:
            return "Overflow";
        case 13:
            return "Type mismatch";
        case 51:
            return "Internal error";
        case 380:
            return "Invalid property value";
        case 429:
            return "ActiveX component can't create object";
        case 438:
            return "Object doesn't support this property or method";
        default:
            return "Application-defined or object-defined error";
    }
}

AutomationError::AutomationError(int number)
    : std::runtime_error(automation_error_text(number)), number_(number) {}

AutomationError::AutomationError(int number, const std::string& description)
    : std::runtime_error(description), number_(number) {}

AutomationError AutomationError::internal_error(const std::string& why) {
    return why.empty() ? AutomationError(51)
                       : AutomationError(51, automation_error_text(51) + ": " + why);
}

}  // namespace varnok
