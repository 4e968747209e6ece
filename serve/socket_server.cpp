// SPDX-License-Identifier: Apache-2.0
#include "serve/socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "serve/frames.h"

namespace varnok {
namespace {

constexpr int kMaxConnections = 1024;

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

SocketServer::SocketServer(const std::string& path, gid_t group, RequestHandler handler)
    : path_(path), group_(group), handler_(std::move(handler)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    const bool with_group = group != static_cast<gid_t>(-1);
    if (!folder.empty() && ::mkdir(folder.c_str(), with_group ? 0750 : 0700) == 0 && with_group &&
        ::chown(folder.c_str(), static_cast<uid_t>(-1), group) != 0)
        throw system_error("cannot give " + folder.string() + " to the group");
    // A socket left by a daemon that died is in the way of bind.
    ::unlink(path.c_str());
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw system_error("cannot make a socket");
    const mode_t old_mask = ::umask(with_group ? 0117 : 0177);
    const int bound = ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::umask(old_mask);
    if (bound != 0 || (with_group && ::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) ||
        ::listen(listen_fd_, 256) != 0) {
        const std::runtime_error error = system_error("cannot listen on " + path);
        ::close(listen_fd_);
        throw error;
    }
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        ::close(listen_fd_);
        throw system_error("cannot make a pipe");
    }
}

SocketServer::~SocketServer() {
    stop();
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return active_ == 0; });
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::unlink(path_.c_str());
}

void SocketServer::stop() {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
}

unsigned long SocketServer::refused() const {
    const std::lock_guard lock(mutex_);
    return refused_;
}

void SocketServer::serve() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            const std::lock_guard lock(mutex_);
            if (active_ >= kMaxConnections) {
                ++refused_;
                ::close(fd);
                continue;
            }
            ++active_;
        }
        std::thread([this, fd] {
            answer(fd);
            ::close(fd);
            const std::lock_guard lock(mutex_);
            if (--active_ == 0) idle_.notify_all();
        }).detach();
    }
}

void SocketServer::answer(int fd) {
    const auto refuse = [this, fd](const std::string& why) {
        {
            const std::lock_guard lock(mutex_);
            ++refused_;
        }
        write_frame(fd, nlohmann::json{{"error", why}}.dump());
    };
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        (peer.uid != ::geteuid() && (group_ == static_cast<gid_t>(-1) || peer.gid != group_)))
        return refuse("not allowed");
    // A client that stops sending in the middle of a request holds only its own thread, and
    // not for long.
    const timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const std::optional<std::string> frame = read_frame(fd);
    if (!frame) return refuse("incomplete or oversized request");
    nlohmann::json request, answer;
    try {
        request = nlohmann::json::parse(*frame);
    } catch (const std::exception& e) {
        return refuse(std::string("bad request: ") + e.what());
    }
    // The client waits for this only briefly: a daemon that has stopped (frozen, swapped out)
    // still has its connections accepted by the kernel, and the client must learn that in time
    // to check directly. A client already gone is not worth a check.
    if (!write_frame(fd, R"({"accepted":true})")) return;
    try {
        answer = handler_(request);
    } catch (const std::exception& e) {
        return refuse(std::string("bad request: ") + e.what());
    }
    write_frame(fd, answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace varnok
