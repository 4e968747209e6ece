// SPDX-License-Identifier: Apache-2.0
#include "serve/socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "serve/frames.h"

namespace varnok {
namespace {

using Clock = std::chrono::steady_clock;

// A request must begin within this of the accept, and be whole within this of its first byte.
constexpr auto kRequestTime = std::chrono::seconds(5);
// Requests answered at once; the rest wait, acknowledged, in arrival order.
constexpr size_t kMaxHandlers = 64;
// A handler gives up on a peer that does not read its answer.
constexpr timeval kSendLimit{5, 0};

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

struct SocketServer::Reading {
    FileDescriptor fd;
    Clock::time_point deadline;
    FrameReader frame;
};

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
    // Half the open files at most, so that the sessions and the HTTP side always have theirs.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0)
        max_connections_ = std::clamp<size_t>(files.rlim_cur / 2, 16, 1024);
    // A socket left by a daemon that died is in the way of bind.
    ::unlink(path.c_str());
    listen_ = FileDescriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listen_) throw system_error("cannot make a socket");
    const mode_t old_mask = ::umask(with_group ? 0117 : 0177);
    const int bound = ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::umask(old_mask);
    if (bound != 0 || (with_group && ::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) ||
        ::listen(listen_.get(), 256) != 0)
        throw system_error("cannot listen on " + path);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) throw system_error("cannot make a pipe");
    wake_read_ = FileDescriptor(wake[0]);
    wake_write_ = FileDescriptor(wake[1]);
}

SocketServer::~SocketServer() {
    stop();
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();  // their clients fall back with the time they have left
    }
    queued_.notify_all();
    workers_.clear();  // joins them, each once its request is answered
    ::unlink(path_.c_str());
}

void SocketServer::stop() {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), &byte, 1);
}

unsigned long SocketServer::refused() const { return refused_; }

void SocketServer::serve() {
    std::vector<Reading> reading;
    std::vector<pollfd> fds;
    Clock::time_point paused{};  // accepting again from then, after the files ran out
    for (;;) {
        const auto now = Clock::now();
        Clock::time_point next = paused > now ? paused : Clock::time_point::max();
        fds.assign({{wake_read_.get(), POLLIN, 0},
                    {listen_.get(), static_cast<short>(paused > now ? 0 : POLLIN), 0}});
        for (const Reading& r : reading) {
            fds.push_back({r.fd.get(), POLLIN, 0});
            next = std::min(next, r.deadline);
        }
        int wait = -1;
        if (next != Clock::time_point::max()) {
            wait = static_cast<int>(std::max<long>(
                0, std::chrono::ceil<std::chrono::milliseconds>(next - now).count()));
        }
        if (::poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        // fds[i + 2] is reading[i]'s: step them all before new ones join.
        size_t kept = 0;
        for (size_t i = 0; i < reading.size(); ++i) {
            if (step(reading[i], fds[i + 2].revents)) continue;
            if (kept != i) reading[kept] = std::move(reading[i]);
            ++kept;
        }
        reading.resize(kept);
        // Out of files: try again shortly rather than spin on a listener that stays ready.
        if (fds[1].revents != 0 && !accept_all(reading))
            paused = Clock::now() + std::chrono::milliseconds(100);
    }
}

bool SocketServer::accept_all(std::vector<Reading>& reading) {
    for (;;) {
        FileDescriptor fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (!fd) return errno == EAGAIN || errno == EWOULDBLOCK;
        size_t open = reading.size();
        {
            const std::lock_guard lock(mutex_);
            open += handed_;
        }
        if (open >= max_connections_) {
            ++refused_;
        } else if (!allowed(fd.get())) {
            refuse(fd.get(), "not allowed");
        } else {
            reading.push_back({std::move(fd), Clock::now() + kRequestTime, {}});
        }
    }
}

// True when the connection has left the reading: handed over, refused or gone.
bool SocketServer::step(Reading& r, short events) {
    const bool started = r.frame.started();
    const auto drop = [this, &r](const std::string& why) {
        if (!why.empty()) refuse(r.fd.get(), why);
        r.fd.reset();
        return true;
    };
    if (events != 0) {
        nlohmann::json request;
        switch (r.frame.read_some(r.fd.get())) {
            case FrameReader::State::Done:
                request = nlohmann::json::parse(r.frame.take(), nullptr, false);
                if (request.is_discarded()) return drop("bad request: not JSON");
                hand_over(std::move(r.fd), std::move(request));
                return true;
            case FrameReader::State::Oversized:
                return drop("request over 4 MiB");
            case FrameReader::State::Closed:
                // A peer that connects and leaves (a readiness probe) is no refusal.
                return drop(started ? "incomplete request" : "");
            default:
                break;
        }
        if (!started && r.frame.started()) r.deadline = Clock::now() + kRequestTime;
    }
    if (Clock::now() < r.deadline) return false;
    return drop(r.frame.started() ? "request not complete within 5 seconds"
                                  : "no request within 5 seconds");
}

bool SocketServer::allowed(int fd) const {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    if (peer.uid == ::geteuid()) return true;
    if (group_ == static_cast<gid_t>(-1)) return false;
    if (peer.gid == group_) return true;
    // The supplementary groups the peer had when it connected.
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
            groups.resize(bytes / sizeof(gid_t));
            return std::find(groups.begin(), groups.end(), group_) != groups.end();
        }
        if (errno != ERANGE) return false;
        groups.resize(bytes / sizeof(gid_t));
    }
    return false;
}

void SocketServer::refuse(int fd, const std::string& why) {
    ++refused_;
    // Small enough for the socket's buffer, so it never waits, even on a non-blocking socket.
    write_frame(fd, nlohmann::json{{"error", why}}.dump());
}

void SocketServer::hand_over(FileDescriptor fd, nlohmann::json request) {
    // The client waits for this only briefly: a daemon that has stopped (frozen, swapped out)
    // still has its connections accepted by the kernel, and the client must learn that in time
    // to check directly. A client already gone is not worth a check.
    if (!write_frame(fd.get(), R"({"accepted":true})")) return;
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &kSendLimit, sizeof kSendLimit);
    const std::lock_guard lock(mutex_);
    queue_.emplace_back(std::move(fd), std::move(request));
    ++handed_;
    if (queue_.size() > idle_workers_ && workers_.size() < kMaxHandlers)
        workers_.emplace_back([this] { work(); });
    queued_.notify_one();
}

void SocketServer::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_workers_;
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idle_workers_;
        if (stopping_) return;
        auto [fd, request] = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        try {
            const nlohmann::json answer = handler_(request);
            write_frame(fd.get(),
                        answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        } catch (const std::exception& e) {
            refuse(fd.get(), std::string("bad request: ") + e.what());
        }
        fd.reset();
        lock.lock();
        --handed_;
    }
}

}  // namespace varnok
