// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "listing/resolver.h"
#include "listing/server_check.h"
#include "listing/ssh_client.h"
#include "listing/ssh_session.h"
#include "listing/tcp_connector.h"
#include "state/defaults.h"

namespace varnok {

/// Where to log in, as whom and how.
struct LoginTarget {
    std::string host;
    uint16_t port = kDefaultSshPort;
    std::string user;
    std::string password;
    std::shared_ptr<ssh_key_struct> key;  ///< when set, the login uses it instead of the password
    HostKeyPolicy host_keys;
};

/// Opens a logged-in SSH session without blocking: resolves the name, connects TCP to each
/// address in turn, runs the handshake, checks the server and logs in.
class SessionOpener {
  public:
    using Clock = std::chrono::steady_clock;
    /// Where the opening stands.
    enum class State { Opening, LoggedIn, Failed };

    /// events speaks for the server check (CryptoInformation, HostFingerprint, Warning); enter is
    /// told of each phase the opening enters.
    SessionOpener(SshClient& events, LoginTarget target, std::function<void(SshPhase)> enter);

    /// Starts resolving; throws SshError (Connect) when the resolver cannot start.
    void start(Clock::time_point deadline);
    /// Adds what the current phase waits on and lowers timeout_ms to its next retry.
    void prepare_poll(std::vector<pollfd>& fds, int& timeout_ms, int ms_left) const;
    /// Advances after a poll: own holds what prepare_poll added.
    State advance(std::span<const pollfd> own);
    /// Why the opening failed.
    const Refusal& failure() const { return failure_; }
    /// The logged-in session, handed over.
    std::unique_ptr<SshSession> take_session() { return std::move(session_); }
    /// Lets the session, if any, end in order (see SshSession::close).
    void close();

  private:
    void enter(SshPhase next);
    State fail(FailureKind kind, const std::string& text);
    State step_tcp(TcpConnector::State state);
    State step_handshake();
    State step_login();
    // For a step that may wait for the server: Opening while it waits, Failed (text followed by
    // libssh's) when it failed, nothing once it is done.
    std::optional<State> unless_done(SshStep step, FailureKind kind, const std::string& text);

    SshClient& events_;
    LoginTarget target_;
    std::function<void(SshPhase)> enter_;
    SshPhase phase_ = SshPhase::Idle;
    Clock::time_point deadline_;
    Refusal failure_{FailureKind::None, {}};
    std::unique_ptr<Resolver> resolver_;
    TcpConnector tcp_;
    std::unique_ptr<SshSession> session_;
};

}  // namespace varnok
