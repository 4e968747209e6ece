// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace varnok {

/// Converts UTF-8 text to Windows-1252 bytes; a character without a code (or a byte that is not
/// valid UTF-8) becomes "?".
std::string utf8_to_cp1252(std::string_view text);

/// Converts Windows-1252 bytes to UTF-8; the five unassigned codes map to the C1 controls of
/// the same number, so every byte survives a round trip.
std::string cp1252_to_utf8(std::string_view bytes);

/// Decodes one UTF-8 character at pos; returns its code point and advances pos, or returns -1
/// and advances by one byte when the bytes there are not valid UTF-8.
long decode_utf8(std::string_view text, size_t& pos);

/// Appends the UTF-8 form of a code point.
void append_utf8(std::string& out, unsigned long cp);

/// Replaces every invalid UTF-8 sequence with U+FFFD.
std::string to_valid_utf8(std::string_view bytes);

}  // namespace varnok
