// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>

#include "serve/frames.h"
#include "settings/base64.h"
#include "tests/app/varnok_run.h"
#include "tests/loopback_listener.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

int count_in_log(const std::string& words) {
    std::ifstream in(fx("VARNOK_SSH_RSA_KEY").substr(0, fx("VARNOK_SSH_RSA_KEY").rfind('/')) +
                     "/sshd.log");
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(words) != std::string::npos;
    return n;
}
int logins() { return count_in_log("Accepted password for"); }
std::string sshd_pid() {
    std::ifstream in(fx("VARNOK_SSH_HOST_PUB").substr(0, fx("VARNOK_SSH_HOST_PUB").rfind('/')) +
                     "/sshd.pid");
    std::string pid;
    in >> pid;
    return pid;
}

int connect_to(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    return -1;
}

// A port nobody listens on now, for a daemon's HTTP listener.
int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A daemon of its own per test, on a socket in a fresh folder.
class Serve : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) / ("serve-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        socket_ = (dir_ / "run" / "varnok.sock").string();
        start("");
    }
    // A daemon with the clients' known_hosts (tests/app/varnok_run.h) unless yaml names another:
    // a request naming another is the client's.
    void start(const std::string& yaml) {
        std::ofstream(dir_ / "serve.yaml")
            << "socket: " << socket_ << "\n"
            << (contains(yaml, "http_listen") ? "" : "http_listen: \"\"\n")
            << (contains(yaml, "host_keys")
                    ? ""
                    : "host_keys: {known_hosts: "s + std::getenv("VARNOK_FIXTURE") +
                          "/home/.ssh/known_hosts}\n")
            << yaml;
        pid_ = fork();
        if (pid_ == 0) {
            execl(VARNOK_CORE_BINARY, "varnok", "serve", "--config", (dir_ / "serve.yaml").c_str(),
                  nullptr);
            _exit(127);
        }
        // Ready once it accepts: the socket is made before the daemon says so.
        for (int fd = -1; fd < 0; ::usleep(10000)) {
            fd = connect_to(socket_);
            if (fd >= 0) ::close(fd);
            ASSERT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "varnok serve ended";
        }
    }
    void stop() {
        kill(pid_, SIGCONT);
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        pid_ = -1;
    }
    void TearDown() override {
        if (pid_ > 0) stop();
        fs::remove_all(dir_);
    }
    std::string param(const std::string& password = fx("VARNOK_SSH_PASSWORD"),
                      const std::string& port = fx("VARNOK_SSH_PORT_BSD")) const {
        return "'#USR=" + fx("VARNOK_SSH_USER") + "#PWD=" + EncodePassword(password) +
               "#PORT=" + port + "#OS=LINUX#PRO=sshd#SGN=LT#NUM=1#INPL=T#'";
    }
    CliRun check(const std::string& extra, const std::string& password = fx("VARNOK_SSH_PASSWORD"),
                 const std::string& port = fx("VARNOK_SSH_PORT_BSD")) {
        return varnok("check -H 127.0.0.1 -t 20 --format nagios --param " + param(password, port) +
                      " " + extra);
    }
    // A check through the daemon while fault() befalls it must print what a direct one prints,
    // within its limit (and the half second its fallback may round up). With hold, the daemon's
    // listing stalls, and fault() runs once it has begun.
    void expect_direct_answer(bool hold, const std::function<void()>& fault) {
        const std::string held = fx("VARNOK_SSH_PORT_HELD"), flag = fx("VARNOK_SSH_HOLD_FLAG");
        const CliRun direct = check("", fx("VARNOK_SSH_PASSWORD"), held);
        ASSERT_EQ(direct.status, 0) << direct.out;
        if (hold) std::ofstream(flag).close();
        const auto start = std::chrono::steady_clock::now();
        auto via = std::async(std::launch::async, [&] {
            return check("--via " + socket_, fx("VARNOK_SSH_PASSWORD"), held);
        });
        for (int i = 0; hold && i < 2000 && fs::exists(flag); ++i) ::usleep(10000);
        fault();
        const CliRun got = via.get();
        EXPECT_EQ(got.out, direct.out);
        EXPECT_EQ(got.status, 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20500));
    }
    // The listener's children are the sessions' privileged sshd processes: none but the
    // check's own, which it leaves out, through a held session too.
    CliRun procs(const std::string& extra, const std::string& env = "") {
        return varnok("procs -H 127.0.0.1 -t 20 -p " + sshd_pid() + " -w 0:0 --param " +
                          param(fx("VARNOK_SSH_PASSWORD"), fx("VARNOK_SSH_PORT")) + " " + extra,
                      "", env);
    }
    // Sends raw bytes and returns the answer frame's text ("" when the daemon closed without).
    std::string raw(const std::string& bytes) {
        const int fd = connect_to(socket_);
        EXPECT_GE(fd, 0);
        (void)!::write(fd, bytes.data(), bytes.size());
        ::shutdown(fd, SHUT_WR);
        const std::string answer = read_frame(fd).value_or("");
        ::close(fd);
        return answer;
    }
    // Sends one request and returns the daemon's answer after its acknowledgement.
    nlohmann::json ask(const nlohmann::json& request) {
        const int fd = connect_to(socket_);
        EXPECT_TRUE(write_frame(fd, request.dump()));
        const std::string ack = read_frame(fd).value_or("");
        const std::string answer = read_frame(fd).value_or("{}");
        ::close(fd);
        EXPECT_EQ(ack, R"({"accepted":true})");
        return nlohmann::json::parse(answer);
    }
    fs::path dir_;
    std::string socket_;
    pid_t pid_ = -1;
};

TEST_F(Serve, HundredChecksOneLoginSameBytesAsDirect) {
    const CliRun direct = check("");
    ASSERT_EQ(direct.status, 0) << direct.out << direct.err;
    const int before = logins();
    for (int i = 0; i < 100; ++i) {
        const CliRun via = check("--via " + socket_);
        ASSERT_EQ(via.out, direct.out);
        ASSERT_EQ(via.status, direct.status);
    }
    EXPECT_EQ(logins() - before, 1);
}

TEST_F(Serve, ProcsRidesOneSessionSameBytesAsDirect) {
    const CliRun direct = procs("");
    ASSERT_EQ(direct.status, 0) << direct.out << direct.err;
    const int before = logins();
    // A check of the same login opens the session the procs checks ride.
    ASSERT_EQ(
        check("--no-fallback --via " + socket_, fx("VARNOK_SSH_PASSWORD"), fx("VARNOK_SSH_PORT"))
            .status,
        0);
    for (int i = 0; i < 2; ++i) {
        const CliRun via = procs("--no-fallback --via " + socket_);
        EXPECT_EQ(via.out, direct.out);
        EXPECT_EQ(via.status, direct.status);
    }
    EXPECT_EQ(logins() - before, 1);
}

TEST_F(Serve, WarningsComeThroughAsInADirectCheck) {
    // Root writes anywhere: only a folder that is a file keeps the key from being recorded.
    const std::string file = (dir_ / "serve.yaml" / "kh").string();
    stop();
    start("host_keys: {known_hosts: " + file + "}\n");
    const std::string known_hosts = " --known-hosts " + file;
    const CliRun direct = check(known_hosts);
    ASSERT_TRUE(contains(direct.out, "\nwarning: the host key of")) << direct.out;
    // The first logs in; the second rides the session the first opened.
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(check("--no-fallback --via " + socket_ + known_hosts).out, direct.out);
    // procs hears the warnings of its login through the daemon too.
    const CliRun procs_direct = procs(known_hosts);
    ASSERT_TRUE(contains(procs_direct.out, "\nwarning: the host key of")) << procs_direct.out;
    EXPECT_EQ(procs("--no-fallback --via " + socket_ + known_hosts).out, procs_direct.out);
}

TEST_F(Serve, SilentHostTimesOutAsInADirectCheck) {
    LoopbackListener silent;
    const auto run = [&](const std::string& via) {
        return varnok("check -H 127.0.0.1 -t 2 --format nagios --param " +
                      param(fx("VARNOK_SSH_PASSWORD"), std::to_string(silent.port())) + via);
    };
    const CliRun direct = run("");
    ASSERT_TRUE(contains(direct.out, "Timed out after 2 seconds")) << direct.out;
    EXPECT_EQ(run(" --no-fallback --via " + socket_).out, direct.out);
}

TEST_F(Serve, KilledDaemonFallsBackOrAnswersUnknown) {
    ASSERT_EQ(check("--via " + socket_).status, 0);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    const CliRun direct = check("");
    EXPECT_EQ(check("--via " + socket_).out, direct.out);
    EXPECT_EQ(
        varnok("check -H 127.0.0.1 -t 20 --format nagios --param " + param() + " --no-fallback", "",
               "VARNOK_VIA=" + socket_)
            .out,
        "PROCS UNKNOWN: varnok serve at " + socket_ + " did not answer\n");
    EXPECT_EQ(procs("--via " + socket_).out, procs("").out);
    const std::string via = "VARNOK_VIA=" + socket_;
    EXPECT_EQ(procs("--no-fallback", via).out,
              "PROCS UNKNOWN: varnok serve at " + socket_ + " did not answer\n");
    EXPECT_EQ(procs("--no-fallback --format json", via).out,
              R"({"status":"UNKNOWN","exit":3,"text":"PROCS UNKNOWN: varnok serve at )" + socket_ +
                  " did not answer\"}\n");
}

TEST_F(Serve, DaemonKilledDuringTheListingFallsBack) {
    expect_direct_answer(true, [this] {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    });
}

TEST_F(Serve, FrozenDaemonFallsBack) {
    kill(pid_, SIGSTOP);
    expect_direct_answer(false, [] {});
}

TEST_F(Serve, DroppedSessionsLogInAgain) {
    ASSERT_EQ(check("--via " + socket_).status, 0);
    // The sshd's session processes end, as at a restart; the listener stays.
    const std::string master = sshd_pid();
    for (const auto& proc : fs::directory_iterator("/proc")) {
        std::ifstream stat(proc.path() / "stat");
        std::string pid, name, state, ppid;
        if (stat >> pid >> name >> state >> ppid && ppid == master) kill(std::stoi(pid), SIGKILL);
    }
    const int before = logins();
    const CliRun again = check("--via " + socket_ + " --no-fallback");
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(logins() - before, 1);
}

TEST_F(Serve, WrongCredentialsDoNotRideAnOpenSession) {
    ASSERT_EQ(check("--via " + socket_).status, 0);
    const int failed = count_in_log("Failed password for");
    const CliRun direct = check("", "wrong");
    const CliRun via = check("--via " + socket_ + " --no-fallback", "wrong");
    EXPECT_EQ(via.status, 3);
    EXPECT_EQ(via.out, direct.out);
    EXPECT_EQ(count_in_log("Failed password for") - failed, 2);
}

TEST_F(Serve, RefusesOtherUsersAndBadRequestsAndKeepsServing) {
    fs::permissions(dir_, fs::perms::all);
    fs::permissions(fs::path(socket_).parent_path(), fs::perms::all);
    fs::permissions(socket_, fs::perms::all);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    if (fork() == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
        const int fd = connect_to(socket_);
        write_frame(fd, R"({"args":["--version"]})");
        const std::string answer = read_frame(fd).value_or("none");
        (void)!::write(pipe_fds[1], answer.data(), answer.size());
        _exit(0);
    }
    ::close(pipe_fds[1]);
    char buf[256] = {};
    (void)!::read(pipe_fds[0], buf, sizeof buf - 1);
    ::close(pipe_fds[0]);
    wait(nullptr);
    EXPECT_STREQ(buf, R"({"error":"not allowed"})");
    const std::string huge = std::string("\x7f\xff\xff\xff", 4) + std::string(1000, 'x');
    const std::string half = std::string("\0\0\0\x40", 4) + R"({"args":)";
    const std::string garbage = std::string("\0\0\0\x05", 4) + "{{{{{";
    EXPECT_EQ(raw(huge), R"({"error":"incomplete or oversized request"})");
    EXPECT_EQ(raw(half), R"({"error":"incomplete or oversized request"})");
    EXPECT_TRUE(raw(garbage).starts_with(R"({"error":"bad request)"));
    EXPECT_EQ(check("--via " + socket_ + " --no-fallback").status, 0);
}

// Whatever a client names (its hosts, parameter, key, known_hosts or passive file), the daemon
// opens nothing: it answers that the run is the client's, and logs in nowhere.
TEST_F(Serve, OpensNoFileARequestNames) {
    const std::string secret = (dir_ / "secret").string();
    std::ofstream(secret) << "127.0.0.1\n";
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, secret.c_str(), IN_OPEN | IN_ACCESS), 0);
    const std::string login = "#USR=" + fx("VARNOK_SSH_USER") +
                              "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
                              "#PORT=" + fx("VARNOK_SSH_PORT") + "#OS=LINUX#PRO=sshd#";
    const std::string with_key = "#USR=u#KEYF=" + secret + "#PORT=" + fx("VARNOK_SSH_PORT") + "#";
    const std::vector<std::string> host{"-H", "127.0.0.1", "--param"};
    const auto args = [&](std::string param, std::vector<std::string> more) {
        std::vector<std::string> words = host;
        words.push_back(std::move(param));
        words.insert(words.end(), more.begin(), more.end());
        return words;
    };
    const std::pair<nlohmann::json, std::string> cases[] = {
        {{{"args", {"--hosts", secret, "--param", login}}}, "--hosts runs are the client's"},
        {{{"args", {"-H", "127.0.0.1", "--param-file", secret}}},
         secret + " was not sent to the daemon"},
        {{{"args", args(with_key, {})}}, secret + " was not sent to the daemon"},
        {{{"args", args(login, {"--known-hosts", secret})}},
         "known_hosts " + secret + " is not the daemon's"},
        {{{"args", args(login, {"--passive", secret})}}, "--passive results are the client's"},
        {{{"command", "procs"}, {"args", args(login, {"-i", secret})}},
         secret + " was not sent to the daemon"},
        {{{"command", "procs"}, {"args", {"--hosts", secret, "--param", login}}},
         "--hosts runs are the client's"},
    };
    const int before = logins() + count_in_log("Failed password for");
    for (const auto& [request, reason] : cases) {
        const nlohmann::json answer = ask(request);
        EXPECT_EQ(answer, (nlohmann::json{{"direct", true}, {"reason", reason}})) << request;
    }
    char events[4096];
    EXPECT_EQ(::read(watch, events, sizeof events), -1) << "the daemon opened " << secret;
    ::close(watch);
    EXPECT_EQ(logins() + count_in_log("Failed password for"), before);
}

// HTTP probes of hosts that accept TCP and never speak hold at most their share of the logins:
// the engine's check through the socket still gets one and is answered by the daemon.
TEST_F(Serve, SilentTargetProbesLeaveTheEngineItsLogins) {
    LoopbackListener silent;
    const int http_port = free_port();
    stop();
    // Ten logins of their own (a session each), more than the probes' share of four.
    std::string modules;
    for (int m = 0; m < 10; ++m)
        modules += "  m" + std::to_string(m) +
                   ":\n    timeout: 20s\n    allowed_targets: [127.0.0.1]\n" +
                   "    rules: [{name: a, param: '#USR=u" + std::to_string(m) +
                   "#PWD=YQ==#PORT=" + std::to_string(silent.port()) + "#'}]\n";
    start("http_listen: 127.0.0.1:" + std::to_string(http_port) +
          "\nmax_concurrent_logins: 4\nmodules:\n" + modules);
    std::vector<int> probes;
    for (int i = 0; i < 40; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{
            AF_INET, htons(static_cast<uint16_t>(http_port)), {htonl(INADDR_LOOPBACK)}, {}};
        // The HTTP listener binds a moment after the socket accepts.
        for (int tries = 0; ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
             ++tries) {
            ASSERT_LT(tries, 500);
            ::close(fd);
            ::usleep(10000);
            fd = ::socket(AF_INET, SOCK_STREAM, 0);
        }
        const std::string get = "GET /probe?target=127.0.0.1&module=m" + std::to_string(i % 10) +
                                " HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(::write(fd, get.data(), get.size()), static_cast<ssize_t>(get.size()));
        probes.push_back(fd);
    }
    // Every login the probes may hold is taken once the listener has seen that many.
    for (int i = 0; i < 1000 && silent.open() < 2; ++i) ::usleep(10000);
    const CliRun via =
        varnok("check -H 127.0.0.1 -t 8 --format nagios --no-fallback --via " + socket_ +
               " --param " + param(fx("VARNOK_SSH_PASSWORD"), fx("VARNOK_SSH_PORT")));
    EXPECT_EQ(via.status, 0) << via.out;
    for (const int fd : probes) ::close(fd);
}

TEST_F(Serve, TwoHundredRequestsAtOnce) {
    std::vector<pid_t> children;
    const std::string command = "env " + fixture_known_hosts() + " '" + VARNOK_BINARY +
                                "' check -H 127.0.0.1 -t 60 " + "--no-fallback --via " + socket_ +
                                " --param " + param() + " >/dev/null";
    for (int i = 0; i < 200; ++i) {
        children.push_back(fork());
        if (children.back() == 0) _exit(WEXITSTATUS(std::system(command.c_str())));
    }
    int ok = 0;
    for (const pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        ok += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    EXPECT_EQ(ok, 200);
}

}  // namespace
}  // namespace varnok::testing
