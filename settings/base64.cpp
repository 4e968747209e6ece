// SPDX-License-Identifier: Apache-2.0
#include "settings/base64.h"

#include "automation/automation_error.h"
#include "settings/codepage.h"

namespace varnok {
namespace {

// Position 0 is the padding character; the alphabet follows it.
constexpr std::string_view kTable =
    "=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

char to_char(int value) { return kTable[static_cast<size_t>(value + 1)]; }

int to_value(std::string_view text, size_t pos) {
    if (pos >= text.size()) return 0;
    const size_t found = kTable.find(text[pos]);
    if (found == std::string_view::npos || found == 0) return 0;
    return static_cast<int>(found) - 1;
}

}  // namespace

std::string Base64Encode(std::string_view text) {
    const std::string bytes = utf8_to_cp1252(text);
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        const auto code = [&](size_t k) {
            return k < n ? static_cast<unsigned char>(bytes[i + k]) : 0;
        };
        const int b1 = code(0), b2 = code(1), b3 = code(2);
        out += to_char(b1 >> 2);
        out += to_char(((b1 & 3) << 4) | (b2 >> 4));
        out += n > 1 ? to_char(((b2 & 15) << 2) | (b3 >> 6)) : '=';
        out += n > 2 ? to_char(b3 & 63) : '=';
    }
    return out;
}

std::string Base64Decode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        size_t first_pad = 4;
        for (size_t k = 0; k < 4; ++k) {
            if (i + k >= text.size() || text[i + k] == '=') {
                first_pad = k;
                break;
            }
        }
        if (first_pad == 0) throw AutomationError::invalid_argument();
        const size_t n = first_pad == 4 ? 3 : first_pad - 1;
        const int s0 = to_value(text, i), s1 = to_value(text, i + 1);
        const int s2 = to_value(text, i + 2), s3 = to_value(text, i + 3);
        const char out[3] = {static_cast<char>(((s0 << 2) | (s1 >> 4)) & 255),
                             static_cast<char>(((s1 << 4) | (s2 >> 2)) & 255),
                             static_cast<char>(((s2 << 6) | s3) & 255)};
        bytes.append(out, n);
    }
    return cp1252_to_utf8(bytes);
}

std::string EncodePassword(std::string_view text) { return Base64Encode(text); }

std::string DecodePassword(std::string_view text) { return Base64Decode(text); }

}  // namespace varnok
