// SPDX-License-Identifier: Apache-2.0
// Splits arbitrary listings under any line-end and column setting, then sorts the entries.
#include <algorithm>
#include <cstdint>
#include <string>

#include "listing/lines.h"
#include "settings/codepage.h"
#include "state/state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    using namespace varnok;
    reset_module_state();
    static const char* const eols[] = {"CR", "LF", "CRLF", "", "crlf"};
    CheckSettings.EOLType = eols[data[0] % 5];
    CheckSettings.Column = static_cast<int16_t>(data[1] | (data[2] << 8));
    Splitt_in_lines(to_valid_utf8(std::string(reinterpret_cast<const char*>(data + 3), size - 3)));
    const SessionStateRecord& s = SessionState;
    if (s.LineCount < 0 || s.LineCount > kMaxEntries) __builtin_trap();
    if (s.Lines.size() != static_cast<size_t>(std::max<int>(1, s.LineCount))) __builtin_trap();
    for (int i = 0; i < s.LineCount; ++i) {
        const std::string& e = s.Lines[static_cast<size_t>(i)];
        if (e.empty() || e.front() == ' ' || e.back() == ' ') __builtin_trap();
    }
    SortWords();
    for (int i = 1; i < s.LineCount; ++i) {
        if (utf16_less(s.Lines[static_cast<size_t>(i)], s.Lines[static_cast<size_t>(i - 1)]))
            __builtin_trap();
    }
    return 0;
}
