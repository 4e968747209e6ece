// SPDX-License-Identifier: Apache-2.0
// varnok procs through the test sshd on its plain port (the real /bin/ps) against check_procs run
// here with the same options, while processes of the test user of known shape run: two sleepers
// (one with long arguments) and a zombie, under a command name nothing else on the machine has.
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/app/varnok_run.h"
#include "tests/sshd_fixture.h"

namespace {

using namespace varnok::testing;

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Waits until the file holds the text: the processes below are started, not timed.
void await(const std::string& path, const std::string& text) {
    while (slurp(path).find(text) == std::string::npos) usleep(10000);
}

std::string proc(pid_t pid, const std::string& file) {
    return "/proc/" + std::to_string(pid) + "/" + file;
}

class ProcsAgreement : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char dir[] = "/tmp/vkagree.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        chmod(dir, 0755);
        std::filesystem::copy_file("/bin/sleep", dir_ + "/vkagree");
        const passwd* user = getpwnam("varnoktest");
        ASSERT_NE(user, nullptr);
        uid_ = user->pw_uid;
        prctl(PR_SET_CHILD_SUBREAPER, 1);  // the zombie comes back here once its parent is gone
        std::vector<std::string> args = {dir_ + "/vkagree", "100000"};
        sleeper_ = start(user, args, false);
        args.resize(152, "0");  // arguments past any 80 or 132 column cut
        parent_ = start(user, args, true);
        for (pid_t pid : {sleeper_, parent_}) await(proc(pid, "comm"), "vkagree\n");
        await(proc(parent_, "task/" + std::to_string(parent_) + "/children"), " ");
        zombie_ = std::stoi(slurp(proc(parent_, "task/" + std::to_string(parent_) + "/children")));
        await(proc(zombie_, "stat"), ") Z ");
    }
    static void TearDownTestSuite() {
        for (pid_t pid : {sleeper_, parent_, zombie_}) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(dir_);
    }
    // A zombie: a child that ran `vkagree 0` under a parent that turned into a sleeper.
    static pid_t start(const passwd* user, const std::vector<std::string>& args, bool zombie) {
        const pid_t pid = fork();
        if (pid != 0) return pid;
        if (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0) _exit(127);
        if (zombie && fork() == 0) execl(args[0].c_str(), "vkagree", "0", nullptr);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    static inline std::string dir_;
    static inline uid_t uid_ = 0;
    static inline pid_t sleeper_ = 0, parent_ = 0, zombie_ = 0;
};

// Every filter and metric this check_procs has (it has no -X), and combinations; -C, -u or -p
// keep out the user's own sshd, shell and ps (varnok) and check_procs's shell and ps (root).
// Metric ranges lie far from the sleepers' values: CPU 0.00, KiB sizes, elapsed under a day.
TEST_F(ProcsAgreement, SameStatusLineAsCheckProcs) {
    const std::string rows[] = {
        "-C vkagree",
        "-C vkagree -w 1:2",
        "-C vkagree -c 4: -w 3",
        "-a '100000 0 0 0' -u varnoktest",
        "--ereg-argument-array '^/tmp/vkagree[^ ]*/vkagree 100000( 0)+$' -u varnoktest",
        "-u varnoktest -C vkagree",
        "-u {uid} -C vkagree -c 1:2",
        "-s Z -C vkagree",
        "-s S -C vkagree -w 1:1",
        "-p {parent}",
        "-p {test} -u varnoktest",
        "-r 1 -C vkagree",
        "-z 1 -C vkagree",
        "-P 50 -C vkagree -c 1:",
        "-k -C vkagree",
        "-m VSZ -C vkagree -w 0:10",
        "-m VSZ -C vkagree -w 0:100000000 -c 0:200000000",
        "-m RSS -C vkagree -c 0:10 -w 0:20",
        "-m CPU -C vkagree -w 1:",
        "-m ELAPSED -C vkagree -w 100000: -c @0:99999",
        "-u varnoktest -s S -a 100000 -z 1 -r 1 -P 0 -w 0:1",
    };
    const std::map<std::string, std::string> values = {{"{uid}", std::to_string(uid_)},
                                                       {"{parent}", std::to_string(parent_)},
                                                       {"{test}", std::to_string(getpid())}};
    for (std::string options : rows) {
        for (const auto& [key, value] : values)
            for (size_t at; (at = options.find(key)) != std::string::npos;)
                options.replace(at, key.size(), value);
        std::string expected;
        FILE* pipe = popen(("/usr/lib/nagios/plugins/check_procs " + options).c_str(), "r");
        char buf[4096];
        while (size_t n = fread(buf, 1, sizeof buf, pipe)) expected.append(buf, n);
        const int expected_status = WEXITSTATUS(pclose(pipe));
        const CliRun run = varnok::testing::varnok("procs -H 127.0.0.1 --port " +
                                                   fx("VARNOK_SSH_PORT") + " -l varnoktest -i " +
                                                   fx("VARNOK_SSH_RSA_KEY") + " -t 20 " + options);
        EXPECT_EQ(run.out.substr(0, run.out.find('\n')), expected.substr(0, expected.find('\n')))
            << options << "\n"
            << run.out;
        EXPECT_EQ(run.status, expected_status) << options;
        EXPECT_EQ(run.err, "") << options;
    }
}

// Children of this test of known shape: one that spins 20 ms of every 40, one that
// spun a second of CPU and sleeps since, one with 4 threads besides its main one, one that only
// sleeps. Each says on a pipe when it is ready; nothing below waits on the clock.
class ProcsPopulation : public ::testing::Test {
  protected:
    enum Kind { kBusy, kWasBusy, kThreads, kIdle };
    void SetUp() override {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        for (Kind kind : {kBusy, kWasBusy, kThreads, kIdle}) {
            const pid_t pid = fork();
            if (pid == 0) live(kind, ready[1]);
            pids_.push_back(pid);
        }
        char byte;
        for (size_t i = 0; i < pids_.size(); ++i) ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        close(ready[1]);
    }
    void TearDown() override {
        for (pid_t pid : pids_) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
    static double cpu_seconds() {
        timespec used{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
        return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
    }
    [[noreturn]] static void live(Kind kind, int ready) {
        // The duty cycle counts CPU time, not the clock, and runs ahead of the other builds on
        // a shared machine: it stays near half a CPU however busy the machine is.
        if (kind == kBusy) setpriority(PRIO_PROCESS, 0, -10);
        while (kind == kWasBusy && cpu_seconds() < 1) {
        }
        for (int i = 0; kind == kThreads && i < 4; ++i) std::thread([] { pause(); }).detach();
        if (write(ready, "x", 1) != 1) _exit(1);
        for (;;) {
            if (kind != kBusy) pause();
            for (const double end = cpu_seconds() + 0.02; cpu_seconds() < end;) {
            }
            usleep(20000);
        }
    }
    // The processes of one `varnok procs --format json` run with the options, by pid.
    std::map<long long, nlohmann::json> listed(const std::string& options) {
        const CliRun run = varnok::testing::varnok(
            "procs -H 127.0.0.1 --port " + fx("VARNOK_SSH_PORT") + " -l varnoktest -i " +
            fx("VARNOK_SSH_RSA_KEY") + " -t 20 --format json -p " + std::to_string(getpid()) + " " +
            options);
        std::map<long long, nlohmann::json> by_pid;
        const auto j = nlohmann::json::parse(run.out, nullptr, false);
        EXPECT_TRUE(j.is_object() && j["status"] == "OK") << run.out << run.err;
        if (j.is_object() && j["processes"].is_array())
            for (const auto& p : j["processes"]) by_pid[p["pid"].get<long long>()] = p;
        for (pid_t pid : pids_) EXPECT_EQ(by_pid.count(pid), 1u) << run.out;
        return by_pid;
    }
    std::vector<pid_t> pids_;
};

TEST_F(ProcsPopulation, IntervalShowsTheCpuUsedNowBesidePsLifetimeFigure) {
    auto p = listed("--interval 3 -m CPU");
    EXPECT_GT(p[pids_[kBusy]]["interval_cpu"].get<double>(), 20) << p[pids_[kBusy]];
    EXPECT_LT(p[pids_[kWasBusy]]["interval_cpu"].get<double>(), 5) << p[pids_[kWasBusy]];
    EXPECT_GT(p[pids_[kWasBusy]]["pcpu"].get<double>(), 5) << p[pids_[kWasBusy]];
    EXPECT_LT(p[pids_[kIdle]]["interval_cpu"].get<double>(), 5) << p[pids_[kIdle]];
    for (pid_t pid : pids_) EXPECT_FALSE(p[pid]["appeared"].get<bool>());
}

TEST_F(ProcsPopulation, ThreadsCountsEachProcesssThreads) {
    auto p = listed("-m THREADS");
    EXPECT_EQ(p[pids_[kThreads]]["threads"], 5);
    EXPECT_EQ(p[pids_[kIdle]]["threads"], 1);
}

TEST(ProcsInterval, RefusesAnIntervalTheTimeLimitCannotHold) {
    const std::string login = "procs -H 127.0.0.1 --port " + fx("VARNOK_SSH_PORT") +
                              " -l varnoktest -i " + fx("VARNOK_SSH_RSA_KEY") + " -t 10 ";
    const std::pair<std::string, std::string> cases[] = {
        {"--interval 0", "--interval must be a whole number of seconds above 0, not '0'"},
        {"--interval=-2", "--interval must be a whole number of seconds above 0, not '-2'"},
        {"--interval 1.5", "--interval must be a whole number of seconds above 0, not '1.5'"},
        {"--interval 10",
         "--interval 10 leaves no time for the listings: the time limit (-t) is 10 seconds"},
    };
    for (const auto& [options, text] : cases) {
        const CliRun run = varnok::testing::varnok(login + options);
        EXPECT_EQ(run.out, "PROCS UNKNOWN: " + text + "\n") << options;
        EXPECT_EQ(run.status, 3) << options;
    }
}

}  // namespace
