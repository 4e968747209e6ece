// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace varnok::testing {

using Clock = std::chrono::steady_clock;

// A loopback listener of the suite's own for what no real server does: it sends every connection
// its greeting, then closes it once the client speaks (close_after) or keeps silent. It counts
// the most connections held at once (checks ran side by side, seen without a clock).
class LoopbackListener {
  public:
    explicit LoopbackListener(std::string greeting = "", bool close_after = false)
        : greeting_(std::move(greeting)), close_after_(close_after) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        for (int p = 23000 + getpid() % 3000; p < 32767 && port_ == 0; p += 17) {
            addr.sin_port = htons(static_cast<uint16_t>(p));
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) port_ = p;
        }
        ::listen(fd_, 4096);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackListener() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    /// The most connections open at the same time so far.
    size_t peak() const { return peak_; }
    /// Connections open now.
    size_t open() const { return open_; }
    /// How long the longest-lived connection that has ended stayed open.
    Clock::duration longest() const { return Clock::duration(longest_.load()); }

  private:
    void serve() {
        std::vector<pollfd> fds{{fd_, POLLIN, 0}};
        std::vector<Clock::time_point> opened{Clock::now()};
        char buf[4096];
        while (!stop_) {
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            for (size_t i = fds.size(); i-- > 1;) {
                if (fds[i].revents == 0) continue;
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n <= 0 || close_after_) {
                    ::close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<long>(i));
                    longest_ = std::max(longest_.load(), (Clock::now() - opened[i]).count());
                    opened.erase(opened.begin() + static_cast<long>(i));
                }
            }
            if (fds[0].revents & POLLIN) {
                for (int c; (c = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
                    if (!greeting_.empty()) (void)!::write(c, greeting_.data(), greeting_.size());
                    fds.push_back({c, POLLIN, 0});
                    opened.push_back(Clock::now());
                }
            }
            open_ = fds.size() - 1;
            peak_ = std::max<size_t>(peak_, open_);
        }
        for (size_t i = 1; i < fds.size(); ++i) ::close(fds[i].fd);
    }

    std::string greeting_;
    bool close_after_;
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> peak_{0}, open_{0};
    std::atomic<Clock::rep> longest_{0};
    std::thread thread_;
};

}  // namespace varnok::testing
