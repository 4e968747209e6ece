// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string_view>

namespace varnok {

/// The leading number of a text: blanks, tabs and line feeds skipped anywhere, optional sign,
/// digits with one decimal point, optional exponent, or &H / &O digits; 0 when there is none.
double leading_number(std::string_view text);

/// The whole text as a number (spaces around it allowed), reading the decimal point and the
/// locale's decimal separator; false when the text is not one number.
bool whole_text_number(std::string_view text, double& value);

/// Rounds half to even and checks the 16-bit signed range; throws error 6 outside it.
int16_t round_to_int16(double value);

}  // namespace varnok
