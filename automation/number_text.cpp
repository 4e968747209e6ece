// SPDX-License-Identifier: Apache-2.0
#include "automation/number_text.h"

#include <cctype>
#include <charconv>
#include <clocale>
#include <cmath>
#include <string>

#include "automation/automation_error.h"

namespace varnok {
namespace {

bool is_skipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Reads the number at the start of text; skip_blanks makes blanks inside the number vanish.
// Returns the number of characters consumed (0 when no number starts there).
size_t scan_number(std::string_view text, bool skip_blanks, const std::string& extra_point,
                   double& value) {
    size_t pos = 0;
    auto skip = [&] {
        while (skip_blanks && pos < text.size() && is_skipped(text[pos])) ++pos;
    };
    auto at = [&](size_t p) { return p < text.size() ? text[p] : '\0'; };
    skip();

    if (at(pos) == '&' && (std::toupper(static_cast<unsigned char>(at(pos + 1))) == 'H' ||
                           std::toupper(static_cast<unsigned char>(at(pos + 1))) == 'O')) {
        const bool hex = std::toupper(static_cast<unsigned char>(at(pos + 1))) == 'H';
        pos += 2;
        uint64_t acc = 0;
        bool any = false, huge = false;
        for (;; ++pos) {
            skip();
            const char c = at(pos);
            int digit;
            if (c >= '0' && c <= '7')
                digit = c - '0';
            else if (hex && c >= '8' && c <= '9')
                digit = c - '0';
            else if (hex && std::isxdigit(static_cast<unsigned char>(c)))
                digit = std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
            else
                break;
            any = true;
            acc = acc * (hex ? 16 : 8) + static_cast<uint64_t>(digit);
            if (acc > 0xFFFFFFFFull) huge = true;
        }
        if (!any) {
            value = 0;
            return pos;
        }
        // Like the original hosts, up to 16 bits read as a signed Integer, up to 32 bits as a
        // signed Long.
        if (huge)
            value = static_cast<double>(acc);
        else if (acc <= 0xFFFF)
            value = static_cast<int16_t>(static_cast<uint16_t>(acc));
        else
            value = static_cast<int32_t>(static_cast<uint32_t>(acc));
        return pos;
    }

    std::string digits;
    if (at(pos) == '+' || at(pos) == '-') {
        digits += at(pos);
        ++pos;
    }
    bool any_digit = false, point = false;
    for (;;) {
        skip();
        const char c = at(pos);
        if (c >= '0' && c <= '9') {
            digits += c;
            any_digit = true;
            ++pos;
        } else if (!point && c == '.') {
            digits += '.';
            point = true;
            ++pos;
        } else if (!point && !extra_point.empty() &&
                   text.substr(pos, extra_point.size()) == extra_point) {
            digits += '.';
            point = true;
            pos += extra_point.size();
        } else {
            break;
        }
    }
    if (!any_digit) {
        value = 0;
        return 0;
    }
    // An exponent counts only when digits follow it.
    size_t exp_pos = pos;
    const char e = static_cast<char>(std::toupper(static_cast<unsigned char>(at(exp_pos))));
    if (e == 'E' || e == 'D') {
        std::string exponent = "e";
        ++exp_pos;
        while (skip_blanks && is_skipped(at(exp_pos))) ++exp_pos;
        if (at(exp_pos) == '+' || at(exp_pos) == '-') exponent += at(exp_pos++);
        bool exp_digit = false;
        for (;;) {
            while (skip_blanks && is_skipped(at(exp_pos))) ++exp_pos;
            const char c = at(exp_pos);
            if (c < '0' || c > '9') break;
            exponent += c;
            exp_digit = true;
            ++exp_pos;
        }
        if (exp_digit) {
            digits += exponent;
            pos = exp_pos;
        }
    }
    // from_chars reads the point whatever the process locale says.
    const char* first = digits.data();
    if (*first == '+') ++first;
    if (std::from_chars(first, digits.data() + digits.size(), value).ec != std::errc()) {
        value = digits.front() == '-' ? -HUGE_VAL : HUGE_VAL;
    }
    return pos;
}

}  // namespace

double leading_number(std::string_view text) {
    double value = 0;
    scan_number(text, true, std::string(), value);
    return value;
}

bool whole_text_number(std::string_view text, double& value) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    const char* locale_point = std::localeconv()->decimal_point;
    std::string extra = locale_point && std::string(locale_point) != "." ? locale_point : "";
    const size_t used = scan_number(text, false, extra, value);
    return used > 0 && used == text.size();
}

int16_t round_to_int16(double value) {
    const double r = std::nearbyint(value);
    if (!(r >= -32768.0 && r <= 32767.0)) throw AutomationError::overflow();
    return static_cast<int16_t>(r);
}

}  // namespace varnok
