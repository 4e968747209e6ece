// SPDX-License-Identifier: Apache-2.0
#include "automation/variant.h"

#include <gtest/gtest.h>

#include <clocale>

#include "tests/param_fixture.h"

namespace varnok {
namespace {

TEST(VariantToInt16, ConvertsNumbersAndNumericText) {
    const std::pair<Variant, int> cases[] = {
        {Variant(), 0},        {Variant(7), 7},     {Variant(2.5), 2},
        {Variant(3.5), 4},     {Variant(-0.5), 0},  {Variant("15"), 15},
        {Variant(" 15 "), 15}, {Variant("2.5"), 2}, {Variant("-32768"), -32768},
        {Variant("&H10"), 16}, {Variant(true), -1}, {Variant("1e2"), 100},
    };
    for (const auto& [v, expected] : cases) EXPECT_EQ(variant_to_int16(v), expected);
}

TEST(VariantToInt16, FailsWithTypeMismatchOrOverflow) {
    const Variant object(std::make_shared<AutomationObject>());
    for (const Variant& v :
         {Variant("abc"), Variant(""), Variant("12abc"), Variant("1 2"), object}) {
        EXPECT_EQ(testing::call_error([&v] { variant_to_int16(v); }), "error 13: Type mismatch");
    }
    for (const Variant& v :
         {Variant(32768), Variant("-32769"), Variant(32767.5), Variant(1e300 * 1e300)}) {
        EXPECT_EQ(testing::call_error([&v] { variant_to_int16(v); }), "error 6: Overflow");
    }
}

TEST(VariantToInt16, ReadsTheLocaleDecimalSeparator) {
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr &&
        std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr) {
        GTEST_SKIP() << "no locale with a decimal comma installed";
    }
    EXPECT_EQ(variant_to_int16(Variant("3,5")), 4);
    EXPECT_EQ(variant_to_int16(Variant("2.5")), 2);
    std::setlocale(LC_NUMERIC, "C");
}

TEST(VariantToText, WritesNumbersAsDecimalText) {
    const std::pair<Variant, const char*> cases[] = {
        {Variant(), ""},     {Variant(42), "42"},     {Variant(2.5), "2.5"},
        {Variant(3.0), "3"}, {Variant(true), "True"}, {Variant("x y"), "x y"},
    };
    for (const auto& [v, text] : cases) EXPECT_EQ(variant_to_text(v), text);
}

}  // namespace
}  // namespace varnok
