// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <libssh/libssh.h>

#include <memory>
#include <string>

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

}  // namespace varnok
