// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace varnok {

/// Answers one request: its JSON in, the answer's JSON out; may throw, which refuses the request.
using RequestHandler = std::function<nlohmann::json(const nlohmann::json& request)>;

/// A Unix socket server for `check --via`: length-prefixed JSON, one request per connection,
/// each on a thread of its own, only from the daemon's own user or the given group. A request
/// that parses is acknowledged with {"accepted":true} before the handler runs; the handler's
/// answer (or {"error":...}) is the next frame.
class SocketServer {
  public:
    /// Binds path, making its folder (0700, 0750 with a group) when missing; group -1 allows
    /// only the own user. Throws std::runtime_error when it cannot listen.
    SocketServer(const std::string& path, gid_t group, RequestHandler handler);
    /// Stops and waits for the requests in progress.
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    /// Accepts and serves until stop() is called.
    void serve();
    /// Makes serve() return; safe from any thread.
    void stop();
    /// Requests refused so far (peer, size, garbage).
    unsigned long refused() const;

  private:
    void answer(int fd);

    std::string path_;
    gid_t group_;
    RequestHandler handler_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    int active_ = 0;
    unsigned long refused_ = 0;
};

}  // namespace varnok
