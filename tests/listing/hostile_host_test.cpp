// SPDX-License-Identifier: Apache-2.0
// Hosts that misbehave: each check ends within its time limit, with a clear error text and the
// kind of failure, and without crashing.
#include <gtest/gtest.h>

#include "tests/loopback_listener.h"
#include "tests/param_fixture.h"

namespace varnok::testing {
namespace {

const std::string kRule = "#OS=LINUX#COL=5#PRO=sshd#SGN=LT#NUM=1";

std::string where(const std::string& system) {
    return "'127.0.0.1' port " + fx("VARNOK_SSH_PORT_" + system);
}

TEST(HostileHost, EachMisbehaviourEndsWithItsTextAndFailureKind) {
    // Garbage or silence instead of an SSH server; the first two close once the client speaks.
    const LoopbackListener http("HTTP/1.0 400 Bad Request\r\n\r\n", true),
        banner("SSH-2.0-OpenSSH_9.2\r\n", true), garbage(std::string("\0\xff garbage\r\n", 12)),
        silent;
    const auto at = [](const LoopbackListener& l) {
        return "#USR=u#PWD=YQ==#PORT=" + std::to_string(l.port()) + "#";
    };
    const std::string handshake = "SSH handshake with '127.0.0.1' port ",
                      silence = "Timed out after 1 seconds while waiting for the SSH handshake";
    // The check's parameter and time limit, its error text (or the text's start) and failure kind.
    const std::tuple<std::string, std::string, std::string, FailureKind, bool> cases[] = {
        {at(http), "1", handshake, FailureKind::Connect, true},
        {at(banner), "1", handshake, FailureKind::Connect, true},
        {at(garbage), "1", silence, FailureKind::Timeout, true},
        {at(silent), "1", silence, FailureKind::Timeout, true},
        {login_param("AUTHKILL", "#OS=LINUX", "#KEYF=" + fx("VARNOK_SSH_RSA_KEY")), "10",
         "Login as 'varnoktest' on " + where("AUTHKILL") + " with the private key failed: ",
         FailureKind::Auth, true},
        {login_param("ENDLESS", kRule), "30",
         "The listing from " + where("ENDLESS") +
             " was longer than 64 MiB; the check stopped reading it",
         FailureKind::Listing, false},
        {login_param("STALL", kRule), "2",
         "Timed out after 2 seconds while reading the listing (" + where("STALL") + ")",
         FailureKind::Timeout, false},
        {login_param("DROPPER", kRule), "10",
         "The connection to " + where("DROPPER") + " was closed before the listing ended",
         FailureKind::Connect, true},
        {login_param("BSD", "#PROTO=1"), "5",
         "SSH protocol version 1 is not supported; choose SSH2 or SSH Auto", FailureKind::Connect,
         false},
        {login_param("BSD", "", "#KEYF=/nonexistent/key"), "5",
         "Cannot read the key file '/nonexistent/key': No such file or directory",
         FailureKind::Auth, false},
        {login_param("MANY", kRule), "20", "the listing has more than 32767 processes",
         FailureKind::Listing, false},
    };
    for (const auto& [param, timeout, text, failure, text_is_start] : cases) {
        const auto start = Clock::now();
        const CheckReport r = check_report(param, timeout);
        EXPECT_FALSE(r.passed);
        EXPECT_EQ(text_is_start ? r.text.substr(0, text.size()) : r.text, text);
        EXPECT_EQ(r.failure, failure) << failure_name(r.failure) << ": " << r.text;
        // A limit is waited for to its end, never guessed from the test's own clock.
        if (failure == FailureKind::Timeout) {
            EXPECT_GE(Clock::now() - start, std::chrono::seconds(std::stoi(timeout)));
        }
    }
    EXPECT_EQ(SessionState.LineCount, 32767);  // the last case's entries: up to the cap
}

TEST(HostileHost, LongLinesNulBytesAndInvalidUtf8AreKeptAsEntries) {
    const std::string mib(1048576, 'a'), bad = "bad\xEF\xBF\xBDname sshd",
                                         nul("nul\0inside sshd", 15);
    const std::tuple<std::string, std::string, std::vector<std::string>> cases[] = {
        {"LONGLINE", "2 processes running and 1 with the name sshd (sshd)", {mib, "sshd"}},
        {"BINARY",
         "3 processes running and 3 with the name sshd (" + bad + "," + nul + ",sshd)",
         {bad, nul, "sshd"}},
    };
    for (const auto& [system, text, entries] : cases) {
        const CheckReport r = check_report(login_param(system, kRule + "#INPL=T"));
        EXPECT_EQ(r.text, text);
        EXPECT_EQ(r.entries, entries);
    }
}

}  // namespace
}  // namespace varnok::testing
