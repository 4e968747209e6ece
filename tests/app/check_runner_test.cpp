#include "app/check_runner.h"

#include <gtest/gtest.h>

#include "app/param_command.h"
#include "automation/automation_error.h"

namespace varnok {
namespace {

TEST(NagiosRange, AlertsExactlyWhenTheRuleDoes) {
    // Nagios alerts when the value lies outside the range: "N:" below N, "~:M" above M.
    const struct {
        const char* rule;
        int n;
        const char* range;
    } cases[] = {{"LT", 1, "1:"},  {"LT", 0, "0:"}, {"AL", 1, "~:0"}, {"AL", 0, "~:-1"},
                 {"AL", 5, "~:4"}, {"", 3, "~:2"},  {"XX", 2, "~:1"}};
    for (const auto& c : cases) EXPECT_EQ(nagios_range(c.rule, c.n), c.range) << c.rule << c.n;
}

TEST(PluginOutput, WritesOneLineInEachFormat) {
    CheckOutcome o;
    o.host = "db01";
    o.status = PluginStatus::Critical;
    o.listing_ran = true;
    o.text = "212 processes running and 0 with the name sshd";
    o.processes = 212;
    o.rule = "LT";
    o.instances = 1;
    EXPECT_EQ(nagios_line(o),
              "PROCS CRITICAL: 212 processes running and 0 with the name sshd | procs=212;;;0 "
              "matches=0;;1:;0");
    EXPECT_EQ(
        json_line(o),
        R"({"host":"db01","matches":0,"passed":false,"processes":212,"result":"212 processes running and 0 with the name sshd","status":"CRITICAL"})");
    CheckOutcome failed;
    failed.host = "h";
    failed.error_number = 6;
    failed.error_text = "Overflow";
    EXPECT_EQ(nagios_line(failed), "PROCS UNKNOWN: error 6: Overflow");
    EXPECT_EQ(
        json_line(failed),
        R"({"error":{"description":"Overflow","number":6},"host":"h","passed":false,"status":"UNKNOWN"})");
    CheckOutcome refused;
    refused.text = "ERR: can't connect to an SSH server without a USERNAME";
    EXPECT_EQ(nagios_line(refused),
              "PROCS UNKNOWN: ERR: can't connect to an SSH server without a USERNAME");
}

TEST(ThresholdRange, AlertsAsThePluginGuidelinesSay) {
    const struct {
        const char* range;
        std::vector<int> alerting;  // of the counts 0..4
    } cases[] = {{"3", {4}},          {"1:", {0}}, {"~:2", {3, 4}},       {"1:3", {0, 4}},
                 {"@1:3", {1, 2, 3}}, {"@0", {0}}, {"2:2", {0, 1, 3, 4}}, {"-1:+1.5", {2, 3, 4}}};
    for (const auto& c : cases) {
        const ThresholdRange r = parse_range(c.range);
        std::vector<int> alerting;
        for (int n = 0; n <= 4; ++n) {
            if (range_alerts(r, n)) alerting.push_back(n);
        }
        EXPECT_EQ(alerting, c.alerting) << c.range;
    }
    for (const char* bad : {"", "@", "3:1", "a", "1:2:3", "~", "1::", "1e3", " 1", "nan"}) {
        EXPECT_THROW(parse_range(bad), std::invalid_argument) << bad;
    }
}

TEST(PluginOutput, RangesDecideAndShowInThePerformanceData) {
    CheckOutcome o;
    o.host = "db01";
    o.rule_name = "sshd";
    o.status = PluginStatus::Warning;
    o.listing_ran = true;
    o.text = "8 processes running and 2 with the name sshd";
    o.processes = 8;
    o.matches = 2;
    o.thresholds.warning = parse_range("3:5");
    EXPECT_EQ(nagios_line(o),
              "PROCS WARNING: 8 processes running and 2 with the name sshd | procs=8;;;0 "
              "matches=2;3:5;;0");
    EXPECT_EQ(passive_result_line(o, "db01", 1700000000),
              "[1700000000] PROCESS_SERVICE_CHECK_RESULT;db01;sshd;1;PROCS WARNING: 8 processes "
              "running and 2 with "
              "the name sshd | procs=8;;;0 matches=2;3:5;;0\n");
    o.text = "two\nlines";
    EXPECT_EQ(passive_result_line(o, "db01", 1).find('\n'),
              passive_result_line(o, "db01", 1).size() - 1);
}

TEST(HostsFile, SkipsCommentsAndBlankLinesAndReadsTimeLimits) {
    const auto hosts =
        parse_hosts("# web tier\nweb1\n\n  web2   7  # slow\n\t db1\t3\n#x 1\n", "20");
    ASSERT_EQ(hosts.size(), 3u);
    EXPECT_EQ(hosts[0].host, "web1");
    EXPECT_EQ(hosts[0].timeout, "20");
    EXPECT_EQ(hosts[1].host, "web2");
    EXPECT_EQ(hosts[1].timeout, "7");
    EXPECT_EQ(hosts[2].host, "db1");
    EXPECT_EQ(hosts[2].timeout, "3");
}

TEST(ParamCommand, ComposesWithTheDialogsDefaultsAndSystemColumn) {
    ParamOptions o;
    EXPECT_EQ(
        write_parameter_string(form_values(o)),
        "#ENC=T#USR=#PWD=#PROTO=A#PORT=22#KEYF=#KEYT=RSA#OS=LINUX#COL=5#PRO=#SGN=LT#NUM=1#EOL=LF"
        "#FULL=N#WAIT=F#INPL=F#");
    o.os = "HPUX";
    o.user = "mon";
    o.password = "pw";
    o.rule = "AL";
    o.instances = 3;
    o.wait = true;
    EXPECT_EQ(write_parameter_string(form_values(o)),
              "#ENC=T#USR=mon#PWD=cHc=#PROTO=A#PORT=22#KEYF=#KEYT=RSA#OS=HPUX#COL=8#PRO=#SGN=AL#"
              "NUM=3#EOL=LF"
              "#FULL=N#WAIT=T#INPL=F#");
    o.column = 2;
    EXPECT_NE(write_parameter_string(form_values(o)).find("#COL=2#"), std::string::npos);
}

TEST(ParamCommand, ShowsTheSettingsWithThePasswordMasked) {
    const std::string table = show_parameter_string("#USR=mon#PWD=c2VjcmV0#OS=AIX#SGN=AL#NUM=2#");
    EXPECT_NE(table.find("user              mon\n"), std::string::npos);
    EXPECT_NE(table.find("password          ******** (6 bytes)\n"), std::string::npos);
    EXPECT_EQ(table.find("secret"), std::string::npos);
    EXPECT_NE(table.find("rule              alert when at least 2\n"), std::string::npos);
    EXPECT_THROW(show_parameter_string("#COL=40000#"), AutomationError);
}

}  // namespace
}  // namespace varnok
