#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace varnok::testing {

using Clock = std::chrono::steady_clock;

// A loopback listener of the suite's own for what no real server does: it accepts one
// connection, sends its greeting, reads for a while, then closes or keeps silent.
class ScriptedListener {
public:
    /// With no greeting and no close it accepts and stays silent.
    explicit ScriptedListener(std::string greeting = "", bool close_after = false)
        : greeting_(std::move(greeting)), close_after_(close_after) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int p = 26000 + getpid() % 3000; p < 32767 && port_ == 0; p += 13) {
            addr.sin_port = htons(static_cast<uint16_t>(p));
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) port_ = p;
        }
        ::listen(fd_, 4);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedListener() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

private:
    void serve() {
        pollfd p{fd_, POLLIN, 0};
        while (!stop_ && ::poll(&p, 1, 20) == 0) {
        }
        if (stop_) return;
        const int conn = ::accept(fd_, nullptr, nullptr);
        if (conn < 0) return;
        if (!greeting_.empty()) (void)!::write(conn, greeting_.data(), greeting_.size());
        // Let the client send what it sends first (its banner, its key exchange offer).
        const auto until = Clock::now() + std::chrono::milliseconds(200);
        char buf[4096];
        while (!stop_ && Clock::now() < until) {
            pollfd c{conn, POLLIN, 0};
            if (::poll(&c, 1, 20) > 0 && ::read(conn, buf, sizeof buf) <= 0) break;
        }
        while (!close_after_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::close(conn);
    }

    std::string greeting_;
    bool close_after_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A loopback listener that accepts every connection, never sends a byte, and counts the most
// connections it held at once: proof that checks ran side by side, without a clock.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int p = 23000 + getpid() % 3000; p < 32767 && port_ == 0; p += 17) {
            addr.sin_port = htons(static_cast<uint16_t>(p));
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) port_ = p;
        }
        ::listen(fd_, 4096);
        thread_ = std::thread([this] { serve(); });
    }
    ~SilentListener() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    /// The most connections open at the same time so far.
    size_t peak() const { return peak_; }

private:
    void serve() {
        std::vector<pollfd> fds{{fd_, POLLIN, 0}};
        char buf[4096];
        while (!stop_) {
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            for (size_t i = fds.size(); i-- > 1;) {
                // Whatever a client sends is read and dropped; a closed one is forgotten.
                if (fds[i].revents != 0 && ::read(fds[i].fd, buf, sizeof buf) <= 0) {
                    ::close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<long>(i));
                }
            }
            if (fds[0].revents & POLLIN) {
                for (int c; (c = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) fds.push_back({c, POLLIN, 0});
            }
            peak_ = std::max<size_t>(peak_, fds.size() - 1);
        }
        for (size_t i = 1; i < fds.size(); ++i) ::close(fds[i].fd);
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> peak_{0};
    std::thread thread_;
};

}  // namespace varnok::testing
