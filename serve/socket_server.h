// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "automation/file_descriptor.h"

namespace varnok {

/// Answers one request: its JSON in, the answer's JSON out; may throw, which refuses the request.
using RequestHandler = std::function<nlohmann::json(const nlohmann::json& request)>;

/// A Unix socket server for `check --via`: length-prefixed JSON, one request per connection,
/// only from the daemon's own user or members of the given group. One thread reads every
/// connection as its bytes arrive; a request that parses is acknowledged with {"accepted":true}
/// and handed to one of a bounded number of handler threads, whose answer (or {"error":...})
/// is the next frame.
class SocketServer {
  public:
    /// Binds path, making its folder (0700, 0750 with a group) when missing; group -1 allows
    /// only the own user. Throws std::runtime_error when it cannot listen.
    SocketServer(const std::string& path, gid_t group, RequestHandler handler);
    /// Stops, drops the requests not yet begun and waits for those in progress.
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    /// Accepts, reads and hands over requests until stop() is called.
    void serve();
    /// Makes serve() return; safe from any thread.
    void stop();
    /// Connections refused so far (peer, too many, slow, size, garbage).
    unsigned long refused() const;

  private:
    struct Reading;

    bool allowed(int fd) const;
    bool accept_all(std::vector<Reading>& reading);
    bool step(Reading& r, short events);
    void refuse(int fd, const std::string& why);
    void hand_over(FileDescriptor fd, nlohmann::json request);
    void work();

    std::string path_;
    gid_t group_;
    RequestHandler handler_;
    size_t max_connections_ = 1024;
    FileDescriptor listen_;
    FileDescriptor wake_read_, wake_write_;
    std::atomic<unsigned long> refused_{0};
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::pair<FileDescriptor, nlohmann::json>> queue_;  ///< acknowledged, not begun
    std::vector<std::jthread> workers_;
    size_t idle_workers_ = 0;
    size_t handed_ = 0;  ///< connections queued or being answered
    bool stopping_ = false;
};

}  // namespace varnok
