#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "app/check_runner.h"
#include "settings/base64.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

// A listener that accepts and never speaks, on a port the 16-bit field can hold.
struct SilentListener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    SilentListener() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int p = 28000 + getpid() % 2000; p < 32767 && port == 0; p += 11) {
            addr.sin_port = htons(static_cast<uint16_t>(p));
            if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) port = p;
        }
        ::listen(fd, 16);
    }
    ~SilentListener() { ::close(fd); }
};

TEST(MultiHost, KeepsTheFileOrderAcrossThreads) {
    // One parameter string serves every host; the host without a name fails on its own.
    const std::string param = "#USR=" + fx("VARNOK_SSH_USER") + "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
                              "#PORT=" + fx("VARNOK_SSH_PORT_BSD") + "#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=1#";
    std::vector<HostEntry> hosts;
    for (int i = 0; i < 12; ++i) hosts.push_back({i % 2 ? "localhost" : "127.0.0.1", "5"});
    hosts.insert(hosts.begin() + 3, {"", "5"});
    std::vector<CheckOutcome> seen;
    const auto start = std::chrono::steady_clock::now();
    run_many(hosts, param, 4, [&](const CheckOutcome& o) { seen.push_back(o); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_EQ(seen.size(), hosts.size());
    for (size_t i = 0; i < hosts.size(); ++i) {
        EXPECT_EQ(seen[i].host, hosts[i].host);
        if (hosts[i].host.empty()) {
            EXPECT_EQ(seen[i].status, PluginStatus::Unknown);
            EXPECT_EQ(seen[i].text, "No host name was given");
        } else {
            EXPECT_EQ(seen[i].status, PluginStatus::Ok) << seen[i].text;
            EXPECT_EQ(seen[i].text, "8 processes running and 2 with the name sshd");
        }
    }
}

TEST(MultiHost, AHostThatNeverAnswersEndsAtItsTimeLimitWhileOthersFinish) {
    SilentListener silent;
    ASSERT_NE(silent.port, 0);
    const std::string silent_param = "#USR=u#PWD=YQ==#PORT=" + std::to_string(silent.port) + "#";
    std::vector<HostEntry> hosts = {{"127.0.0.1", "1"}, {"127.0.0.1", "1"}, {"127.0.0.1", "1"}};
    const auto start = std::chrono::steady_clock::now();
    std::vector<CheckOutcome> seen;
    run_many(hosts, silent_param, 3, [&](const CheckOutcome& o) { seen.push_back(o); });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(1900));  // three hangs side by side, not one after another
    for (const auto& o : seen) {
        EXPECT_EQ(o.status, PluginStatus::Unknown);
        EXPECT_NE(o.text.find("Timed out after 1 seconds"), std::string::npos) << o.text;
    }
}

}  // namespace
}  // namespace varnok::testing
