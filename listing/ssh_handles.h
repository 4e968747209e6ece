// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <libssh/libssh.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

namespace varnok {

/// Starts libssh once per process, and its log capture once per thread.
void init_ssh_library();
/// The last message libssh logged on this thread: key-file problems reach only its log.
std::string& last_ssh_log();

struct SessionFree {
    void operator()(ssh_session s) const { ssh_free(s); }
};
/// Owns an ssh_session.
using SessionHandle = std::unique_ptr<ssh_session_struct, SessionFree>;

struct ChannelFree {
    void operator()(ssh_channel c) const { ssh_channel_free(c); }
};
/// Owns an ssh_channel; declared after the session it belongs to, so that it goes first.
using ChannelHandle = std::unique_ptr<ssh_channel_struct, ChannelFree>;

struct KeyFree {
    void operator()(ssh_key k) const { ssh_key_free(k); }
};
/// Owns an ssh_key.
using KeyHandle = std::unique_ptr<ssh_key_struct, KeyFree>;

struct EventFree {
    void operator()(ssh_event e) const { ssh_event_free(e); }
};
/// Owns an ssh_event.
using EventHandle = std::unique_ptr<ssh_event_struct, EventFree>;

/// A socket descriptor, closed when its owner goes; -1 when it holds none.
class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { reset(); }
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    /// The descriptor, or -1.
    int get() const { return fd_; }
    /// Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    /// Closes the descriptor.
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

}  // namespace varnok
