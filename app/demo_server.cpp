// SPDX-License-Identifier: Apache-2.0
#include "app/demo_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "automation/file_descriptor.h"

extern char** environ;

namespace varnok {
namespace {

int run(const std::vector<std::string>& argv, const std::string& log, pid_t* child = nullptr) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    if (child != nullptr) {
        *child = pid;
        return 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// The port field is a 16-bit signed number, so the port must lie below 32768, under the
// kernel's ephemeral range.
int free_loopback_port() {
    const int first = 20000 + static_cast<int>(::getpid() % 10000);
    for (int i = 0; i < 2000; ++i) {
        const int port = 20000 + (first - 20000 + i * 7) % 12000;
        const FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in addr = loopback(port);
        if (fd && ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return port;
    }
    throw std::runtime_error("no free port on 127.0.0.1");
}

bool port_open(int port) {
    const FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in addr = loopback(port);
    return fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

DemoServer::DemoServer() {
    // A constructor that throws runs no destructor: what it made so far goes here.
    try {
        start();
    } catch (...) {
        stop();
        throw;
    }
}

void DemoServer::start() {
    const char* sshd = "/usr/sbin/sshd";
    if (::access(sshd, X_OK) != 0) {
        throw std::runtime_error("OpenSSH's sshd is not installed (run scripts/install-deps)");
    }
    const passwd* pw = getpwuid(getuid());
    if (pw == nullptr) throw std::runtime_error("cannot tell the current user");
    user_ = pw->pw_name;

    char tmpl[] = "/tmp/varnok-demo.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    dir_ = tmpl;
    const std::string log = dir_ + "/sshd.log";
    for (const char* key : {"host_key", "user_key"}) {
        if (run({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir_ + "/" + key},
                log) != 0) {
            throw std::runtime_error("ssh-keygen failed; see " + log);
        }
    }
    std::filesystem::copy_file(dir_ + "/user_key.pub", dir_ + "/authorized_keys");
    if (getuid() == 0) ::mkdir("/run/sshd", 0755);  // sshd's privilege separation folder

    port_ = free_loopback_port();
    std::ofstream config(dir_ + "/sshd_config");
    config << "Port " << port_ << "\nListenAddress 127.0.0.1\nHostKey " << dir_ << "/host_key\n"
           << "PidFile " << dir_ << "/sshd.pid\nAuthorizedKeysFile " << dir_ << "/authorized_keys\n"
           << "StrictModes no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
           << "UsePAM no\nPermitRootLogin prohibit-password\nLogLevel ERROR\n";
    config.close();
    run({sshd, "-D", "-e", "-f", dir_ + "/sshd_config"}, log, &pid_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!port_open(port_)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("sshd did not start; see " + log);
        }
        if (std::chrono::steady_clock::now() > until)
            throw std::runtime_error("sshd did not open its port; see " + log);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

DemoServer::~DemoServer() { stop(); }

void DemoServer::stop() noexcept {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

}  // namespace varnok
