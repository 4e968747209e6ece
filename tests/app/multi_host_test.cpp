#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "settings/base64.h"
#include "tests/app/varnok_run.h"
#include "tests/loopback_listener.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

// `varnok check --hosts` over count lines of "127.0.0.1 timeout", all at once; its exit status
// and its lines.
std::pair<int, std::vector<std::string>> check_hosts(int count, const std::string& timeout,
                                                     const std::string& param) {
    const std::string hosts =
        std::string(::testing::TempDir()) + "varnok-hosts-" + std::to_string(getpid());
    {
        std::ofstream out(hosts);
        for (int i = 0; i < count; ++i) out << "127.0.0.1 " << timeout << "\n";
    }
    const CliRun run = varnok("check --hosts '" + hosts + "' --jobs " + std::to_string(count) +
                              " --param '" + param + "'");
    std::remove(hosts.c_str());
    std::vector<std::string> lines;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return {run.status, lines};
}

TEST(MultiHost, SixtyFourChecksOfOneSshdAllAnswer) {
    const std::string param =
        "#USR=" + fx("VARNOK_SSH_USER") + "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
        "#PORT=" + fx("VARNOK_SSH_PORT_BSD") + "#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#";
    const auto [status, lines] = check_hosts(64, "10", param);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines, std::vector<std::string>(
                         64, "127.0.0.1\tOK\t8 processes running and 2 with the name sshd"));
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
    const auto [status, lines] =
        check_hosts(1000, "3", "#USR=u#PWD=YQ==#PORT=" + std::to_string(silent.port()) + "#");
    EXPECT_EQ(status, 3);
    ASSERT_EQ(lines.size(), 1000u);
    const std::string expected =
        "127.0.0.1\tUNKNOWN\tTimed out after 3 seconds while waiting for the SSH handshake "
        "('127.0.0.1' port " +
        std::to_string(silent.port()) + ")";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), expected), 1000) << lines.front();
    EXPECT_EQ(silent.peak(), 1000u);  // every check held its connection at the same time
    // Each check's connection lasted no longer than its limit plus a second (the closes that
    // the process left behind are seen by the listener shortly after it ended).
    for (int i = 0; i < 500 && silent.open() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(silent.open(), 0u);
    EXPECT_LT(silent.longest(), std::chrono::seconds(4));
}

}  // namespace
}  // namespace varnok::testing
