// SPDX-License-Identifier: Apache-2.0
#include "settings/base64.h"

#include <gtest/gtest.h>

#include "settings/codepage.h"
#include "tests/param_fixture.h"

namespace varnok {
namespace {

TEST(Base64, KnownEncodingsOfTheWindows1252Codes) {
    // "é" is 0xE9, "€" 0x80, and "中" has no code: it is written as "?".
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},      {"abc", "YWJj"}, {"a", "YQ=="},  {"ab", "YWI="}, {"abcd", "YWJjZA=="},
        {"é", "6Q=="}, {"€", "gA=="},   {"中", "Pw=="},
    };
    for (const auto& [text, encoded] : cases) EXPECT_EQ(Base64Encode(text), encoded) << text;
}

TEST(Base64, DecodesLeniently) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},      {"YWJj", "abc"}, {"YWI", "ab"}, {"YWI=", "ab"},       {"YQ", "a"},
        {"YQ==", "a"}, {"Y", ""},       {"Y=Jj", ""},  {"YQ==YWJj", "aabc"}, {"YW=j", "a"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Base64Decode(in), out) << in;
    EXPECT_EQ(Base64Decode("ywjj"), "\xC3\x8B\x08\xC3\xA3");  // 0xCB 0x08 0xE3: case counts
    EXPECT_EQ(Base64Decode("Y!Jj"), "`\002c");                // an unknown character reads as 0
    EXPECT_EQ(Base64Decode("YW\r\nJj"), std::string("a`\0&", 4));  // a line break fills a position
}

TEST(Base64, AGroupStartingWithPaddingFailsWithErrorFive) {
    for (const char* text : {"=", "====", "YWJj=", "YWJj====YWJj"}) {
        EXPECT_EQ(testing::call_error([text] { DecodePassword(text); }),
                  "error 5: Invalid procedure call or argument")
            << text;
    }
}

TEST(Base64, EveryByteValueRoundTripsThroughWindows1252) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string text = cp1252_to_utf8(all);
    EXPECT_EQ(utf8_to_cp1252(text), all);
    EXPECT_EQ(EncodePassword(text).size(), 344u);
    EXPECT_EQ(DecodePassword(EncodePassword(text)), text);
}

TEST(Codepage, InvalidUtf8BecomesReplacementCharacters) {
    // A cut sequence, and a surrogate, whose three bytes each fail.
    const std::string r = "\xEF\xBF\xBD", smile = "\xF0\x9F\x98\x80", nul("x\0y", 3);
    const std::pair<std::string, std::string> cases[] = {
        {"a\xff", "a" + r}, {"\xC3", r}, {"\xED\xA0\x80", r + r + r}, {nul, nul}, {smile, smile},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(to_valid_utf8(in), out);
}

}  // namespace
}  // namespace varnok
