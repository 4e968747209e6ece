// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>

#include <chrono>
#include <span>
#include <string>
#include <vector>

#include "automation/file_descriptor.h"
#include "listing/resolver.h"
#include "listing/ssh_handles.h"

namespace varnok {

/// Connects TCP without blocking to each address in turn, as the OpenSSH client does; each
/// address gets an equal share of the time that is left, so one that never answers leaves time
/// for those after it.
class TcpConnector {
  public:
    using Clock = std::chrono::steady_clock;

    /// Where the connection stands.
    enum class State { Connecting, Connected, Failed };

    /// Starts with the first address that takes a connect; deadline ends the whole attempt.
    State start(std::vector<Address> addresses, Clock::time_point deadline);
    /// Adds the socket being connected and lowers timeout_ms to the end of its share.
    void prepare_poll(std::vector<pollfd>& fds, int& timeout_ms) const;
    /// Advances after a poll: own holds what prepare_poll added.
    State advance(std::span<const pollfd> own);
    /// The connected socket, handed over.
    FileDescriptor take_socket() { return std::move(socket_); }
    /// Why the last address failed (the system's text).
    const std::string& error() const { return error_; }

  private:
    State try_next();

    std::vector<Address> addresses_;
    size_t next_ = 0;
    Clock::time_point deadline_;
    Clock::time_point address_deadline_;
    std::string error_;
    FileDescriptor socket_;
};

}  // namespace varnok
