// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

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

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return -1;
}

// A direct run's output after a --via that fell back: the warning follows the status line.
std::string fell_back(const std::string& out, const std::string& socket, const std::string& why) {
    const size_t line = out.find('\n') + 1;
    return out.substr(0, line) + "warning: varnok serve at " + socket + ": " + why +
           "; checked directly\n" + out.substr(line);
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
        fs::permissions(dir_,
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
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
            // systemd's default soft limit: a session is a file, and a fleet needs more.
            rlimit files{};
            ::getrlimit(RLIMIT_NOFILE, &files);
            files.rlim_cur = std::min<rlim_t>(1024, files.rlim_max);
            ::setrlimit(RLIMIT_NOFILE, &files);
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
    void TearDown() override {
        stop();
        fs::remove_all(dir_);
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGCONT);
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        pid_ = -1;
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
    void expect_direct_answer(bool hold, const std::string& why,
                              const std::function<void()>& fault) {
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
        EXPECT_EQ(got.out, fell_back(direct.out, socket_, why));
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
    // How many of the key logins first..last (16 at a time, each a session of its own: their
    // pass phrases, which the key does not need, differ) answer OK.
    int keyed_checks(int first, int last) {
        std::ifstream in(fx("VARNOK_SSH_RSA_KEY"));
        const std::string key((std::istreambuf_iterator<char>(in)), {});
        std::atomic<int> next{first}, ok{0};
        {
            std::vector<std::jthread> threads;
            for (int t = 0; t < 16; ++t)
                threads.emplace_back([&] {
                    for (int i; (i = next++) <= last;) {
                        const std::string login = "#USR=" + fx("VARNOK_SSH_USER") +
                                                  "#PORT=" + fx("VARNOK_SSH_PORT_BSD") +
                                                  "#OS=BSD#PRO=sshd#SGN=LT#NUM=1#KEYF=/k#PWD=" +
                                                  EncodePassword("p" + std::to_string(i)) + "#";
                        ok += ask({{"args", {"-H", "127.0.0.1", "-t", "60", "--param", login}},
                                   {"files", {{"/k", key}}}})
                                  .value("status", -1) == 0;
                    }
                });
        }
        return ok.load();
    }
    fs::path dir_;
    std::string socket_;
    pid_t pid_ = -1;
};

TEST_F(Serve, RaisesItsFileLimitToTheHardOne) {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/limits");
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("Max open files")) continue;
        std::istringstream words(line.substr(15));
        std::string soft, hard;
        words >> soft >> hard;
        EXPECT_EQ(soft, hard);
        EXPECT_EQ(hard, std::to_string(files.rlim_max));
        return;
    }
    ADD_FAILURE() << "no open-file limit in /proc/PID/limits";
}

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

// A hosts file through the daemon: the client sends each host's rules on their own, writes the
// combined output and the engine's pipe itself, and the hosts of one login share one session. A
// closed port (127.0.0.2) fails there as it fails directly.
TEST_F(Serve, HostsAndPassiveRunsRideOneSession) {
    const std::string hosts = (dir_ / "hosts").string(), rule = (dir_ / "sshd.param").string();
    std::ofstream(hosts) << "127.0.0.1 20\n127.0.0.2 5\n127.0.0.1 25\n# same again\n127.0.0.1\n";
    std::ofstream(rule) << param().substr(1, param().size() - 2) << "\n";
    for (const char* name : {"direct", "via", "back"}) std::ofstream(dir_ / name).close();
    const std::string nothing = std::regex_replace(param(), std::regex("PRO=sshd"), "PRO=nothing");
    const auto run = [&](const std::string& passive, const std::string& extra) {
        return varnok("check --hosts " + hosts + " --jobs 3 -t 20 -v --format nagios -w 1: " +
                      "--param-file " + rule + " --param " + nothing + " --passive " +
                      (dir_ / passive).string() + " " + extra);
    };
    // Each line of the engine's pipe, its time left out.
    const auto passive = [&](const std::string& name) {
        std::ifstream in(dir_ / name);
        std::string lines;
        for (std::string line; std::getline(in, line);) lines += line.substr(line.find(']')) + "\n";
        return lines;
    };
    const CliRun direct = run("direct", "");
    ASSERT_TRUE(contains(direct.out, "127.0.0.2\tsshd\tPROCS UNKNOWN: Cannot connect"));
    ASSERT_TRUE(contains(direct.out, "127.0.0.1\tsshd\tcounted: "));
    const int before = logins();
    for (int i = 0; i < 2; ++i) {
        const CliRun via = run("via", "--no-fallback --via " + socket_);
        EXPECT_EQ(via.out, direct.out);
        EXPECT_EQ(via.err, direct.err);
        EXPECT_EQ(via.status, direct.status);
    }
    EXPECT_EQ(logins() - before, 1);
    EXPECT_EQ(passive("via"), passive("direct") + passive("direct"));
    // A request the daemon sends back is checked directly, host by host, saying why once.
    const std::string other = (dir_ / "known_hosts").string();
    fs::copy_file(std::getenv("VARNOK_FIXTURE") + "/home/.ssh/known_hosts"s, other);
    const CliRun back = run("back", "--via " + socket_ + " --known-hosts " + other);
    const size_t data = direct.out.rfind("| ");
    EXPECT_EQ(back.out, direct.out.substr(0, data) + "warning: varnok serve at " + socket_ +
                            ": known_hosts " + other + " is not the daemon's; checked directly\n" +
                            direct.out.substr(data));
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

TEST(ServeCli, CheckConfigPrintsOnlyWhatIsWrong) {
    const fs::path good = fs::path(::testing::TempDir()) / "varnok-good.yaml";
    const fs::path bad = fs::path(::testing::TempDir()) / "varnok-bad.yaml";
    // Open to others with a password: a warning when serving, not an error here.
    std::ofstream(good) << "modules: {m: {allowed_targets: [h], rules: [{name: a, param: "
                           "'#USR=u#PWD=YQ==#'}]}}\n";
    std::ofstream(bad) << "idle_timout: 10m\n";
    const CliRun ok = varnok("serve --check-config --config " + good.string());
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out + ok.err, "");
    const CliRun refused = varnok("serve --check-config --config " + bad.string());
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out + refused.err,
              bad.string() + ": config line 1: config.idle_timout: unknown key\n");
    fs::remove(good);
    fs::remove(bad);
}

// Once a login to an address timed out, logins to it go one at a time until one gets through:
// a host that is down sees one attempt at a time, whatever the users and credentials.
TEST_F(Serve, ADeadAddressSeesOneLoginAtATime) {
    LoopbackListener silent;
    const auto as = [&](const std::string& user, const std::string& seconds) {
        return varnok("check -H 127.0.0.1 --format nagios --no-fallback --via " + socket_ + " -t " +
                      seconds + " --param '#USR=" + user +
                      "#PWD=YQ==#PORT=" + std::to_string(silent.port()) + "#'");
    };
    EXPECT_EQ(as("first", "1").status, 3);
    // Limits a second apart: a check whose time runs out while another holds the address gives
    // up without connecting, so that no two are let in at the moment it is freed.
    std::vector<std::future<CliRun>> others;
    for (const char* limit : {"2", "3", "4", "5"}) {
        others.push_back(std::async(std::launch::async,
                                    [&, limit] { return as(std::string("u") + limit, limit); }));
    }
    for (auto& other : others) EXPECT_EQ(other.get().status, 3);
    // One at a time; the listener may see a connection close a moment after the next opens.
    EXPECT_LE(silent.peak(), 2u);
}

// A monitoring system stops the daemon and waits a few seconds at most, whatever is in flight.
TEST_F(Serve, StopsAtOnceWithARequestInFlight) {
    std::optional<LoopbackListener> silent(std::in_place);
    const std::string port = std::to_string(silent->port());
    auto via = std::async(std::launch::async, [&] {
        return varnok("check -H 127.0.0.1 -t 30 --format nagios --via " + socket_ + " --param " +
                      param(fx("VARNOK_SSH_PASSWORD"), port));
    });
    for (int i = 0; i < 1000 && silent->open() == 0; ++i) ::usleep(10000);
    ASSERT_EQ(silent->open(), 1u);
    const auto start = std::chrono::steady_clock::now();
    stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    silent.reset();  // the client's direct check then ends at once too
    EXPECT_EQ(via.get().status, 3);
}

TEST_F(Serve, KilledDaemonFallsBackOrAnswersUnknownSayingWhy) {
    ASSERT_EQ(check("--via " + socket_).status, 0);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    const std::string why = "nothing listens on it";
    const CliRun direct = check("");
    const CliRun via = check("--via " + socket_);
    EXPECT_EQ(via.out, fell_back(direct.out, socket_, why));
    EXPECT_EQ(via.err, "");
    const std::string text = "check -H 127.0.0.1 -t 20 --param " + param();
    EXPECT_EQ(varnok(text + " --via " + socket_).err,
              "varnok: warning: varnok serve at " + socket_ + ": " + why + "; checked directly\n" +
                  varnok(text).err);
    const std::string env = "VARNOK_VIA=" + socket_;
    EXPECT_EQ(procs("", env).out, fell_back(procs("").out, socket_, why));
    const auto json = nlohmann::json::parse(procs("--format json", env).out);
    EXPECT_EQ(json["warnings"][0],
              "warning: varnok serve at " + socket_ + ": " + why + "; checked directly");
    EXPECT_EQ(procs("--no-fallback --format json", env).out,
              R"({"status":"UNKNOWN","exit":3,"text":"PROCS UNKNOWN: varnok serve at )" + socket_ +
                  ": " + why + "\"}\n");
    EXPECT_EQ(
        varnok("check --hosts - -t 20 --no-fallback --param " + param(), "127.0.0.1\n", env).out,
        "127.0.0.1\tUNKNOWN\tvarnok serve at " + socket_ + ": " + why + "\n");
    fs::remove(socket_);
    EXPECT_EQ(varnok(text + " --format nagios --no-fallback", "", env).out,
              "PROCS UNKNOWN: varnok serve at " + socket_ + ": no such socket\n");
    EXPECT_EQ(procs("--no-fallback", env).out,
              "PROCS UNKNOWN: varnok serve at " + socket_ + ": no such socket\n");
}

TEST_F(Serve, DaemonKilledDuringTheListingFallsBack) {
    expect_direct_answer(true, "stopped before answering", [this] {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    });
}

TEST_F(Serve, FrozenDaemonFallsBack) {
    kill(pid_, SIGSTOP);
    expect_direct_answer(false, "did not answer", [] {});
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
    // A refused login is not tried again for a while: sshd's penalties would lock the poller out.
    for (int i = 0; i < 5; ++i) {
        const CliRun again = check("--via " + socket_ + " --no-fallback", "wrong");
        EXPECT_EQ(again.status, 3);
        // The wait counts down from the 60 seconds of login_backoff while the test runs.
        std::smatch left;
        ASSERT_TRUE(std::regex_search(again.out, left,
                                      std::regex(R"( \(not tried again for (\d+) seconds\)\n$)")))
            << again.out;
        EXPECT_GE(std::stoi(left[1]), 30);
        EXPECT_LE(std::stoi(left[1]), 60);
    }
    EXPECT_EQ(count_in_log("Failed password for") - failed, 2);
}

// Each time the same login is refused again, it waits twice as long before the next try.
TEST_F(Serve, ARefusedLoginWaitsLongerEachTime) {
    stop();
    start("login_backoff: 3\n");
    // The seconds a refusal says the login waits; 0 when it was tried.
    const auto wait = [&] {
        const std::string out = check("--no-fallback --via " + socket_, "wrong").out;
        std::smatch m;
        return std::regex_search(out, m, std::regex(R"(\(not tried again for (\d+) seconds\))"))
                   ? std::stoi(m[1])
                   : 0;
    };
    EXPECT_EQ(wait(), 0);
    const int first = wait();
    EXPECT_GE(first, 1);
    EXPECT_LE(first, 3);
    int now = first;
    for (int i = 0; i < 300 && now > 0; ++i) {  // until it is tried, and refused
        ::usleep(100000);
        now = wait();
    }
    EXPECT_EQ(now, 0);
    EXPECT_GT(wait(), 3);
}

// A host key that does not match what the daemon recorded is not asked again at every probe:
// each would be a connection the host's penalties count.
TEST_F(Serve, AChangedHostKeyIsNotAskedAgainEachTime) {
    const std::string recorded = (dir_ / "known_hosts").string();
    std::ifstream pub(fx("VARNOK_SSH_ED25519_KEY") + ".pub");
    std::string type, key;
    pub >> type >> key;
    std::ofstream(recorded) << "[127.0.0.1]:" << fx("VARNOK_SSH_PORT_BSD") << " " << type << " "
                            << key << "\n";
    stop();
    start("host_keys: {known_hosts: " + recorded + "}\n");
    // Connections that ended before a login: one line each, closed or disconnected, and a
    // disconnect's reason before it.
    const auto connections = [] {
        return count_in_log("[preauth]") - count_in_log("Received disconnect");
    };
    const int before = connections();
    for (int i = 0; i < 6; ++i) {
        const CliRun via = varnok(
            "check -H 127.0.0.1 -t 20 --format nagios --no-fallback "
            "--host-key-check yes --via " +
                socket_ + " --param " + param(),
            "", "VARNOK_KNOWN_HOSTS=" + recorded);
        EXPECT_EQ(via.status, 3);
        EXPECT_TRUE(contains(via.out, "has changed")) << via.out;
        if (i > 0) {
            EXPECT_TRUE(contains(via.out, "(not tried again for ")) << via.out;
        }
    }
    EXPECT_EQ(connections() - before, 1);
}

TEST_F(Serve, EverySpellingOfAHostSharesOneSession) {
    const int before = logins();
    for (const char* host : {"127.0.0.1", "127.1", "0x7f.0.0.1", "localhost"}) {
        const CliRun via =
            varnok(std::string("check -H ") + host + " -t 20 --format nagios --no-fallback --via " +
                   socket_ + " --param " + param());
        EXPECT_EQ(via.status, 0) << host << via.out;
    }
    EXPECT_EQ(logins() - before, 1);
}

// Past max_sessions the least recently used idle session closes; past max_session_age a
// session logs in again. Three host-key policies of one login are three sessions.
TEST_F(Serve, SessionsAreCappedAndAged) {
    stop();
    start("max_sessions: 2\n");
    const auto via = [&](const std::string& policy) {
        return check("--no-fallback --via " + socket_ + " --host-key-check " + policy).status;
    };
    int before = logins();
    for (const char* policy : {"yes", "no", "accept-new", "yes", "accept-new"})
        EXPECT_EQ(via(policy), 0) << policy;
    // yes, no, accept-new (closing yes), yes (closing no); accept-new rides.
    EXPECT_EQ(logins() - before, 4);
    stop();
    start("max_session_age: 1s\n");
    EXPECT_EQ(via("yes"), 0);
    ::usleep(1200 * 1000);
    before = logins();
    EXPECT_EQ(via("yes"), 0);
    EXPECT_EQ(logins() - before, 1);
}

// A session logged in under --host-key-check no carries no request that asks yes: the host is
// not recorded, so that request is refused as a direct one is. A client whose VARNOK_KNOWN_HOSTS
// names another file than the daemon's checks directly.
TEST_F(Serve, ASessionCarriesOnlyRequestsOfItsHostKeyPolicy) {
    const std::string file = (dir_ / "known_hosts").string(),
                      known_hosts = " --known-hosts " + file;
    stop();
    start("host_keys: {known_hosts: " + file + "}\n");
    const std::string env_file = std::getenv("VARNOK_FIXTURE") + "/home/.ssh/known_hosts"s;
    EXPECT_EQ(
        check("--via " + socket_).out,
        fell_back(check("").out, socket_, "known_hosts " + env_file + " is not the daemon's"));
    const std::string via = "--no-fallback --via " + socket_ + known_hosts + " --host-key-check ";
    ASSERT_EQ(check(via + "no").status, 0);
    const CliRun direct = check(known_hosts + " --host-key-check yes");
    ASSERT_TRUE(contains(direct.out, ") is not recorded in " + file));
    EXPECT_EQ(check(via + "yes").out, direct.out);
    // So is each host of a hosts file that goes through the daemon.
    const CliRun each =
        varnok("check --hosts - -t 20 --format nagios --param " + param() + known_hosts +
                   " --host-key-check yes --no-fallback --via " + socket_,
               "127.0.0.1\n");
    EXPECT_TRUE(contains(each.out, "127.0.0.1\tPROCS UNKNOWN: The host key of"));
    EXPECT_TRUE(contains(each.out, ") is not recorded in " + file));
}

// A session without requests for idle_timeout closes, and the next check logs in again.
TEST_F(Serve, IdleSessionsClose) {
    const int http_port = free_port();
    stop();
    start("idle_timeout: 1\nhttp_listen: 127.0.0.1:" + std::to_string(http_port) + "\n");
    const auto sessions_open = [http_port] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{
            AF_INET, htons(static_cast<uint16_t>(http_port)), {htonl(INADDR_LOOPBACK)}, {}};
        std::string answer;
        const std::string get = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::write(fd, get.data(), get.size()) == static_cast<ssize_t>(get.size())) {
            char buf[4096];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) answer.append(buf, n);
        }
        ::close(fd);
        const size_t at = answer.find("\nvarnok_sessions_open ");
        return at == std::string::npos
                   ? ""
                   : answer.substr(at + 22, answer.find('\n', at + 1) - at - 22);
    };
    ASSERT_EQ(check("--no-fallback --via " + socket_).status, 0);
    for (int i = 0; i < 300 && sessions_open() != "0"; ++i) ::usleep(100000);
    EXPECT_EQ(sessions_open(), "0");
    const int before = logins();
    EXPECT_EQ(check("--no-fallback --via " + socket_).status, 0);
    EXPECT_EQ(logins() - before, 1);
}

TEST_F(Serve, RefusesBadRequestsAndKeepsServing) {
    const std::string huge = std::string("\x7f\xff\xff\xff", 4) + std::string(1000, 'x');
    const std::string half = std::string("\0\0\0\x40", 4) + R"({"args":)";
    const std::string garbage = std::string("\0\0\0\x05", 4) + "{{{{{";
    EXPECT_EQ(raw(huge), R"({"error":"request over 4 MiB"})");
    EXPECT_EQ(raw(half), R"({"error":"incomplete request"})");
    EXPECT_EQ(raw(garbage), R"({"error":"bad request: not JSON"})");
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

// The client reads the key and sends it: the daemon logs in with the contents, even of a path it
// could not open. A key the client will not send (a device, a FIFO, one open to others) is used
// by a direct check, at once, which says why.
TEST_F(Serve, KeysTravelAsContentsAndOnlySafeOnesTravel) {
    std::ifstream in(fx("VARNOK_SSH_RSA_KEY"));
    const std::string key((std::istreambuf_iterator<char>(in)), {});
    const std::string login = "#USR=" + fx("VARNOK_SSH_USER") +
                              "#PORT=" + fx("VARNOK_SSH_PORT_BSD") +
                              "#OS=LINUX#PRO=sshd#SGN=LT#NUM=1#KEYF=";
    const auto with_key = [&](const std::string& text) {
        return ask({{"args",
                     {"-H", "127.0.0.1", "--format", "nagios", "--param", login + "/nowhere/key#"}},
                    {"files", {{"/nowhere/key", text}}}});
    };
    EXPECT_EQ(with_key(key).value("status", -1), 0);
    // The same path with other contents is another login, and this one fails.
    EXPECT_EQ(with_key("not a key").value("status", -1), 3);
    const std::string fifo = (dir_ / "fifo").string(), open_key = (dir_ / "open_key").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(open_key) << key;
    fs::permissions(open_key, fs::perms(0644));
    const std::pair<std::string, std::string> refused[] = {
        {"/dev/zero", "the key file: /dev/zero is not a regular file"},
        {fifo, "the key file: " + fifo + " is not a regular file"},
        {open_key, "the key file " + open_key + " is open to others (mode 0644)"},
    };
    for (const auto& [file, why] : refused) {
        const std::string words =
            "check -H 127.0.0.1 -t 20 --format nagios --param '" + login + file + "#'";
        const CliRun direct = varnok(words);
        EXPECT_EQ(varnok(words + " --via " + socket_).out, fell_back(direct.out, socket_, why));
        EXPECT_EQ(varnok(words + " --no-fallback --via " + socket_).out,
                  "PROCS UNKNOWN: varnok serve at " + socket_ + ": " + why + "\n");
    }
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

// Each stalled peer holds only the bytes it sent, for five seconds, and no thread.
TEST_F(Serve, StalledRequestsCostLittleAndAreDropped) {
    const CliRun direct = check("");
    const long rss = rss_kib(pid_);
    const auto start = std::chrono::steady_clock::now();
    std::vector<int> stalled;
    for (int i = 0; i < 300; ++i) {
        stalled.push_back(connect_to(socket_));
        ASSERT_GE(stalled.back(), 0);
        (void)!::write(stalled.back(), "\0\x40\0\0{\"args\":", 12);
    }
    const int silent = connect_to(socket_);
    const CliRun beside = check("--no-fallback --via " + socket_);
    EXPECT_EQ(beside.out, direct.out);
    EXPECT_LT(rss_kib(pid_) - rss, 16 * 1024);
    const timeval limit{30, 0};
    for (const int fd : {stalled.back(), silent})
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    EXPECT_EQ(read_frame(stalled.back()).value_or(""),
              R"({"error":"request not complete within 5 seconds"})");
    EXPECT_EQ(read_frame(silent).value_or(""), R"({"error":"no request within 5 seconds"})");
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    for (const int fd : stalled) ::close(fd);
    ::close(silent);
    EXPECT_EQ(check("--no-fallback --via " + socket_).out, direct.out);
}

// The client runs as nobody: a copy, since the build folder may be closed to other users.
TEST_F(Serve, AnswersGroupMembersAndTellsOthersWhy) {
    if (std::system("getent group varnokpeers > /dev/null") != 0) {
        ASSERT_EQ(std::system("groupadd varnokpeers"), 0);
    }
    const CliRun direct = check("");
    const fs::path bin = dir_ / "bin";
    fs::create_directories(bin);
    for (const char* name : {"varnok", "varnok-core"})
        fs::copy_file(fs::path(VARNOK_BINARY).parent_path() / name, bin / name);
    fs::copy_file(std::string(std::getenv("VARNOK_FIXTURE")) + "/home/.ssh/known_hosts",
                  bin / "known_hosts");
    fs::permissions(bin / "known_hosts", fs::perms::owner_read | fs::perms::others_read);
    stop();
    fs::remove_all(fs::path(socket_).parent_path());  // made anew for the group
    start("socket_group: varnokpeers\nhost_keys: {known_hosts: " + (bin / "known_hosts").string() +
          "}\n");
    const auto as_nobody = [&](const std::string& groups, const std::string& extra) {
        return varnok("check -H 127.0.0.1 -t 20 --format nagios --param " + param() + " --via " +
                          socket_ + " " + extra,
                      "", "VARNOK_KNOWN_HOSTS=" + (bin / "known_hosts").string(),
                      "setpriv --reuid=65534 " + groups, (bin / "varnok").string());
    };
    // A member by a supplementary group or by its primary group; only members enter the folder.
    for (const char* groups :
         {"--regid=65534 --groups=varnokpeers", "--regid=varnokpeers --clear-groups"}) {
        const CliRun member = as_nobody(groups, "--no-fallback");
        EXPECT_EQ(member.out, direct.out) << groups;
        EXPECT_EQ(member.status, 0);
    }
    EXPECT_EQ(as_nobody("--regid=65534 --clear-groups", "--no-fallback").out,
              "PROCS UNKNOWN: varnok serve at " + socket_ + ": permission denied\n");
    fs::permissions(fs::path(socket_).parent_path(), fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(socket_, fs::perms::others_read | fs::perms::others_write,
                    fs::perm_options::add);
    const CliRun stranger = as_nobody("--regid=65534 --clear-groups", "");
    EXPECT_EQ(stranger.out, fell_back(direct.out, socket_, "not allowed"));
    EXPECT_EQ(stranger.err, "");
}

// A socket in a folder that others may write is not believed: the client never connects.
TEST_F(Serve, ForgedSocketIsNotBelieved) {
    const CliRun direct = check("");
    const fs::perms safe = fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec;
    const struct {
        fs::perms mode;
        uid_t owner;         // of the folder
        uid_t socket_owner;  // of the socket
        std::string why;     // "": believed, as a folder of the daemon's own user is
    } rows[] = {
        {fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
             fs::perms::others_all | fs::perms::sticky_bit,
         0, 0, "is writable by others"},
        {fs::perms::owner_all | fs::perms::group_all, 0, 0, "is writable by its group"},
        {safe, 65534, 0, "belongs to uid 65534, neither root nor the socket's owner"},
        {safe, 65534, 65534, ""},
    };
    for (const auto& row : rows) {
        const fs::path folder = dir_ / "forged";
        fs::create_directories(folder);
        ASSERT_EQ(chown(folder.c_str(), row.owner, 0), 0);
        fs::permissions(folder, row.mode);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, (folder / "varnok.sock").c_str());
        const int forger = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_EQ(::bind(forger, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(::listen(forger, 8), 0);
        ASSERT_EQ(chown(a.sun_path, row.socket_owner, 0), 0);
        const std::string why =
            row.why.empty() ? "did not answer" : folder.string() + " " + row.why;
        EXPECT_EQ(check(std::string("--via ") + a.sun_path).out,
                  fell_back(direct.out, a.sun_path, why));
        const int client = ::accept(forger, nullptr, nullptr);
        EXPECT_EQ(client >= 0, row.why.empty()) << row.why;
        if (client >= 0) ::close(client);
        ::close(forger);
        fs::remove_all(folder);
    }
    // A link to the daemon's socket is no socket, though its folder is safe.
    const fs::path link = dir_ / "link.sock";
    fs::create_symlink(socket_, link);
    EXPECT_EQ(check("--via " + link.string()).out,
              fell_back(direct.out, link.string(), "not a socket"));
}

// A session is a file: under systemd's default soft limit of 1024 the daemon holds 1,500, one
// login each, rides them
// all without a login the second time, and after a restart logs each in once again.
TEST_F(Serve, HoldsMoreSessionsThanTheSoftFileLimitAndComesBackAfterARestart) {
    const auto keys = [] { return count_in_log("Accepted publickey"); };
    int before = keys();
    ASSERT_EQ(keyed_checks(1, 1500), 1500);
    EXPECT_EQ(keys() - before, 1500);
    EXPECT_GT(std::distance(fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd"),
                            fs::directory_iterator()),
              1500);
    before = keys();
    EXPECT_EQ(keyed_checks(1, 1500), 1500);
    EXPECT_EQ(keys() - before, 0);
    stop();
    start("");
    before = keys();
    EXPECT_EQ(keyed_checks(1, 100), 100);
    EXPECT_EQ(keys() - before, 100);
}

// 80 logins through a cap of 50 sessions: every request answered, the idle ones closed to make
// room, never more than 50 held.
TEST_F(Serve, EightyLoginsThroughACapOfFifty) {
    stop();
    start("max_sessions: 50\n");
    EXPECT_EQ(keyed_checks(1, 80), 80);
    // The connections to the port, all the daemon's: the tests run one at a time.
    const std::string count =
        "ss -tnH state established '( dport = :" + fx("VARNOK_SSH_PORT_BSD") + " )' | wc -l";
    FILE* pipe = popen(count.c_str(), "r");
    int held = -1;
    EXPECT_EQ(fscanf(pipe, "%d", &held), 1);
    pclose(pipe);
    EXPECT_EQ(held, 50);
}

// How many of n copies of a --via check, started at once, answer OK.
int ok_at_once(int n, const std::string& check_args) {
    const std::string command = "env " + fixture_known_hosts() + " '" + VARNOK_BINARY +
                                "' check -H 127.0.0.1 -t 60 --no-fallback " + check_args +
                                " >/dev/null";
    std::vector<pid_t> children;
    for (int i = 0; i < n; ++i) {
        children.push_back(fork());
        if (children.back() == 0) _exit(WEXITSTATUS(std::system(command.c_str())));
    }
    int ok = 0;
    for (const pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        ok += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok;
}

TEST_F(Serve, TwoHundredRequestsAtOnce) {
    EXPECT_EQ(ok_at_once(200, "--via " + socket_ + " --param " + param()), 200);
}

// The slow port's sshd grants 2 channels per connection where the daemon would use 10: the
// channels it refuses are waited for, never a failure and never a second login, and the two
// it grants stay in use (of 12 three-second listings, most start beside another).
TEST_F(Serve, AHostsChannelLimitIsWaitedFor) {
    const int before = logins();
    EXPECT_EQ(ok_at_once(12, "--via " + socket_ + " --param " +
                                 param(fx("VARNOK_SSH_PASSWORD"), fx("VARNOK_SSH_PORT_SLOW"))),
              12);
    EXPECT_EQ(logins() - before, 1);
    std::ifstream runs(fx("VARNOK_SSH_SLOW_RUNS"));
    int running = 0, beside_another = 0;
    for (char mark; runs >> mark;) {
        if (mark == '+') beside_another += running++ > 0;
        if (mark == '-') --running;
    }
    EXPECT_GE(beside_another, 4);
}

}  // namespace
}  // namespace varnok::testing
