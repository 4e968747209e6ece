#include "settings/base64.h"

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "settings/codepage.h"

namespace varnok {
namespace {

TEST(Base64, KnownEncodingsAndLengths) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("abc"), "YWJj");
    EXPECT_EQ(Base64Encode("a"), "YQ==");
    EXPECT_EQ(Base64Encode("ab"), "YWI=");
    EXPECT_EQ(Base64Encode("abcd"), "YWJjZA==");
    EXPECT_EQ(Base64Encode("é"), "6Q==");  // Windows-1252 code 0xE9
    EXPECT_EQ(Base64Encode("€"), "gA==");  // 0x80
    EXPECT_EQ(Base64Encode("中"), "Pw==");  // no code: written as "?"
}

TEST(Base64, LenientDecoding) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},         {"YWJj", "abc"},   {"YWI", "ab"},      {"YWI=", "ab"},
        {"YQ", "a"},      {"YQ==", "a"},     {"Y", ""},          {"YQ==YWJj", "aabc"},
        {"Y=Jj", ""},     {"YW=j", "a"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Base64Decode(in), out) << in;
    EXPECT_NE(Base64Decode("YW\r\nJj"), "abc");  // a line break fills positions
    EXPECT_NE(Base64Decode("ywjj"), Base64Decode("YWJj"));
    EXPECT_EQ(Base64Decode("Y!Jj"), Base64Decode("YAJj"));  // unknown characters read as 0
}

TEST(Base64, AGroupStartingWithPaddingFailsWithErrorFive) {
    for (const char* text : {"=", "====", "YWJj=", "YWJj====YWJj"}) {
        try {
            DecodePassword(text);
            ADD_FAILURE() << text;
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.number(), 5) << text;
            EXPECT_STREQ(e.what(), "Invalid procedure call or argument");
        }
    }
}

TEST(Base64, EveryByteValueRoundTripsThroughWindows1252) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string text = cp1252_to_utf8(all);
    EXPECT_EQ(utf8_to_cp1252(text), all);
    for (size_t n = 0; n <= 6; ++n) {
        for (size_t start = 0; start + n <= all.size(); start += 37) {
            const std::string piece = cp1252_to_utf8(all.substr(start, n));
            const std::string encoded = EncodePassword(piece);
            EXPECT_EQ(encoded.size(), (n + 2) / 3 * 4);
            EXPECT_EQ(DecodePassword(encoded), piece);
        }
    }
    EXPECT_EQ(DecodePassword(EncodePassword(text)), text);
}

TEST(Codepage, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(to_valid_utf8("a\xff" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(to_valid_utf8("\xC3"), "\xEF\xBF\xBD");         // cut sequence
    EXPECT_EQ(to_valid_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
    EXPECT_EQ(to_valid_utf8(std::string("x\0y", 3)), std::string("x\0y", 3));
    EXPECT_EQ(to_valid_utf8("ok \xF0\x9F\x98\x80"), "ok \xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace varnok
