// SPDX-License-Identifier: Apache-2.0
// The lenient decoder on arbitrary text, and encode-then-decode on arbitrary text.
#include <cstdint>
#include <string>

#include "automation/automation_error.h"
#include "settings/base64.h"
#include "settings/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    try {
        const std::string decoded = varnok::DecodePassword(input);
        if (decoded.size() > input.size() * 2 + 8)
            __builtin_trap();  // 3 bytes per 4, 2 UTF-8 bytes each
    } catch (const varnok::AutomationError& e) {
        if (e.number() != 5) __builtin_trap();
    }
    // What the encoder writes decodes to the same text, as far as Windows-1252 holds it.
    const std::string expected = varnok::cp1252_to_utf8(varnok::utf8_to_cp1252(input));
    if (varnok::Base64Decode(varnok::Base64Encode(input)) != expected) __builtin_trap();
    return 0;
}
