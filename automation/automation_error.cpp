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
        case 380:
            return "Invalid property value";
        default:
            return "Application-defined or object-defined error";
    }
}

AutomationError::AutomationError(int number)
    : std::runtime_error(automation_error_text(number)), number_(number) {}

AutomationError::AutomationError(int number, const std::string& description)
    : std::runtime_error(description), number_(number) {}

}  // namespace varnok
