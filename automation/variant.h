// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace varnok {

/// Anything a host can hand over by reference; the component never looks inside.
class AutomationObject {
  public:
    virtual ~AutomationObject() = default;
};

/// The automation value: empty, integer, double, text, Boolean or object reference.
class Variant {
  public:
    using Object = std::shared_ptr<AutomationObject>;

    /// An empty value.
    Variant() = default;
    /// An integer value.
    Variant(int32_t v) : value_(v) {}
    /// A double value.
    Variant(double v) : value_(v) {}
    /// A text value (UTF-8).
    Variant(std::string v) : value_(std::move(v)) {}
    /// A text value (UTF-8).
    Variant(const char* v) : value_(std::string(v)) {}
    /// A Boolean value.
    Variant(bool v) : value_(v) {}
    /// An object reference.
    Variant(Object v) : value_(std::move(v)) {}

    /// True when nothing was ever assigned.
    bool is_empty() const { return std::holds_alternative<std::monostate>(value_); }
    /// True for an integer.
    bool is_integer() const { return std::holds_alternative<int32_t>(value_); }
    /// True for a double.
    bool is_double() const { return std::holds_alternative<double>(value_); }
    /// True for a text.
    bool is_text() const { return std::holds_alternative<std::string>(value_); }
    /// True for a Boolean.
    bool is_bool() const { return std::holds_alternative<bool>(value_); }
    /// True for an object reference.
    bool is_object() const { return std::holds_alternative<Object>(value_); }

    /// The integer; only valid when is_integer().
    int32_t integer() const { return std::get<int32_t>(value_); }
    /// The double; only valid when is_double().
    double real() const { return std::get<double>(value_); }
    /// The text; only valid when is_text().
    const std::string& text() const { return std::get<std::string>(value_); }
    /// The Boolean; only valid when is_bool().
    bool boolean() const { return std::get<bool>(value_); }
    /// The object; only valid when is_object().
    const Object& object() const { return std::get<Object>(value_); }

    bool operator==(const Variant&) const = default;

  private:
    std::variant<std::monostate, int32_t, double, std::string, bool, Object> value_;
};

/// Converts to a 16-bit integer: empty 0, numbers rounded half to even, numeric text read as a
/// number; other values fail with error 13, results outside -32768..32767 with error 6.
int16_t variant_to_int16(const Variant& v);

/// The seconds of a time limit text as a check reads it; 30 for 0, below 0 or unreadable.
int time_limit_seconds(const std::string& text);

/// Converts to text: empty gives "", numbers their decimal text, Booleans "True"/"False";
/// an object reference fails with error 13.
std::string variant_to_text(const Variant& v);

}  // namespace varnok
