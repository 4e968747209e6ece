#include "settings/param_string.h"

#include <gtest/gtest.h>

#include "automation/automation_error.h"
#include "state/state.h"

namespace varnok {
namespace {

struct LookupCase {
    const char* text;
    const char* key;
    const char* expected;
};

TEST(GetParamValue, FindsFieldsByTheirExactKey) {
    const LookupCase cases[] = {
        {"#usr=root#", "USR", "root"},                  // key case ignored, value case kept
        {"#USR=Root Admin #", "usr", "Root Admin "},    // trailing space stays
        {"#PROTO=2#PRO=sshd#", "PROTO", "2"},
        {"#PROTO=2#PRO=sshd#", "PRO", "sshd"},
        {"#PRO=sshd#PROTO=2#", "PROTO", "2"},
        {"#PRO=sshd#PROTO=2#", "PRO", "sshd"},
        {"#USR=a#USR=b#", "USR", "a"},                  // first occurrence counts
        {"#USR=ab#c#PRO=x#", "USR", "ab"},              // a "#" ends the value
        {"#USR=me#PRO=x#PRO=real#", "PRO", "x"},
        {"#INPL=T", "INPL", "T"},                       // last field without "#"
        {"# USR=root#", "USR", ""},                     // space after "#"
        {"#PORT=#", "PORT", ""},
        {"", "USR", ""},
        {"#PWD=YWJj==#", "PWD", "YWJj=="},              // "=" inside a value
        {"#USR=root#", "  usr ", "root"},               // key trimmed
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetParamValue(c.text, c.key), c.expected) << c.text << " / " << c.key;
    }
}

TEST(NumberRule, ReadsTheLeadingNumberAndRoundsHalfToEven) {
    const std::pair<const char*, int> cases[] = {
        {"", 0},          {"ssh", 0},      {"22", 22},       {" 2222", 2222},  {"22abc", 22},
        {"2.5", 2},       {"3.5", 4},      {"-2.5", -2},     {"0.5", 0},       {"1.5", 2},
        {"&H1F", 31},     {"&h1f", 31},    {"&O17", 15},     {"&HFFFF", -1},   {"2 2", 22},
        {"1\t2\n3", 123}, {"- 5", -5},     {"+7", 7},        {"1e3", 1000},    {"1E+2x", 100},
        {"1e", 1},        {"1.2.3", 1},    {".5", 0},        {"32767", 32767}, {"-32768", -32768},
        {"022", 22},      {"12\r3", 12},   {"32767.4", 32767},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(number_value(text), expected) << '"' << text << '"';
    }
}

TEST(NumberRule, FailsWithOverflowOutsideSixteenBits) {
    for (const char* text : {"32768", "-32769", "70000", "32767.5", "1e10", "&HFFFFF"}) {
        try {
            number_value(text);
            ADD_FAILURE() << text << " did not overflow";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.number(), 6) << text;
            EXPECT_STREQ(e.what(), "Overflow");
        }
    }
}

TEST(FlagRule, OnlyAnUpperCaseTIsTrue) {
    EXPECT_TRUE(flag_value("T"));
    for (const char* v : {"t", "Y", "N", "TRUE", "", " T", "T "}) EXPECT_FALSE(flag_value(v)) << v;
}

class FillCheckSettings : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }
};

TEST_F(FillCheckSettings, ReadsEveryFieldOfAFullString) {
    fill_check_settings(Variant(std::string("15")), Variant("db01"),
                        Variant("#ENC=T#USR=mon#PWD=YWJj#PROTO=2#PORT=2222#KEYF=/k#KEYT=DSA#OS=AIX"
                                "#COL=8#PRO=sshd#SGN=LT#NUM=3#EOL=CRLF#FULL=T#WAIT=T#INPL=T#DEBUG=T#"));
    const CheckSettingsRecord& s = CheckSettings;
    EXPECT_EQ(s.TimeoutSeconds, 15);
    EXPECT_EQ(s.Hostname, "db01");
    EXPECT_EQ(s.Username, "mon");
    EXPECT_EQ(s.Password, "abc");
    EXPECT_EQ(s.Protocol, "2");
    EXPECT_EQ(s.Port, 2222);
    EXPECT_EQ(s.KeyFile, "/k");
    EXPECT_EQ(s.KeyType, "DSA");
    EXPECT_EQ(s.OSType, "AIX");
    EXPECT_EQ(s.Column, 8);
    EXPECT_EQ(s.ProcessName, "sshd");
    EXPECT_EQ(s.RuleSign, "LT");
    EXPECT_EQ(s.Instances, 3);
    EXPECT_EQ(s.EOLType, "CRLF");
    EXPECT_TRUE(s.FullOutput && s.AddWait && s.IncludeInOutput && s.DebugLog);
}

TEST_F(FillCheckSettings, AnEmptyStringClearsWhatAnEarlierRunLeft) {
    fill_check_settings(Variant(5), Variant("h"), Variant("#USR=a#PWD=YQ==#PORT=9#FULL=T#"));
    fill_check_settings(Variant(), Variant(), Variant());
    const CheckSettingsRecord& s = CheckSettings;
    EXPECT_EQ(s.TimeoutSeconds, 0);
    EXPECT_EQ(s.Hostname, "");
    EXPECT_EQ(s.Username, "");
    EXPECT_EQ(s.Password, "");
    EXPECT_EQ(s.Port, 0);
    EXPECT_FALSE(s.FullOutput);
}

TEST_F(FillCheckSettings, AFailingFieldLeavesTheLaterOnesFromThePreviousRun) {
    fill_check_settings(Variant(1), Variant("old"), Variant("#USR=old#OS=BSD#COL=5#PRO=x#"));
    try {
        fill_check_settings(Variant(2), Variant("new"), Variant("#USR=new#OS=AIX#COL=99999#PRO=y#"));
        FAIL() << "COL=99999 should overflow";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.number(), 6);
    }
    EXPECT_EQ(CheckSettings.Username, "new");
    EXPECT_EQ(CheckSettings.OSType, "AIX");
    EXPECT_EQ(CheckSettings.Column, 5);
    EXPECT_EQ(CheckSettings.ProcessName, "x");
}

TEST_F(FillCheckSettings, ABadPasswordFailsWithErrorFive) {
    try {
        fill_check_settings(Variant(), Variant(), Variant("#USR=u#PWD==abc#"));
        FAIL();
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.number(), 5);
    }
}

TEST(WriteParameterString, WritesTheExactTextOfTheForm) {
    FormValues f;
    f.username = "monitor";
    f.protocol = 1;
    f.port_text = "22";
    f.key_file = "C:\\keys\\monitor.key";
    f.os = 0;
    f.column = 7;
    f.process = "sshd";
    f.rule = 1;
    f.instances = 0;
    f.eol = 1;
    f.include_matches = true;
    EXPECT_EQ(write_parameter_string(f),
              "#ENC=T#USR=monitor#PWD=#PROTO=2#PORT=22#KEYF=C:\\keys\\monitor.key#KEYT=RSA#OS=LINUX"
              "#COL=8#PRO=sshd#SGN=AL#NUM=1#EOL=LF#FULL=N#WAIT=F#INPL=T#");
}

TEST(WriteParameterString, MapsEmptySelectionsAndTrimsOnlyKeyFileAndProcess) {
    FormValues f;
    f.username = " u ";
    f.password = " p";
    f.protocol = f.key_type = f.os = f.column = f.rule = f.instances = f.eol = -1;
    f.port_text = " 022 ";
    f.key_file = "  /k ";
    f.process = " bash ";
    f.wait = true;
    EXPECT_EQ(write_parameter_string(f),
              "#ENC=T#USR= u #PWD=IHA=#PROTO=#PORT=22#KEYF=/k#KEYT=#OS=#COL=0#PRO=bash#SGN=AL"
              "#NUM=0#EOL=LF#FULL=N#WAIT=T#INPL=F#");
    f.port_text = "";
    EXPECT_NE(write_parameter_string(f).find("#PORT=0#"), std::string::npos);
    f.port_text = "70000";  // no range test
    EXPECT_NE(write_parameter_string(f).find("#PORT=70000#"), std::string::npos);
}

}  // namespace
}  // namespace varnok
