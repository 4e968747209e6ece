// SPDX-License-Identifier: Apache-2.0
#include "settings/param_string.h"

#include <gtest/gtest.h>

#include <sstream>

#include "state/state.h"
#include "tests/param_fixture.h"

namespace varnok {
namespace {

// The key's case is ignored, the value's case and spaces are kept; a longer key that starts
// alike is another key; the first occurrence counts; a "#" ends a value (the last one may lack
// it) and "=" may sit inside one; a space after "#" hides the key.
TEST(GetParamValue, FindsFieldsByTheirExactKey) {
    const std::pair<const char*, const char*> cases[] = {
        {"#usr=Ab#", "Ab"},     {"#USR=A b #", "A b "}, {"#USRX=1#USR=u#", "u"},
        {"#USR=a#USR=b#", "a"}, {"#USR=ab#c#", "ab"},   {"#PRO=x#USR=T", "T"},
        {"# USR=root#", ""},    {"#USR=#", ""},         {"", ""},
        {"#USR=Y==#", "Y=="},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(GetParamValue(text, "USR"), expected) << text;
    EXPECT_EQ(GetParamValue("#PROTO=2#PRO=sshd#", "PRO"), "sshd");
    EXPECT_EQ(GetParamValue("#PRO=sshd#PROTO=2#", "PROTO"), "2");
    EXPECT_EQ(GetParamValue("#USR=root#", "  usr "), "root");  // the key is trimmed
}

TEST(NumberRule, ReadsTheLeadingNumberAndRoundsHalfToEven) {
    const std::pair<const char*, int> cases[] = {
        {"", 0},          {"ssh", 0},    {"22", 22},         {" 2222", 2222},  {"22abc", 22},
        {"2.5", 2},       {"3.5", 4},    {"-2.5", -2},       {"0.5", 0},       {"1.5", 2},
        {"&H1F", 31},     {"&h1f", 31},  {"&O17", 15},       {"&HFFFF", -1},   {"2 2", 22},
        {"1\t2\n3", 123}, {"- 5", -5},   {"+7", 7},          {"1e3", 1000},    {"1E+2x", 100},
        {"1e", 1},        {"1.2.3", 1},  {".5", 0},          {"32767", 32767}, {"-32768", -32768},
        {"022", 22},      {"12\r3", 12}, {"32767.4", 32767},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(number_value(text), expected) << '"' << text << '"';
    }
    for (const char* text : {"32768", "-32769", "70000", "32767.5", "1e10", "&HFFFFF"}) {
        EXPECT_EQ(testing::call_error([text] { number_value(text); }), "error 6: Overflow") << text;
    }
}

// Every field of CheckSettings in declaration order, "|" between them.
std::string settings() {
    const CheckSettingsRecord& s = CheckSettings;
    std::ostringstream out;
    out << s.Hostname << '|' << s.TimeoutSeconds << '|' << s.Username << '|' << s.Password << '|'
        << s.Protocol << '|' << s.Port << '|' << s.KeyFile << '|' << s.KeyType << '|' << s.OSType
        << '|' << s.Column << '|' << s.ProcessName << '|' << s.RuleSign << '|' << s.Instances << '|'
        << s.FullOutput << '|' << s.EOLType << '|' << s.DebugLog << s.AddWait << s.IncludeInOutput;
    return out.str();
}

TEST(FillCheckSettings, ReadsEveryFieldAndClearsWhatAnEarlierRunLeft) {
    fill_check_settings(
        Variant(std::string("15")), Variant("db01"),
        Variant("#ENC=T#USR=mon#PWD=YWJj#PROTO=2#PORT=2222#KEYF=/k#KEYT=DSA#OS=AIX"
                "#COL=8#PRO=sshd#SGN=LT#NUM=3#EOL=CRLF#FULL=T#WAIT=T#INPL=T#DEBUG=T#"));
    EXPECT_EQ(settings(), "db01|15|mon|abc|2|2222|/k|DSA|AIX|8|sshd|LT|3|1|CRLF|111");
    // Only an upper-case T sets a flag.
    fill_check_settings(Variant(), Variant(), Variant("#FULL=t#DEBUG=TRUE#WAIT= T#INPL=Y#"));
    EXPECT_EQ(settings(), "|0||||0||||0|||0|0||000");
}

TEST(FillCheckSettings, AFailingFieldLeavesTheLaterOnesFromThePreviousRun) {
    fill_check_settings(Variant(1), Variant("old"), Variant("#USR=old#OS=BSD#COL=5#PRO=x#"));
    EXPECT_EQ(testing::call_error([] {
                  fill_check_settings(Variant(2), Variant("new"),
                                      Variant("#USR=new#OS=AIX#COL=99999#PRO=y#"));
              }),
              "error 6: Overflow");
    EXPECT_EQ(settings(), "new|2|new|||0|||AIX|5|x||0|0||000");
}

TEST(WriteParameterString, WritesTheExactTextOfTheForm) {
    // User, password, protocol, port, key file and type, system, column, process, rule,
    // instances, line end, wait, include. No selection (-1) gives the empty codes; only the key
    // file and the process are trimmed.
    const std::pair<FormValues, const char*> cases[] = {
        {{"monitor", "", 1, "22", "C:\\k.key", 0, 0, 7, "sshd", 1, 0, 1, false, true},
         "#ENC=T#USR=monitor#PWD=#PROTO=2#PORT=22#KEYF=C:\\k.key#KEYT=RSA#OS=LINUX#COL=8#PRO=sshd"
         "#SGN=AL#NUM=1#EOL=LF#FULL=N#WAIT=F#INPL=T#"},
        {{" u ", " p", -1, " 022 ", "  /k ", -1, -1, -1, " bash ", -1, -1, -1, true, false},
         "#ENC=T#USR= u #PWD=IHA=#PROTO=#PORT=22#KEYF=/k#KEYT=#OS=#COL=0#PRO=bash#SGN=AL#NUM=0"
         "#EOL=LF#FULL=N#WAIT=T#INPL=F#"},
    };
    for (const auto& [form, text] : cases) EXPECT_EQ(write_parameter_string(form), text);
    FormValues f;
    f.port_text = "";
    EXPECT_NE(write_parameter_string(f).find("#PORT=0#"), std::string::npos);
    f.port_text = "70000";  // no range test
    EXPECT_NE(write_parameter_string(f).find("#PORT=70000#"), std::string::npos);
}

}  // namespace
}  // namespace varnok
