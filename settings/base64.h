// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace varnok {

/// Base64 with "=" padding and no line breaks, over the Windows-1252 codes of the text.
std::string Base64Encode(std::string_view text);

/// Lenient Base64 decoder; a group of four that starts with "=" fails with error 5.
std::string Base64Decode(std::string_view text);

/// What Base64Encode gives; the settings form's OK encodes the password with it.
std::string EncodePassword(std::string_view text);

/// What Base64Decode gives, its error included; the check run and the dialog decode with it.
std::string DecodePassword(std::string_view text);

}  // namespace varnok
