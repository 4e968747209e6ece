// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <sys/resource.h>

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

}  // namespace
}  // namespace varnok::testing
