// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "settings/base64.h"
#include "tests/app/varnok_run.h"
#include "tests/loopback_listener.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

// `varnok check --hosts` over count lines of "127.0.0.1 timeout" on its standard input, all at
// once; each line of output should be line.
void check_hosts(int count, const std::string& timeout, const std::string& param, int status,
                 const std::string& line) {
    const std::string n = std::to_string(count);
    const CliRun run = varnok("check --hosts /dev/stdin --jobs " + n + " --param '" + param + "'",
                              "", "", "yes '127.0.0.1 " + timeout + "' | head -n " + n + " |");
    EXPECT_EQ(run.status, status);
    std::string expected;
    for (int i = 0; i < count; ++i) expected += line + "\n";
    EXPECT_TRUE(run.out == expected) << run.out.substr(0, 400);
}

TEST(MultiHost, SixtyFourChecksOfOneSshdAllAnswer) {
    check_hosts(64, "20",
                "#USR=" + fx("VARNOK_SSH_USER") +
                    "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
                    "#PORT=" + fx("VARNOK_SSH_PORT_BSD") + "#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#",
                0, "127.0.0.1\tOK\t8 processes running and 2 with the name sshd");
}

TEST(MultiHost, AThousandSilentHostsEachEndAtTheirOwnLimit) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 4096 && files.rlim_max >= 4096) {
        files.rlim_cur = 4096;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const LoopbackListener silent;
    ASSERT_NE(silent.port(), 0);
    const std::string port = std::to_string(silent.port());
    // A limit that leaves a loaded machine the time to start all of them.
    check_hosts(1000, "10", "#USR=u#PWD=YQ==#PORT=" + port + "#", 3,
                "127.0.0.1\tUNKNOWN\tTimed out after 10 seconds while waiting for the SSH "
                "handshake ('127.0.0.1' port " +
                    port + ")");
    EXPECT_EQ(silent.peak(), 1000u);  // every check held its connection at the same time
    // Each check's connection lasted no longer than its limit plus three seconds (the closes that
    // the process left behind are seen by the listener shortly after it ended).
    for (int i = 0; i < 500 && silent.open() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(silent.open(), 0u);
    EXPECT_LT(silent.longest(), std::chrono::seconds(13));
}

// The fixture's sshd twice under two names and a closed port between (127.0.0.2 is loopback, where
// the sshd does not listen): per-host lines in file order, each host's explain lines marked with
// it, the performance data last, the worst status as the exit status.
TEST(MultiHost, ProcsGivesEachHostOfAHostsFileItsOwnResultInFileOrder) {
    // Two sleepers under a name nothing else has, so that tests running beside count none.
    char dir[] = "/tmp/vkhosts.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string sleeper = std::string(dir) + "/vkhosts";
    std::filesystem::copy_file("/bin/sleep", sleeper);
    std::vector<pid_t> pids;
    const std::shared_ptr<void> reap(nullptr, [&](void*) {
        for (pid_t pid : pids) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(dir);
    });
    char* argv[] = {const_cast<char*>("vkhosts"), const_cast<char*>("100000"), nullptr};
    for (pid_t pid = 0; pids.size() < 2; pids.push_back(pid))  // each back once it has exec'd
        ASSERT_EQ(posix_spawn(&pid, sleeper.c_str(), nullptr, nullptr, argv, environ), 0);
    const std::string port = fx("VARNOK_SSH_PORT");
    const std::string procs = "procs --port " + port + " -l varnoktest -i " +
                              fx("VARNOK_SSH_RSA_KEY") + " -t 20 -C vkhosts -w 0:1 ";
    const std::string line = "PROCS WARNING: 2 processes with command name 'vkhosts'";
    const std::string refused =
        "PROCS UNKNOWN: Cannot connect to '127.0.0.2' port " + port + ": Connection refused";
    EXPECT_EQ(varnok(procs + "-H 127.0.0.1").out, line + " | procs=2;0:1;;0;\n");
    const std::string hosts = "# one server, two names\n127.0.0.1\n127.0.0.2 5\n\nlocalhost\n";
    const CliRun run = varnok(procs + "-v --jobs 3 --hosts -", hosts);
    std::string results;
    std::map<std::string, int> counted;
    std::istringstream lines(run.out);
    for (std::string l; std::getline(lines, l);) {
        const size_t tab = l.find('\t');
        const std::string host = l.substr(0, tab), text = l.substr(std::min(tab + 1, l.size()));
        if (text.starts_with("counted: ")) ++counted[host];
        if (text.starts_with("PROCS") || l.starts_with("|")) results += l + "\n";
    }
    EXPECT_EQ(results, "127.0.0.1\t" + line + "\n127.0.0.2\t" + refused + "\nlocalhost\t" + line +
                           "\n| 127.0.0.1_procs=2;0:1;;0; localhost_procs=2;0:1;;0;\n");
    EXPECT_EQ(counted, (std::map<std::string, int>{{"127.0.0.1", 2}, {"localhost", 2}}));
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "");
    const CliRun json = varnok(procs + "--format json --hosts -", hosts);
    const std::string good = "\",\"status\":\"WARNING\",\"exit\":1,\"text\":\"" + line + "\",";
    EXPECT_TRUE(json.out.starts_with("{\"host\":\"127.0.0.1" + good)) << json.out;
    EXPECT_TRUE(contains(json.out,
                         "}\n{\"host\":\"127.0.0.2\",\"status\":\"UNKNOWN\",\"exit\":3,"
                         "\"text\":\"" +
                             refused + "\"}\n{\"host\":\"localhost" + good));
    EXPECT_EQ(json.status, 3);
}

}  // namespace
}  // namespace varnok::testing
