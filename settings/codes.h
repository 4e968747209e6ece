// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnok {

/// One entry of a settings list: the code a parameter string holds and the dialog's caption.
struct ListCode {
    std::string_view code;
    std::string_view caption;
};

/// The protocols, in list order.
inline constexpr std::array<ListCode, 3> kProtocolCodes{
    {{"1", "SSH1"}, {"2", "SSH2"}, {"A", "SSH Auto"}}};
/// The remote systems, in list order.
inline constexpr std::array<ListCode, 6> kSystemCodes{{{"LINUX", "Linux"},
                                                       {"BSD", "BSD"},
                                                       {"SOLARIS", "Solaris"},
                                                       {"HPUX", "HP UX"},
                                                       {"AIX", "AIX"},
                                                       {"OPENSSHCYGWIN", "OpenSSH (CygWin)"}}};
/// The private key types, in list order.
inline constexpr std::array<ListCode, 2> kKeyTypeCodes{{{"RSA", "RSA"}, {"DSA", "DSA"}}};
/// The line ends of a listing, in list order.
inline constexpr std::array<ListCode, 3> kLineEndCodes{
    {{"CR", "CR"}, {"LF", "LF"}, {"CRLF", "CRLF"}}};
/// The alert rules, in list order.
inline constexpr std::array<ListCode, 2> kRuleCodes{{{"LT", "less than"}, {"AL", "at least"}}};

/// The column list holds 1 to kColumnCount.
inline constexpr int kColumnCount = 15;
/// The instance list holds 1 to kInstanceCount.
inline constexpr int kInstanceCount = 150;

/// The codes of a list, in list order.
std::vector<std::string> codes_of(std::span<const ListCode> list);

/// Codes of the lists, by position; "" (protocol, system, key type) or the list's fallback (line
/// end LF, rule AL) for a position that is not listed.
std::string protocol_code(int position);
std::string os_code(int position);
std::string key_type_code(int position);
std::string eol_code(int position);
std::string rule_code(int position);

/// The list positions of codes, as the dialog entry maps them; -1 when the code is not listed.
int protocol_position(std::string_view code);
int os_position(std::string_view code);
int key_type_position(std::string_view code);
int eol_position(std::string_view code);
int rule_position(std::string_view code);

/// The column position the system rule selects for a system position, or -1 for no change.
int default_column_for_os(int os_position);

}  // namespace varnok
