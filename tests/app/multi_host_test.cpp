#include <gtest/gtest.h>

#include "app/check_runner.h"
#include "tests/loopback_listener.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

TEST(MultiHost, HostsThatNeverAnswerHoldOnlyTheirOwnSlots) {
    const ScriptedListener silent;
    ASSERT_NE(silent.port(), 0);
    const std::string param = "#USR=u#PWD=YQ==#PORT=" + std::to_string(silent.port()) + "#";
    const std::vector<HostEntry> hosts = {{"127.0.0.1", "1"}, {"127.0.0.1", "1"}, {"", "1"}, {"127.0.0.1", "1"}};
    const auto start = Clock::now();
    std::vector<CheckOutcome> seen;
    run_many(hosts, param, 4, [&](const CheckOutcome& o) { seen.push_back(o); });
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1900));  // side by side, not in a row
    ASSERT_EQ(seen.size(), hosts.size());
    for (size_t i = 0; i < hosts.size(); ++i) {
        EXPECT_EQ(seen[i].host, hosts[i].host);  // in the order of the file
        EXPECT_EQ(seen[i].status, PluginStatus::Unknown);
        EXPECT_EQ(seen[i].text, hosts[i].host.empty() ? "No host name was given"
                                                      : "Timed out after 1 seconds while waiting for the SSH handshake "
                                                        "('127.0.0.1' port " + std::to_string(silent.port()) + ")");
    }
}

}  // namespace
}  // namespace varnok::testing
