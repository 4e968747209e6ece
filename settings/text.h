// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string_view>

namespace varnok {

/// The text without spaces (U+0020 only) at either end; tabs, CR and LF stay.
inline std::string_view trim_spaces(std::string_view s) {
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace varnok
