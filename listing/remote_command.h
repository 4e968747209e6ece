// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "listing/failure.h"
#include "listing/server_check.h"
#include "listing/ssh_client.h"
#include "listing/ssh_session.h"

namespace varnok {

/// "Timed out after N seconds while <what the phase was doing> (where)": the text of a check
/// that ran out of its seconds in phase.
std::string timed_out_text(int seconds, SshPhase phase, const std::string& where);

/// The listing command on a channel of its own on a logged-in session, advanced without
/// blocking: the channel opened, the command started, its output read to its end. The direct
/// check and varnok serve both run their listings through it, so a listing's failures read the
/// same either way.
class RemoteCommand {
  public:
    /// Where the command stands.
    enum class State { Running, Ended, Failed };

    /// Makes the channel for command on session (which must outlive it); where names the
    /// server in texts; sink gets the standard output, at most cap bytes; enter is told of each
    /// phase the command enters (OpeningChannel, Executing, Reading).
    RemoteCommand(SshSession& session, const std::string& command, std::string where,
                  OutputSink sink, size_t cap, std::function<void(SshPhase)> enter = {});
    ~RemoteCommand();
    RemoteCommand(const RemoteCommand&) = delete;
    RemoteCommand& operator=(const RemoteCommand&) = delete;

    /// Goes as far as the server lets it without waiting.
    State advance();
    /// The phase it is in.
    SshPhase phase() const { return phase_; }
    /// Why it failed.
    const Refusal& failure() const { return failure_; }
    /// The server refused the channel while the connection stands: another channel may be
    /// granted once one of the session's others ends.
    bool refused() const { return refused_; }
    /// The failure left the session unfit for another command.
    bool broke_session() const { return broke_session_; }

  private:
    State fail(FailureKind kind, std::string text, bool broke_session);
    void enter(SshPhase next);

    SshSession& session_;
    std::string where_;
    OutputSink sink_;
    size_t cap_;
    size_t received_ = 0;
    std::function<void(SshPhase)> enter_;
    std::unique_ptr<SshChannel> channel_;
    SshPhase phase_ = SshPhase::OpeningChannel;
    Refusal failure_{FailureKind::None, {}};
    bool refused_ = false;
    bool broke_session_ = false;
    bool over_cap_ = false;
};

}  // namespace varnok
