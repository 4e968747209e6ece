// SPDX-License-Identifier: Apache-2.0
#include "listing/ssh_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "listing/event_pump.h"
#include "listing/host_key_policy.h"
#include "listing/remote_command.h"
#include "listing/ssh_session.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

int open_descriptors() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<int>(std::distance(begin(fds), end(fds)));
}

// Runs command on the fixture's sshd with the password and records the events in order.
struct Recorder {
    std::vector<std::string> events;
    std::string received;
    bool done = false;

    Recorder(SshClient& c, const std::string& command) {
        c.set_remote_host("127.0.0.1");
        c.set_remote_port(static_cast<int16_t>(std::stoi(fx("VARNOK_SSH_PORT"))));
        c.set_login_name(fx("VARNOK_SSH_USER"));
        c.set_password(fx("VARNOK_SSH_PASSWORD"));
        c.set_command_text(command);
        c.set_host_key_policy({HostKeyCheck::No, "/dev/null"});  // not the user's known_hosts
        c.Connected = [this](int16_t code, const std::string& text) {
            events.push_back("Connected " + std::to_string(code) + text);
        };
        c.Received = [this, &c](int16_t n) {
            if (events.empty() || events.back() != "Received") events.push_back("Received");
            EXPECT_LE(n, SshClient::kMaxChunk);  // how the stream is cut is not ours
            received += c.fetch(n);
        };
        c.Disconnected = [this] {
            events.push_back("Disconnected");
            done = true;
        };
        c.HostFingerprint = [this](const std::string& f, bool&) {
            events.push_back(f.rfind("ssh-ed25519 SHA256:", 0) == 0 ? "HostFingerprint" : f);
        };
        c.connect();
    }
};

TEST(SshClient, RaisesItsEventsInOrderAndCutsLargeOutput) {
    const int before = open_descriptors();
    {
        SshClient c;
        Recorder r(c, "head -c 200000 /dev/zero | tr '\\0' x; echo oops >&2");
        while (!r.done) DoEvents();
        EXPECT_EQ(r.events, (std::vector<std::string>{"HostFingerprint", "Connected 0", "Received",
                                                      "Disconnected"}));
        EXPECT_EQ(r.received,
                  std::string(200000, 'x'));  // standard output only, every byte in order
        for (int i = 0; i < 20; ++i) DoEvents();
        EXPECT_EQ(r.events.size(), 4u);  // nothing more arrives
        EXPECT_EQ(live_client_count(), 0);
        EXPECT_EQ(c.end_error(), "");
    }
    EXPECT_EQ(open_descriptors(), before);  // the socket went with the client
}

TEST(SshClient, DestroyingALiveClientRaisesNothing) {
    auto c = std::make_unique<SshClient>();
    const Recorder r(*c, "sleep 5");
    for (int i = 0; i < 5; ++i) DoEvents();
    c.reset();
    EXPECT_EQ(live_client_count(), 0);
    DoEvents();
    EXPECT_FALSE(r.done);
}

TEST(SshSession, RunsCommandsAtOnceOnChannelsOfOneLogin) {
    const auto port = static_cast<uint16_t>(std::stoi(fx("VARNOK_SSH_PORT")));
    sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    FileDescriptor tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(tcp.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::string error;
    const auto session = SshSession::create(
        std::move(tcp), {"127.0.0.1", port, fx("VARNOK_SSH_USER"), "/nonexistent", "/dev/null"},
        error);
    ASSERT_NE(session, nullptr) << error;
    const auto wait = [&session] {
        std::vector<pollfd> fds;
        session->prepare_poll(fds);
        ::poll(fds.data(), fds.size(), 1000);
    };
    const auto done = [&wait](auto step) {
        SshStep state;
        while ((state = step()) == SshStep::Again) wait();
        return state == SshStep::Done;
    };
    ASSERT_TRUE(done([&] { return session->handshake(); }));
    ASSERT_TRUE(done([&] { return session->login_with_password(fx("VARNOK_SSH_PASSWORD")); }));
    // Two commands whose output interleaves on the wire; each channel gets its own, whole.
    std::string numbers;
    for (int i = 1; i <= 100000; ++i) numbers += std::to_string(i) + "\n";
    std::string out[2];
    const std::string where = remote_words("127.0.0.1", port);
    RemoteCommand first(
        *session, "seq 100000; echo $PPID", where,
        [&](const char* d, size_t n) { out[0].append(d, n); }, 64u << 20);
    RemoteCommand second(
        *session, "sleep 0.2; echo $PPID", where,
        [&](const char* d, size_t n) { out[1].append(d, n); }, 64u << 20);
    RemoteCommand::State states[2] = {RemoteCommand::State::Running, RemoteCommand::State::Running};
    while (states[0] == RemoteCommand::State::Running ||
           states[1] == RemoteCommand::State::Running) {
        if (states[0] == RemoteCommand::State::Running) states[0] = first.advance();
        if (states[1] == RemoteCommand::State::Running) states[1] = second.advance();
        wait();
    }
    EXPECT_EQ(states[0], RemoteCommand::State::Ended) << first.failure().text;
    EXPECT_EQ(states[1], RemoteCommand::State::Ended) << second.failure().text;
    // Both shells are children of the one login's sshd process.
    EXPECT_EQ(out[0], numbers + out[1]);
    // A cap cuts the output where it stands and fails the command, leaving the session fit.
    std::string kept;
    RemoteCommand capped(
        *session, "seq 1000", where, [&](const char* d, size_t n) { kept.append(d, n); }, 10);
    RemoteCommand::State state;
    while ((state = capped.advance()) == RemoteCommand::State::Running) wait();
    EXPECT_EQ(state, RemoteCommand::State::Failed);
    EXPECT_FALSE(capped.broke_session());
    EXPECT_EQ(kept, "1\n2\n3\n4\n5\n");
}

TEST(SshClient, AnAddressNeedsNoNameServer) {
    // What the command sends to port 53, seen by strace; a name that needs DNS shows that the
    // method sees such traffic at all.
    const std::string trace = ::testing::TempDir() + "varnok-dns-" + std::to_string(getpid());
    const auto dns_packets = [&trace](const std::string& host, const std::string& port) {
        const std::string cmd =
            "strace -f -qq -e trace=connect,sendto,sendmsg,sendmmsg -o '" + trace +
            "' '" VARNOK_BINARY "' check --host '" + host +
            "' --timeout 2 --known-hosts /dev/null --param '#USR=u#PWD=YQ==" + "#PORT=" + port +
            "#' > /dev/null 2>&1";
        (void)!std::system(cmd.c_str());
        std::ifstream in(trace);
        int n = 0;
        for (std::string line; std::getline(in, line);)
            n += line.find("htons(53)") != std::string::npos;
        std::remove(trace.c_str());
        return n;
    };
    const std::string closed = fx("VARNOK_SSH_PORT_CLOSED");
    EXPECT_EQ(dns_packets("127.0.0.1", fx("VARNOK_SSH_PORT")), 0);
    EXPECT_EQ(dns_packets("::1", closed), 0);
    EXPECT_GT(dns_packets("varnok-test.invalid", closed), 0);
}

}  // namespace
}  // namespace varnok::testing
