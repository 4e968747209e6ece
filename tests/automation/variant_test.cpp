#include "automation/variant.h"

#include <gtest/gtest.h>

#include <clocale>

#include "automation/automation_error.h"
#include "check/varnok_com.h"

namespace varnok {
namespace {

int error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const AutomationError& e) {
        return e.number();
    }
    return 0;
}

TEST(VariantToInt16, ConvertsNumbersAndNumericText) {
    const std::pair<Variant, int> cases[] = {
        {Variant(), 0},           {Variant(7), 7},          {Variant(2.5), 2},
        {Variant(3.5), 4},        {Variant(-0.5), 0},       {Variant("15"), 15},
        {Variant(" 15 "), 15},    {Variant("2.5"), 2},      {Variant("-32768"), -32768},
        {Variant("&H10"), 16},    {Variant(true), -1},      {Variant("1e2"), 100},
    };
    for (const auto& [v, expected] : cases) EXPECT_EQ(variant_to_int16(v), expected);
}

TEST(VariantToInt16, FailsWithTypeMismatchOrOverflow) {
    EXPECT_EQ(error_of([] { variant_to_int16(Variant("abc")); }), 13);
    EXPECT_EQ(error_of([] { variant_to_int16(Variant("")); }), 13);
    EXPECT_EQ(error_of([] { variant_to_int16(Variant("12abc")); }), 13);
    EXPECT_EQ(error_of([] { variant_to_int16(Variant("1 2")); }), 13);
    EXPECT_EQ(error_of([] {
                  variant_to_int16(Variant(std::make_shared<AutomationObject>()));
              }),
              13);
    EXPECT_EQ(error_of([] { variant_to_int16(Variant(32768)); }), 6);
    EXPECT_EQ(error_of([] { variant_to_int16(Variant("-32769")); }), 6);
    EXPECT_EQ(error_of([] { variant_to_int16(Variant(32767.5)); }), 6);
    EXPECT_EQ(error_of([] { variant_to_int16(Variant(1e300 * 1e300)); }), 6);
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
    EXPECT_EQ(variant_to_text(Variant()), "");
    EXPECT_EQ(variant_to_text(Variant(42)), "42");
    EXPECT_EQ(variant_to_text(Variant(2.5)), "2.5");
    EXPECT_EQ(variant_to_text(Variant(3.0)), "3");
    EXPECT_EQ(variant_to_text(Variant(true)), "True");
    EXPECT_EQ(variant_to_text(Variant("x y")), "x y");
}

}  // namespace
}  // namespace varnok
