#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <sstream>
#include <thread>

#include "app/cmd_param.h"
#include "app/host_runner.h"
#include "app/passive.h"
#include "app/plugin_output.h"
#include "automation/automation_error.h"

namespace varnok {
namespace {

CheckReport counted(int processes, int matches, bool passed, const std::string& name) {
    CheckReport r;
    r.host = "db01";
    r.rule_name = "sshd";
    r.passed = passed;
    r.processes = processes;
    r.matches = matches;
    r.text = std::to_string(processes) + " processes running and " + std::to_string(matches) +
             " with the name " + name;
    r.rule_sign = "LT";
    r.instances = 1;
    return r;
}

CheckReport failed(FailureKind kind, int number, const std::string& text) {
    CheckReport r;
    r.host = "h";
    r.failure = kind;
    r.error_number = number;
    r.text = text;
    return r;
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

TEST(NagiosRange, AlertsForTheCountsTheRuleAlertsFor) {
    // The rule alerts below NUM (LT) or at NUM and above (AL, and any other sign).
    for (const char* sign : {"LT", "AL", "", "XX"}) {
        for (const int instances : {0, 1, 5}) {
            const ThresholdRange range = parse_range(nagios_range(sign, instances));
            for (int count = 0; count <= 7; ++count) {
                const bool rule_alerts =
                    std::string(sign) == "LT" ? count < instances : count >= instances;
                EXPECT_EQ(range_alerts(range, count), rule_alerts) << sign << instances << count;
            }
        }
    }
}

TEST(PluginOutput, EachReportInEachFormat) {
    CheckReport warned = counted(8, 2, true, "sshd");
    const Thresholds ranges = read_thresholds("3:5", "");
    const struct {
        CheckReport report;
        Thresholds thresholds;
        PluginStatus status;
        std::string nagios;
        std::string json;
    } cases[] = {
        {counted(212, 0, false, "sshd"),
         {},
         PluginStatus::Critical,
         "PROCS CRITICAL: 212 processes running and 0 with the name sshd | procs=212;;;0 "
         "matches=0;;1:;0",
         R"({"host":"db01","matches":0,"passed":false,"processes":212,"result":"212 processes running and 0 with the name sshd","rule":"sshd","status":"CRITICAL"})"},
        {warned, ranges, PluginStatus::Warning,
         "PROCS WARNING: 8 processes running and 2 with the name sshd | procs=8;;;0 "
         "matches=2;3:5;;0",
         R"({"host":"db01","matches":2,"passed":true,"processes":8,"result":"8 processes running and 2 with the name sshd","rule":"sshd","status":"WARNING"})"},
        {failed(FailureKind::Call, 6, "Overflow"), ranges, PluginStatus::Unknown,
         "PROCS UNKNOWN: error 6: Overflow",
         R"({"error":{"description":"Overflow","number":6},"host":"h","passed":false,"status":"UNKNOWN"})"},
        {failed(FailureKind::Settings, 0, "ERR: can't connect to an SSH server without a USERNAME"),
         {},
         PluginStatus::Unknown,
         "PROCS UNKNOWN: ERR: can't connect to an SSH server without a USERNAME",
         R"({"host":"h","matches":0,"passed":false,"processes":0,"result":"ERR: can't connect to an SSH server without a USERNAME","status":"UNKNOWN"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plugin_status(c.report, c.thresholds), c.status) << c.nagios;
        EXPECT_EQ(nagios_line(c.report, c.thresholds), c.nagios);
        EXPECT_EQ(json_line(c.report, c.thresholds), c.json);
    }
    EXPECT_EQ(passive_result_line("db01", "sshd", 1, "two\nlines\r", 1700000000),
              "[1700000000] PROCESS_SERVICE_CHECK_RESULT;db01;sshd;1;two lines \n");
}

TEST(ReportWriter, PluginOutputWritesWarningsAsLongOutputAndNothingToStandardError) {
    CheckReport report = counted(8, 2, true, "sshd");
    report.warnings = {"the host key could not be recorded"};
    const struct {
        OutputFormat format;
        std::string out;
        std::string err;
    } cases[] = {
        {OutputFormat::Nagios,
         "PROCS OK: 8 processes running and 2 with the name sshd | procs=8;;;0 matches=2;;1:;0\n"
         "PROCS OK: 8 processes running and 2 with the name sshd | procs=8;;;0 matches=2;;1:;0\n"
         "warning: the host key could not be recorded\nnot delivered\n",
         ""},
        {OutputFormat::Text,
         "8 processes running and 2 with the name sshd\n"
         "8 processes running and 2 with the name sshd\n",
         "varnok: warning: the host key could not be recorded\nvarnok: not delivered\n"},
    };
    for (const auto& c : cases) {
        std::ostringstream out, err;
        ReportWriter writer(c.format, false, false, {}, out, err);
        writer.write({report, report});  // the same warning twice is told once
        writer.finish();
        writer.note("not delivered");
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(err.str(), c.err);
    }
    std::ostringstream out, err;
    ReportWriter hosts(OutputFormat::Text, true, true, {}, out, err);
    hosts.write({report, failed(FailureKind::Call, 6, "Overflow")});
    EXPECT_EQ(out.str(),
              "db01\tsshd\tOK\t8 processes running and 2 with the name sshd\nh\t\tUNKNOWN\terror "
              "6: Overflow\n");
    EXPECT_EQ(hosts.worst(), PluginStatus::Unknown);
}

TEST(HostsFile, SkipsCommentsAndBlankLinesAndReadsTimeLimits) {
    const auto hosts =
        parse_hosts("# web tier\nweb1\n\n  web2   7  # slow\n\t db1\t3\n#x 1\n", "20");
    ASSERT_EQ(hosts.size(), 3u);
    EXPECT_EQ(hosts[0].host + hosts[0].timeout, "web120");
    EXPECT_EQ(hosts[1].host + hosts[1].timeout, "web27");
    EXPECT_EQ(hosts[2].host + hosts[2].timeout, "db13");
}

TEST(RunHosts, EmitsInHostOrderAndTurnsAnyExceptionIntoThatHostsUnknown) {
    // "first" finishes only after every other host has: the order still is the file's.
    std::latch others(3);
    const HostCheck check = [&others](const std::vector<CheckRequest>& requests) {
        const std::string host = requests.front().host;
        if (host == "first")
            others.wait();
        else
            others.count_down();
        if (host == "refused") throw std::runtime_error("no thread for this host");
        if (host == "odd") throw 42;
        std::vector<CheckReport> reports;
        for (const CheckRequest& r : requests) {
            reports.push_back(counted(static_cast<int>(r.timeout.size()), 1, true, host));
            reports.back().host = host;
            reports.back().rule_name = r.rule_name;
        }
        return reports;
    };
    std::vector<CheckRequest> rules(2);
    rules[0].rule_name = "a";
    rules[1].rule_name = "b";
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::string> lines;
    run_hosts({{"first", "1"}, {"refused", "22"}, {"odd", "3"}, {"last", "4444"}}, rules, 4, check,
              [&](const std::vector<CheckReport>& reports) {
                  EXPECT_EQ(std::this_thread::get_id(), caller);
                  for (const CheckReport& r : reports)
                      lines.push_back(r.host + " " + r.rule_name + " " +
                                      status_name(plugin_status(r, {})) + " " + r.text);
              });
    EXPECT_EQ(lines,
              (std::vector<std::string>{"first a OK 1 processes running and 1 with the name first",
                                        "first b OK 1 processes running and 1 with the name first",
                                        "refused a UNKNOWN no thread for this host",
                                        "refused b UNKNOWN no thread for this host",
                                        "odd a UNKNOWN the check ended with an unknown exception",
                                        "odd b UNKNOWN the check ended with an unknown exception",
                                        "last a OK 4 processes running and 1 with the name last",
                                        "last b OK 4 processes running and 1 with the name last"}));
}

TEST(RunHosts, JoinsEveryThreadWhenTheCallerThrows) {
    std::atomic<int> running = 0;
    const HostCheck check = [&running](const std::vector<CheckRequest>& requests) {
        ++running;
        std::this_thread::yield();
        --running;
        return std::vector<CheckReport>(requests.size());
    };
    const std::vector<HostEntry> hosts(50, HostEntry{"h", "1"});
    EXPECT_THROW(run_hosts(hosts, std::vector<CheckRequest>(1), 8, check,
                           [](const auto&) { throw std::runtime_error("stdout is gone"); }),
                 std::runtime_error);
    EXPECT_EQ(running, 0);
}

TEST(TimeLimit, ReadsTheTimeoutAsTheCheckDoesWithThirtySecondsForNone) {
    const struct {
        const char* text;
        int seconds;
    } cases[] = {{"0", 30}, {"5", 5}, {" 7 ", 7}, {"2.5", 2}, {"-1", 30}, {"soon", 30}, {"", 30}};
    for (const auto& c : cases) EXPECT_EQ(time_limit(c.text).count(), c.seconds) << c.text;
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
              "NUM=3#EOL=LF#FULL=N#WAIT=T#INPL=F#");
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
