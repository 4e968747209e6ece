// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "listing/failure.h"

struct ssh_key_struct;

namespace varnok {

/// An operation of the SSH objects that could not be carried out; what() says why, kind() what
/// kind of failure it is.
class SshError : public std::runtime_error {
  public:
    SshError(const std::string& text, FailureKind kind) : std::runtime_error(text), kind_(kind) {}
    /// The kind of failure.
    FailureKind kind() const { return kind_; }

  private:
    FailureKind kind_;
};

class SshClient;

/// The key object: loads one private key file of any type the SSH library reads.
class SshKeys {
  public:
    SshKeys();
    ~SshKeys();
    SshKeys(const SshKeys&) = delete;
    SshKeys& operator=(const SshKeys&) = delete;

    /// Loads the private key from a file; throws SshError (Auth) with a readable description.
    void load_private_key(const std::string& path, const std::optional<std::string>& pass_phrase);
    /// Reads the private key from a key file's contents (named path in texts); throws SshError
    /// (Auth) as load_private_key does.
    void import_private_key(const std::string& text, const std::string& path,
                            const std::optional<std::string>& pass_phrase);
    /// The loaded key (null before a load), shared with whoever logs in with it.
    std::shared_ptr<ssh_key_struct> key() const { return key_; }

  private:
    friend class SshClient;
    [[noreturn]] static void throw_unreadable(const std::string& path,
                                              const std::optional<std::string>& pass_phrase);
    std::shared_ptr<ssh_key_struct> key_;
};

/// Phases of a connection, reported by StateChange as the phase that was left.
enum class SshPhase : int32_t {
    Idle = 0,
    Resolving,
    TcpConnecting,
    Handshake,
    Authenticating,
    OpeningChannel,
    Executing,
    Reading,
    Closed,
};

/// Which SSH protocol version the client speaks.
enum class SshProtocol : int32_t {
    Ssh1 = 2,       ///< SSH version 1: refused when connecting
    Ssh2 = 3,       ///< SSH version 2
    Automatic = 4,  ///< the client chooses (SSH version 2)
};

/// How the client logs in.
enum class SshAuth : int32_t {
    Password = 0,   ///< the password
    PublicKey = 2,  ///< the private key handed over by set_private_key
};

/// What the client does with a host key that known_hosts does not hold: No accepts it and
/// records nothing (where OpenSSH's "no" would record it), AcceptNew accepts and records it, Yes
/// refuses it. A key that contradicts the file is refused under every setting.
enum class HostKeyCheck { No, AcceptNew, Yes };

/// Where host keys are looked up and recorded, and what happens to unknown ones.
struct HostKeyPolicy {
    HostKeyCheck check = HostKeyCheck::No;
    std::string known_hosts;  ///< empty: ~/.ssh/known_hosts ("~" is the user's passwd home)
};

/// The SSH client object: runs one command line on a remote host without blocking and raises
/// its events from DoEvents() on the thread that connected it.
class SshClient {
  public:
    /// Largest byte count of one Received event.
    static constexpr int kMaxChunk = 32767;
    /// Most bytes of standard output one run collects.
    static constexpr size_t kMaxReceived = 64u << 20;

    SshClient();
    ~SshClient();
    SshClient(const SshClient&) = delete;
    SshClient& operator=(const SshClient&) = delete;

    /// Login finished (ErrorCode 0) or failed (ErrorCode the FailureKind, and ErrorText); raised
    /// once.
    std::function<void(int16_t ErrorCode, const std::string& ErrorText)> Connected;
    /// ByteCount bytes of standard output wait to be fetched.
    std::function<void(int16_t ByteCount)> Received;
    /// The connection has ended; raised exactly once per connect(), last.
    std::function<void()> Disconnected;
    /// The server's host key fingerprint; setting Accept false refuses it.
    std::function<void(const std::string& Fingerprint, bool& Accept)> HostFingerprint;
    /// The negotiated algorithms; setting Accept false refuses them.
    std::function<void(const std::string& protocol, const std::string& RemoteName,
                       const std::string& SCcipher, const std::string& CScipher,
                       const std::string& Keys, bool& Accept)>
        CryptoInformation;
    /// The connection left phase OldState.
    std::function<void(SshPhase OldState)> StateChange;
    /// Something the caller should hear of that does not stop the connection (a host key that
    /// could not be recorded).
    std::function<void(const std::string& Text)> Warning;

    /// Host name or address to connect to.
    void set_remote_host(const std::string& host);
    /// TCP port; the value set last counts (0 is accepted and used as given).
    void set_remote_port(int16_t port);
    /// User to log in as.
    void set_login_name(const std::string& user);
    /// Password for password authentication.
    void set_password(const std::string& password);
    /// How to log in (default: the password).
    void set_authentication_method(SshAuth method);
    /// The key that keys loaded, for SshAuth::PublicKey; throws SshError (Auth) when it has none.
    void set_private_key(const SshKeys& keys);
    /// The command line run after login.
    const std::string& command_text() const;
    /// Sets the command line run after login.
    void set_command_text(const std::string& command);
    /// The protocol version (default: automatic).
    void set_protocol(SshProtocol selection);
    /// How host keys are checked (default: the file in ~/.ssh, unknown keys accepted unrecorded).
    void set_host_key_policy(const HostKeyPolicy& policy);
    /// Seconds for the whole connection; 0 or below means 30.
    void set_time_limit(int16_t seconds);
    /// Starts connecting and returns at once; throws SshError (Connect) when it cannot start.
    void connect();
    /// Takes up to count received bytes, oldest first.
    std::string fetch(int16_t count);

    /// The current phase.
    SshPhase phase() const;
    /// Why a connection that had logged in ended before its command did (time limit, dropped
    /// connection, output over the size cap); empty after a complete run.
    const std::string& end_error() const;
    /// The kind of end_error(): Timeout, Connect (dropped), Listing (channel, size cap); None
    /// after a complete run.
    FailureKind end_failure() const;
    /// Adds the sockets to wait on and lowers timeout_ms to the next deadline (used by DoEvents).
    void prepare_poll(std::vector<pollfd>& fds, int& timeout_ms);
    /// Advances the connection after a poll and raises its events (used by DoEvents).
    void advance(const std::vector<pollfd>& fds);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace varnok
