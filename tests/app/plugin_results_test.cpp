// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <latch>
#include <sstream>
#include <thread>

#include "app/host_runner.h"
#include "app/passive.h"
#include "app/plugin_output.h"

namespace varnok {
namespace {

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

// With -w or -c the ranges decide, CRITICAL before WARNING, and the rule does not; without them
// the rule does. A run of several rules or hosts exits with the worst status, wherever it stands.
TEST(PluginStatus, CriticalBeforeWarningAndTheWorstOfARun) {
    const auto report = [](int matches, bool passed, FailureKind failure = FailureKind::None) {
        CheckReport r;
        r.matches = matches;
        r.passed = passed;
        r.failure = failure;
        r.text = "t";
        return r;
    };
    const struct {
        const char* warning;
        const char* critical;
        CheckReport report;
        PluginStatus status;
    } rows[] = {
        {"", "", report(2, true), PluginStatus::Ok},
        {"", "", report(2, false), PluginStatus::Critical},
        {"1:3", "1:", report(0, true), PluginStatus::Critical},  // both alert
        {"@0:9", "@2", report(2, true), PluginStatus::Critical},
        {"1:3", "1:", report(4, true), PluginStatus::Warning},
        {"1:3", "", report(2, false), PluginStatus::Ok},
        {"", "5", report(5, false), PluginStatus::Ok},
        {"1:3", "1:", report(0, false, FailureKind::Auth), PluginStatus::Unknown},
    };
    for (const auto& row : rows) {
        const Thresholds t = read_thresholds(row.warning, row.critical);
        EXPECT_STREQ(status_name(plugin_status(row.report, t)), status_name(row.status))
            << row.warning << " " << row.critical << " " << row.report.matches;
    }
    // Counts under -w 3 -c 6; -1 is a report that failed.
    const std::pair<std::vector<int>, PluginStatus> runs[] = {
        {{4, 0}, PluginStatus::Warning},     {{7, 4, 0}, PluginStatus::Critical},
        {{-1, 7}, PluginStatus::Unknown},    {{0, 7, 0, 4}, PluginStatus::Critical},
        {{4, -1, 0}, PluginStatus::Unknown}, {{0, 0}, PluginStatus::Ok},
    };
    for (const auto& [counts, worst] : runs) {
        std::ostringstream out, err;
        ReportWriter writer(OutputFormat::Nagios, false, true, read_thresholds("3", "6"), out, err);
        for (const int count : counts)
            writer.write(
                {count < 0 ? report(0, false, FailureKind::Connect) : report(count, true)});
        EXPECT_STREQ(status_name(writer.worst()), status_name(worst)) << counts.size();
    }
}

// Each label carries its host's or rule's name, with what would end or break a label made '_'.
TEST(LabelledPerfdata, PrefixesEveryLabelWithANameThatCannotBreakIt) {
    EXPECT_EQ(labelled_perfdata("procs=8;;;0 matches=2;;1:;0", "db01_it's a=b\tc"),
              "db01_it_s_a_b_c_procs=8;;;0 db01_it_s_a_b_c_matches=2;;1:;0");
}

TEST(RunHosts, EmitsInHostOrderAndTurnsAnyExceptionIntoThatHostsUnknown) {
    std::latch others(3);  // "first" finishes after every other host
    const HostCheck check = [&others](const std::vector<CheckRequest>& requests) {
        const std::string host = requests.front().host;
        host == "first" ? others.wait() : others.count_down();
        if (host == "refused") throw std::runtime_error("no thread for this host");
        if (host == "odd") throw 42;
        std::vector<CheckReport> reports(requests.size());
        for (size_t i = 0; i < requests.size(); ++i) {
            reports[i].host = host;
            reports[i].rule_name = requests[i].rule_name;
            reports[i].text = "limit " + requests[i].timeout;
        }
        return reports;
    };
    std::vector<CheckRequest> rules(2);
    rules[0].rule_name = "a";
    rules[1].rule_name = "b";
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::string> lines;
    run_hosts({{"first", "1"}, {"refused", "2"}, {"odd", "3"}, {"last", "4"}}, rules, 4, check,
              [&](const std::vector<CheckReport>& reports) {
                  EXPECT_EQ(std::this_thread::get_id(), caller);
                  for (const CheckReport& r : reports)
                      lines.push_back(r.host + " " + r.rule_name + " " +
                                      status_name(plugin_status(r, {})) + " " + r.text);
              });
    EXPECT_EQ(lines,
              (std::vector<std::string>{"first a CRITICAL limit 1", "first b CRITICAL limit 1",
                                        "refused a UNKNOWN no thread for this host",
                                        "refused b UNKNOWN no thread for this host",
                                        "odd a UNKNOWN the check ended with an unknown exception",
                                        "odd b UNKNOWN the check ended with an unknown exception",
                                        "last a CRITICAL limit 4", "last b CRITICAL limit 4"}));
}

TEST(Passive, OneCommandALineWithinTheSessionsTimeLimit) {
    EXPECT_EQ(passive_result_line("db01", "sshd", 1, "two\nlines\r", 1700000000),
              "[1700000000] PROCESS_SERVICE_CHECK_RESULT;db01;sshd;1;two lines \n");
    const std::pair<const char*, int> cases[] = {{"0", 30},  {"5", 5},     {" 7 ", 7}, {"2.5", 2},
                                                 {"-1", 30}, {"soon", 30}, {"", 30}};
    for (const auto& [text, seconds] : cases) EXPECT_EQ(time_limit(text).count(), seconds) << text;
}

}  // namespace
}  // namespace varnok
