// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnok {

/// The most entries one listing stores.
inline constexpr int kMaxEntries = 32767;
/// The connection error a listing that exceeds kMaxEntries leaves behind.
inline constexpr std::string_view kTooManyProcesses = "the listing has more than 32767 processes";

/// The column text of every process line after the header (the first line that starts with PID
/// or UID), lines ending in eol ("CR", "CRLF", else LF), blanks trimmed and empty texts left out;
/// stops at kMaxEntries + 1 entries, one more than a listing may hold.
std::vector<std::string> split_listing(std::string_view text, std::string_view eol, int column);

/// split_listing by CheckSettings.EOLType and CheckSettings.Column, the entries appended to
/// SessionState.Lines; beyond kMaxEntries none is stored and ConnectError says so.
void Splitt_in_lines(std::string s);

/// The text from word pNr to the end of the line; Alternate reads one word further right when
/// the fifth word does not start with a digit and pNr is above 5.
std::string GiveParameter(std::string s, int pNr, bool Alternate);

/// Sorts SessionState.Lines[0 .. LineCount-1] ascending by UTF-16 code units, equal entries
/// keeping their order.
void SortWords();

/// Compares two UTF-8 texts as their UTF-16 forms compare, code unit by code unit.
bool utf16_less(std::string_view a, std::string_view b);

/// GiveParameter on views, without copies: the result points into s.
std::string_view give_parameter_view(std::string_view s, int pNr, bool Alternate);

}  // namespace varnok
