// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "listing/failure.h"
#include "listing/ssh_client.h"
#include "state/state.h"

namespace varnok {

/// The SSH session driver that the settings form hosts: runs the listing command of the
/// configured system and leaves the outcome in SessionState.
class SessionDriver {
  public:
    SessionDriver() = default;
    virtual ~SessionDriver();
    SessionDriver(const SessionDriver&) = delete;
    SessionDriver& operator=(const SessionDriver&) = delete;

    /// Sets up a new SSH client from CheckSettings, starts connecting and returns at once;
    /// a setup failure ends the listing with ConnectError set and Disconnected true.
    void Get_Process_list();

    /// Get_Process_list, then lets pending events run until the listing has ended.
    void run_listing();

    /// Ends a listing with what an earlier one received, its error and failure kind, split by
    /// this thread's CheckSettings, as if it had just been received; nothing connects.
    void replay_listing(const std::string& received, const std::string& error, FailureKind failure);

    /// How the listings of this driver check host keys (the command line sets it from its options).
    HostKeyPolicy host_keys;
    /// The KEYF file's contents when the caller has read them; the key file is then not opened.
    std::optional<std::string> key_text;

    /// The client of the last listing; replaced by the next one.
    std::unique_ptr<SshClient> Ssh;
    /// The key object of the last listing.
    std::unique_ptr<varnok::SshKeys> SshKeys;
    /// Everything received during the current connection.
    std::string ReceivedText;

    /// Records a connection error and empties the receive buffer.
    void Ssh_Connected(int16_t ErrorCode, const std::string& ErrorText);
    /// Appends the announced bytes to the receive buffer.
    void Ssh_Received(int16_t ByteCount);
    /// Ends the listing and splits what was received.
    void Ssh_Disconnected();
    /// Notes the time of day in lblTemp's caption.
    void Ssh_HostFingerprint(const std::string& Fingerprint, bool& Accept);
    /// Accepts what the client accepts.
    void Ssh_CryptoInformation(const std::string& protocol, const std::string& RemoteName,
                               const std::string& SCcipher, const std::string& CScipher,
                               const std::string& Keys, bool& Accept);
    /// Does nothing (the client raises no prompt: it runs no interactive shell).
    void Ssh_PromptReceived();
    /// Does nothing.
    void Ssh_StateChange(int32_t OldState);

    /// The connection's error as the listing ended, before splitting added any of its own.
    const std::string& connection_error() const { return connection_error_; }
    /// The kind of failure that ended the last listing: the client's, Auth for a key file that
    /// could not be used, Connect for a listing that could not start; None after a good one.
    FailureKind connection_failure() const { return connection_failure_; }
    /// Warnings of the last listing (a host key that could not be recorded).
    const std::vector<std::string>& warnings() const { return warnings_; }

    /// The caption of the hidden scratch label lblTemp.
    virtual std::string lblTemp_caption() const;
    /// Sets the caption of lblTemp.
    virtual void set_lblTemp_caption(const std::string& caption);

  private:
    void end_setup(const std::string& error, FailureKind failure);

    std::string lblTemp_text_;
    std::string connection_error_;
    FailureKind connection_failure_ = FailureKind::None;
    std::vector<std::string> warnings_;
};

/// Loads the KEYF key of s into keys, from key_text when the caller read the file (else from the
/// file), with PWD as its pass phrase (none when PWD is empty); throws SshError as SshKeys does.
void load_login_key(SshKeys& keys, const CheckSettingsRecord& s,
                    const std::optional<std::string>& key_text);

/// Logs client in as s says: USR with PWD, and with a KEYF the key load_login_key loads into
/// keys; throws SshError when the key cannot be used.
void set_login(SshClient& client, SshKeys& keys, const CheckSettingsRecord& s,
               const std::optional<std::string>& key_text);

/// The listing command for a system code; empty for a system without one.
std::string listing_command(const std::string& os_type);

/// The command line a listing runs: the system's listing command, "wait;" when asked, "exit".
std::string listing_command_line(const std::string& os_type, bool add_wait);

/// The current time of day as the locale formats a time.
std::string time_of_day_text();

}  // namespace varnok
