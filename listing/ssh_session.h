// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "automation/file_descriptor.h"
#include "listing/ssh_handles.h"

namespace varnok {

/// How a step that may have to wait for the server went.
enum class SshStep { Again, Done, Failed };

/// Where a command's channel stands.
enum class CommandState {
    Running,         ///< output may still come
    Ended,           ///< its output is whole: EOF with the exit status, or the channel closed
    ChannelError,    ///< libssh reported an error on the channel
    ConnectionLost,  ///< the connection went before EOF
};

/// What a session is set up with.
struct SessionOptions {
    std::string host;  ///< the name known_hosts records the server under
    uint16_t port = 22;
    std::string user;
    std::string ssh_dir;      ///< the folder libssh takes for ~/.ssh
    std::string known_hosts;  ///< the user's known_hosts file
};

/// The algorithms the handshake settled on.
struct Negotiated {
    std::string banner, cipher_in, cipher_out, kex;
};

/// Receives a command's standard output as it arrives.
using OutputSink = std::function<void(const char* data, size_t size)>;

/// One channel of a session and the command it runs. It must go before its session; a call on
/// any channel may take in, and hand to its sink, the output of every other of the session.
class SshChannel {
  public:
    ~SshChannel();
    SshChannel(const SshChannel&) = delete;
    SshChannel& operator=(const SshChannel&) = delete;

    /// Opens the channel.
    SshStep open();
    /// Asks the server to run the command.
    SshStep exec();
    /// Takes in what arrived and says where the command stands.
    CommandState read();

  private:
    friend class SshSession;
    struct State;
    SshChannel() = default;
    ssh_session session_ = nullptr;
    std::unique_ptr<State> state_;
};

/// An SSH session in libssh's non-blocking mode over a connected socket: handshake, login, then
/// commands, each on a channel of its own, several at once where the server allows.
class SshSession {
  public:
    /// Takes over a connected socket; null, with error set, when libssh refuses the options.
    static std::unique_ptr<SshSession> create(FileDescriptor socket, const SessionOptions& options,
                                              std::string& error);
    ~SshSession();
    SshSession(const SshSession&) = delete;
    SshSession& operator=(const SshSession&) = delete;

    /// Runs the key exchange.
    SshStep handshake();
    /// The algorithms of the finished handshake.
    Negotiated negotiated() const;
    /// The server's host key as "type SHA256:...", empty when libssh has none.
    std::string fingerprint() const;
    /// What the known_hosts files say of the server's key.
    ssh_known_hosts_e known_host() const;
    /// Logs in with a password.
    SshStep login_with_password(const std::string& password);
    /// Logs in with a private key.
    SshStep login_with_key(ssh_key key);

    /// A new channel for command; null when libssh cannot make one (error() says why).
    std::unique_ptr<SshChannel> new_channel(const std::string& command, OutputSink sink);
    /// Lets queued messages (the channels' closes) leave, so that the server sees an orderly
    /// end; the destructor then disconnects.
    void close();
    /// False once the connection has gone.
    bool connected() const;
    /// Makes the connection fail when what is sent stays unacknowledged for twice interval,
    /// and probes it at TCP level after interval of silence: a host that vanished without a
    /// word is noticed at the next write.
    void detect_dead_peer(std::chrono::seconds interval);

    /// libssh's text for the last error.
    std::string error() const;
    /// Adds the session's socket with the directions libssh waits for.
    void prepare_poll(std::vector<pollfd>& fds) const;
    /// The libssh session, for the known_hosts file.
    ssh_session handle() const { return session_.get(); }

  private:
    SshSession() = default;

    FileDescriptor socket_;
    bool handed_over_ = false;
    SessionHandle session_;
};

}  // namespace varnok
