#include "listing/ssh_client.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include "listing/event_pump.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

int open_descriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            char target[256] = {};
            const std::string path = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(path.c_str(), target, sizeof target - 1) > 0) {
                ++n;
                if (std::getenv("VARNOK_DEBUG_FDS")) fprintf(stderr, "%s -> %s\n", e->d_name, target);
            }
        }
        closedir(d);
    }
    return n;
}

struct Recorder {
    std::vector<std::string> events;
    std::string received;
    int largest_piece = 0;
    bool done = false;

    void attach(SshClient& c) {
        c.Connected = [this](int16_t code, const std::string& text) {
            events.push_back("Connected " + std::to_string(code) + (text.empty() ? "" : " " + text));
        };
        c.Received = [this, &c](int16_t n) {
            if (events.empty() || events.back() != "Received") events.push_back("Received");
            largest_piece = std::max<int>(largest_piece, n);
            received += c.fetch(n, 8);
        };
        c.Disconnected = [this] {
            events.push_back("Disconnected");
            done = true;
        };
        c.HostFingerprint = [this](const std::string& f, bool&) {
            events.push_back(f.rfind("ssh-ed25519 SHA256:", 0) == 0 ? "HostFingerprint" : "bad " + f);
        };
    }
};

SshClient& configure(SshClient& c, const std::string& command) {
    c.set_remote_host("127.0.0.1");
    c.set_remote_port(static_cast<int16_t>(std::stoi(fx("VARNOK_SSH_PORT"))));
    c.set_login_name(fx("VARNOK_SSH_USER"));
    c.set_password(fx("VARNOK_SSH_PASSWORD"));
    c.set_command_text(command);
    c.set_time_limit(10);
    return c;
}

TEST(SshClient, RaisesItsEventsInOrderAndCutsLargeOutput) {
    const int before = open_descriptors();
    {
        SshClient c;
        Recorder r;
        r.attach(configure(c, "head -c 200000 /dev/zero | tr '\\0' x; echo oops >&2"));
        c.connect();
        while (!r.done) DoEvents();
        EXPECT_EQ(r.events, (std::vector<std::string>{"HostFingerprint", "Connected 0", "Received",
                                                      "Disconnected"}));
        EXPECT_EQ(r.received, std::string(200000, 'x'));  // standard output only, every byte in order
        EXPECT_LE(r.largest_piece, SshClient::kMaxChunk);  // how the stream is cut is not ours
        for (int i = 0; i < 20; ++i) DoEvents();  // nothing more arrives
        EXPECT_EQ(r.events.back(), "Disconnected");
        EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "Disconnected"), 1);
        EXPECT_EQ(live_client_count(), 0);
        EXPECT_EQ(c.end_error(), "");
    }
    EXPECT_EQ(open_descriptors(), before);  // the socket went with the client
}

TEST(SshClient, DestroyingALiveClientRaisesNothing) {
    Recorder r;
    {
        SshClient c;
        r.attach(configure(c, "sleep 5"));
        c.connect();
        for (int i = 0; i < 5; ++i) DoEvents();
    }
    EXPECT_EQ(live_client_count(), 0);
    DoEvents();
    EXPECT_FALSE(r.done);
}

}  // namespace
}  // namespace varnok::testing
