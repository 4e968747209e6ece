// SPDX-License-Identifier: Apache-2.0
#include "serve/process_history.h"

#include <gtest/gtest.h>

#include "serve/rule_processes.h"

namespace varnok::testing {
namespace {

using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

// One rule's listings in turn, and what each probe shows: the CPU counter never goes back,
// whatever ends, and a process under a pid seen before but with another start is a new one.
TEST(ProcessHistory, KeepsTheCounterAcrossEndsAndCountsStarts) {
    struct Step {
        std::vector<ListedProcess> listed;
        double cpu_total;
        uint64_t started;
        std::optional<double> oldest;
        long long threads;
    };
    const std::vector<Step> steps = {
        {{{7, 1000, 10, 4}, {9, 1500, 5, 1}}, 15, 0, 1000, 5},    // the baseline: no starts
        {{{7, 1000.8, 12, 4}}, 17, 0, 1000, 4},                   // 9 ended: its 5 s stay
        {{{7, 1001, 12, 4}, {9, 1700, 1, 1}}, 18, 1, 1000, 5},    // pid 9 again, a new process
        {{{7, 1000, 11.5, 4}, {9, 1700, 1, 1}}, 18, 1, 1000, 5},  // a time read lower
        {{}, 18, 1, std::nullopt, 0},                             // all gone
        {{{7, 2000, 3, 2}}, 21, 2, 2000, 2},                      // restarted under pid 7
    };
    ProcessHistory history;
    const auto start = Clock::now();
    for (size_t i = 0; i < steps.size(); ++i) {
        const RuleFigures f = history.update("web1", "unix", "sshd", steps[i].listed, start);
        EXPECT_DOUBLE_EQ(f.cpu_seconds_total, steps[i].cpu_total) << "step " << i;
        EXPECT_EQ(f.started_total, steps[i].started) << "step " << i;
        EXPECT_EQ(f.oldest_start_time, steps[i].oldest) << "step " << i;
        EXPECT_EQ(f.threads, steps[i].threads) << "step " << i;
    }
    // Another rule, module or target has a state of its own, whose first listing is its baseline.
    for (const auto& [target, module, rule] :
         {std::tuple("web1", "unix", "cron"), {"web1", "other", "sshd"}, {"web2", "unix", "sshd"}})
        EXPECT_EQ(history.update(target, module, rule, {{7, 2000, 3, 2}}, start).started_total, 0u);
}

TEST(ProcessHistory, DropsIdleStatesAndHoldsItsBounds) {
    ProcessHistory history({2, 3, 5, seconds(600)});
    const auto t = Clock::now();
    history.update("a", "m", "r", {{1, 0, 1, 0}}, t);
    history.update("b", "m", "r", {{1, 0, 1, 0}}, t);
    history.update("a", "m", "r", {{1, 0, 1, 0}}, t);  // b is now the least recently used
    history.update("c", "m", "r", {{1, 0, 1, 0}}, t);
    EXPECT_EQ(history.size(), 2u);
    // b went: its next listing is a baseline again (no start); a stayed (a start).
    EXPECT_EQ(history.update("a", "m", "r", {{2, 5, 1, 0}}, t).started_total, 1u);
    EXPECT_EQ(history.update("b", "m", "r", {{2, 5, 1, 0}}, t).started_total, 0u);
    // Past the idle time every state goes.
    history.update("d", "m", "r", {}, t + seconds(601));
    EXPECT_EQ(history.size(), 1u);
    // A rule that matches more processes than the bound follows the lowest pids only.
    const RuleFigures many = history.update(
        "e", "m", "r", {{5, 0, 1, 1}, {4, 0, 1, 1}, {3, 0, 1, 1}, {2, 0, 1, 1}}, t + seconds(601));
    EXPECT_EQ(many.threads, 3);
    // Past the processes followed in all, the least recently used states go: 3 + 3 > 5.
    ProcessHistory few({10, 3, 5, seconds(600)});
    const std::vector<ListedProcess> three = {{1, 0, 1, 1}, {2, 0, 1, 1}, {3, 0, 1, 1}};
    few.update("p", "m", "r", three, t);
    few.update("q", "m", "r", three, t);
    few.update("s", "m", "r", {}, t);
    EXPECT_EQ(few.size(), 2u);
    EXPECT_EQ(few.update("q", "m", "r", {{4, 0, 1, 1}}, t).started_total, 1u);
    EXPECT_EQ(few.update("p", "m", "r", {{4, 0, 1, 1}}, t).started_total, 0u);
}

// The listing of process_listing_command for Linux as a probe reads it: ticks replace ps's
// seconds, a rule takes the processes whose command line holds its name (FULL: is it), and the
// listing's own login is left out.
TEST(RuleProcesses, SortsTheListingToTheRules) {
    const std::string output =
        "varnok-procs-os Linux\nvarnok-procs-pid 50\n"
        "STAT  UID USER PID PPID VSZ RSS %CPU ELAPSED     TIME NLWP COMMAND COMMAND\n"
        "Ss      0 root   1    0   1   1  0.0   01:40 00:00:07    1 init    /sbin/init\n"
        "Sl      0 root  20    1   1   1  0.0   01:00 00:00:02    4 nginx   nginx: master\n"
        "S      33 www   21   20   1   1  0.0   00:10 00:00:00    1 nginx   nginx: worker\n"
        "S    1001 mon   50   49   1   1  0.0   00:00 00:00:00    1 sh      sh -c nginx\n"
        "R    1001 mon   51   50   1   1  0.0   00:00 00:00:00    1 ps      ps -e nginx\n"
        "varnok-procs-ticks 100\n"
        "20 (nginx) S 1 20 20 0 -1 0 0 0 0 0 250 130 0 0 20 0 4 0 100 1 1\n"
        "21 (a) (b c) S 20 20 20 0 -1 0 0 0 0 0 3 4 0 0 20 0 1 0 100 1 1\n"
        "33 (x\n1 (y) S 20 20 20 0 -1 0 0 0 0 0 9000 0 0 0 20 0 1 0 100 1 1\n"
        "1 (init) S 0 1 1 0 -1 0 0 0 0 0 650 200 0 0 20 0 1 0 1 1 1\n"
        "varnok-procs-end 0\n";
    CheckSettingsRecord master, all, exact;
    master.ProcessName = "nginx";
    exact.ProcessName = "nginx: worker";
    exact.FullOutput = true;
    const RuleProcesses got = rule_processes(output, "LINUX", {master, all, exact}, 1100);
    ASSERT_EQ(got.error, "");
    EXPECT_TRUE(got.threads);
    ASSERT_EQ(got.rules.size(), 3u);
    ASSERT_EQ(got.rules[0].size(), 2u);
    EXPECT_EQ(got.rules[0][0].pid, 20);
    EXPECT_DOUBLE_EQ(got.rules[0][0].cpu_seconds, 3.8);
    EXPECT_DOUBLE_EQ(got.rules[0][0].start_time, 1040);
    EXPECT_EQ(got.rules[0][0].threads, 4);
    EXPECT_DOUBLE_EQ(got.rules[0][1].cpu_seconds, 0.07);
    ASSERT_EQ(got.rules[1].size(), 3u);
    EXPECT_DOUBLE_EQ(got.rules[1][0].cpu_seconds, 7);  // pid 1 named twice: ps's seconds
    ASSERT_EQ(got.rules[2].size(), 1u);
    EXPECT_EQ(got.rules[2][0].pid, 21);
    EXPECT_EQ(
        rule_processes("varnok-procs-os CYGWIN_NT-10.0\nvarnok-procs-end 0\n", "", {all}, 0).error,
        "Cygwin's ps shows no CPU time");
}

}  // namespace
}  // namespace varnok::testing
