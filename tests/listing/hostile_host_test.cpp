// Hosts that misbehave: each check must end within its time limit plus a second, with a clear
// result or error text, and without crashing.
#include <gtest/gtest.h>

#include <chrono>

#include "settings/base64.h"
#include "tests/loopback_listener.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

struct Timed {
    bool result;
    std::string text;
    Clock::duration took;
};

Timed timed_check(const std::string& parameter, const std::string& timeout) {
    const auto start = Clock::now();
    Timed t{};
    t.result = run_check(parameter, &t.text, timeout);
    t.took = Clock::now() - start;
    return t;
}

std::string fixture_param(const std::string& system, const std::string& extra = "#PRO=sshd#SGN=LT#NUM=1") {
    return "#USR=" + fx("VARNOK_SSH_USER") + "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
           "#PORT=" + fx("VARNOK_SSH_PORT_" + system) + "#OS=LINUX#COL=5" + extra + "#";
}

std::string where(const std::string& system) { return "'127.0.0.1' port " + fx("VARNOK_SSH_PORT_" + system); }

class HostileHost : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }
};

TEST_F(HostileHost, ListingOverTheEntryCapIsAnError) {
    const Timed t = timed_check(fixture_param("MANY"), "20");
    EXPECT_FALSE(t.result);
    EXPECT_EQ(t.text, "the listing has more than 32767 processes");
    EXPECT_EQ(SessionState.LineCount, 32767);
}

TEST_F(HostileHost, EndlessOutputStopsAtTheSizeCap) {
    const Timed t = timed_check(fixture_param("ENDLESS"), "30");
    EXPECT_FALSE(t.result);
    EXPECT_EQ(t.text, "The listing from " + where("ENDLESS") + " was longer than 64 MiB; the check stopped reading it");
}

TEST_F(HostileHost, AStallAfterTheHeaderEndsAtTheTimeLimit) {
    const Timed t = timed_check(fixture_param("STALL"), "2");
    EXPECT_FALSE(t.result);
    EXPECT_EQ(t.text, "Timed out after 2 seconds while reading the listing (" + where("STALL") + ")");
    EXPECT_GE(t.took, std::chrono::seconds(2));
}

TEST_F(HostileHost, AConnectionDroppedDuringTheListingIsAnError) {
    const Timed t = timed_check(fixture_param("DROPPER"), "10");
    EXPECT_FALSE(t.result);
    EXPECT_EQ(t.text.rfind("The connection to " + where("DROPPER") + " was closed before the listing ended", 0), 0u)
        << t.text;
}

TEST_F(HostileHost, AConnectionDroppedDuringAuthenticationIsAnError) {
    const std::string p = "#USR=" + fx("VARNOK_SSH_USER") + "#KEYF=" + fx("VARNOK_SSH_RSA_KEY") +
                          "#PORT=" + fx("VARNOK_SSH_PORT_AUTHKILL") + "#OS=LINUX#";
    const Timed t = timed_check(p, "10");
    EXPECT_FALSE(t.result);
    EXPECT_EQ(t.text.rfind("Login as 'varnoktest' on " + where("AUTHKILL") + " with the private key failed: ", 0), 0u)
        << t.text;
}

TEST_F(HostileHost, GarbageOrSilenceInsteadOfAnSshServer) {
    struct Case {
        std::string greeting;
        bool close_after;
        std::string expected_start;
    };
    const Case cases[] = {
        {"HTTP/1.0 400 Bad Request\r\n\r\n", true, "SSH handshake with '127.0.0.1' port "},
        {"SSH-2.0-OpenSSH_9.2\r\n", true, "SSH handshake with '127.0.0.1' port "},  // closes in key exchange
        {"\x00\xff garbage\r\n", false, "Timed out after 1 seconds while waiting for the SSH handshake"},
        {"", false, "Timed out after 1 seconds while waiting for the SSH handshake"},
    };
    for (const auto& c : cases) {
        LoopbackListener listener(c.greeting, c.close_after);
        ASSERT_NE(listener.port(), 0);
        const Timed t = timed_check("#USR=u#PWD=YQ==#PORT=" + std::to_string(listener.port()) + "#", "1");
        EXPECT_FALSE(t.result);
        EXPECT_EQ(t.text.rfind(c.expected_start, 0), 0u) << t.text;
    }
}

TEST_F(HostileHost, AMegabyteLineIsOneEntry) {
    std::string text;
    run_check(fixture_param("LONGLINE"), &text);
    EXPECT_EQ(text, "2 processes running and 1 with the name sshd");
    ASSERT_EQ(SessionState.LineCount, 2);
    EXPECT_EQ(SessionState.Lines[0], std::string(1048576, 'a'));
}

TEST_F(HostileHost, NulBytesAndInvalidUtf8AreKeptAsText) {
    std::string text;
    run_check(fixture_param("BINARY", "#PRO=sshd#SGN=LT#NUM=1#INPL=T"), &text);
    const std::string entries[] = {"bad\xEF\xBF\xBDname sshd", std::string("nul\0inside sshd", 15), "sshd"};
    EXPECT_EQ(text, "3 processes running and 3 with the name sshd (" + entries[0] + "," + entries[1] + "," +
                        entries[2] + ")");
    ASSERT_EQ(SessionState.LineCount, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(SessionState.Lines[static_cast<size_t>(i)], entries[i]);
}

}  // namespace
}  // namespace varnok::testing
