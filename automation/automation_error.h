// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <stdexcept>
#include <string>

namespace varnok {

/// A failed call of the host interface, numbered as automation errors are.
class AutomationError : public std::runtime_error {
  public:
    /// An error with the given number and its standard description.
    explicit AutomationError(int number);
    /// An error with the given number and a description of its own.
    AutomationError(int number, const std::string& description);

    /// The automation error number (5, 6, 13, 51, 380, 429, 438).
    int number() const noexcept { return number_; }

    /// Error 5, "Invalid procedure call or argument".
    static AutomationError invalid_argument() { return AutomationError(5); }
    /// Error 6, "Overflow".
    static AutomationError overflow() { return AutomationError(6); }
    /// Error 13, "Type mismatch".
    static AutomationError type_mismatch() { return AutomationError(13); }
    /// Error 380, "Invalid property value".
    static AutomationError invalid_property_value() { return AutomationError(380); }
    /// Error 51, "Internal error", with why after a colon when it is given.
    static AutomationError internal_error(const std::string& why = "");
    /// Error 429, "ActiveX component can't create object".
    static AutomationError cannot_create_object() { return AutomationError(429); }
    /// Error 438, "Object doesn't support this property or method".
    static AutomationError not_supported() { return AutomationError(438); }

  private:
    int number_;
};

/// The standard description of an automation error number.
std::string automation_error_text(int number);

}  // namespace varnok
