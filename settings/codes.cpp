// SPDX-License-Identifier: Apache-2.0
#include "settings/codes.h"

namespace varnok {
namespace {

std::string code_at(std::span<const ListCode> list, int position) {
    return position >= 0 && position < static_cast<int>(list.size())
               ? std::string(list[static_cast<size_t>(position)].code)
               : std::string();
}

int position_of(std::span<const ListCode> list, std::string_view code) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].code == code) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

std::vector<std::string> codes_of(std::span<const ListCode> list) {
    std::vector<std::string> codes;
    for (const ListCode& c : list) codes.emplace_back(c.code);
    return codes;
}

std::string protocol_code(int position) { return code_at(kProtocolCodes, position); }
std::string os_code(int position) { return code_at(kSystemCodes, position); }
std::string key_type_code(int position) { return code_at(kKeyTypeCodes, position); }
// The dialog writes LF for anything but its CR and CRLF entries, and AL for anything but LT.
std::string eol_code(int position) {
    return code_at(kLineEndCodes, position == 0 || position == 2 ? position : 1);
}
std::string rule_code(int position) { return code_at(kRuleCodes, position == 0 ? 0 : 1); }

int protocol_position(std::string_view code) { return position_of(kProtocolCodes, code); }
int os_position(std::string_view code) { return position_of(kSystemCodes, code); }
int key_type_position(std::string_view code) { return position_of(kKeyTypeCodes, code); }
int eol_position(std::string_view code) { return position_of(kLineEndCodes, code); }
int rule_position(std::string_view code) { return position_of(kRuleCodes, code); }

int default_column_for_os(int os_position) {
    if (os_position == 0 || os_position == 1) return 4;
    if (os_position >= 2 && os_position <= 5) return 7;
    return -1;
}

}  // namespace varnok
