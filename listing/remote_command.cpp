// SPDX-License-Identifier: Apache-2.0
#include "listing/remote_command.h"

#include <algorithm>

namespace varnok {

std::string timed_out_text(int seconds, SshPhase phase, const std::string& where) {
    // What the connection was doing in each phase, in SshPhase's order.
    static constexpr const char* kWords[] = {"connecting",
                                             "resolving the host name",
                                             "connecting",
                                             "waiting for the SSH handshake",
                                             "logging in",
                                             "starting the listing command",
                                             "starting the listing command",
                                             "reading the listing",
                                             "connecting"};
    const auto at = std::min<size_t>(static_cast<size_t>(phase), std::size(kWords) - 1);
    return "Timed out after " + std::to_string(seconds) + " seconds while " + kWords[at] + " (" +
           where + ")";
}

RemoteCommand::RemoteCommand(SshSession& session, const std::string& command, std::string where,
                             OutputSink sink, size_t cap, std::function<void(SshPhase)> enter)
    : session_(session),
      where_(std::move(where)),
      sink_(std::move(sink)),
      cap_(cap),
      enter_(std::move(enter)) {
    // Counted here, so that the cap holds however the caller keeps the output.
    channel_ = session_.new_channel(command, [this](const char* data, size_t size) {
        if (over_cap_) return;
        received_ += size;
        if (received_ > cap_) {
            over_cap_ = true;
            size -= std::min(size, received_ - cap_);
        }
        if (sink_) sink_(data, size);
    });
}

RemoteCommand::~RemoteCommand() = default;

void RemoteCommand::enter(SshPhase next) {
    phase_ = next;
    if (enter_) enter_(next);
}

RemoteCommand::State RemoteCommand::fail(FailureKind kind, std::string text, bool broke_session) {
    failure_ = {kind, std::move(text)};
    broke_session_ = broke_session;
    channel_.reset();
    return State::Failed;
}

RemoteCommand::State RemoteCommand::advance() {
    if (failure_.kind != FailureKind::None) return State::Failed;
    if (!channel_)
        return fail(FailureKind::Listing,
                    "Cannot open a channel on " + where_ + ": " + session_.error(), true);
    if (phase_ == SshPhase::OpeningChannel) {
        const SshStep step = channel_->open();
        if (step == SshStep::Again) return State::Running;
        if (step == SshStep::Failed) {
            // A server at its channel limit answers with a refusal and keeps the connection.
            refused_ = session_.connected();
            return fail(FailureKind::Listing,
                        "The server " + where_ + " refused a session channel: " + session_.error(),
                        !refused_);
        }
        enter(SshPhase::Executing);
    }
    if (phase_ == SshPhase::Executing) {
        const SshStep step = channel_->exec();
        if (step == SshStep::Again) return State::Running;
        if (step == SshStep::Failed)
            return fail(
                FailureKind::Listing,
                "The server " + where_ + " refused to run the listing command: " + session_.error(),
                true);
        enter(SshPhase::Reading);
    }
    const CommandState state = channel_->read();
    if (over_cap_)
        return fail(FailureKind::Listing,
                    "The listing from " + where_ + " was longer than " +
                        std::to_string(cap_ >> 20) + " MiB; the check stopped reading it",
                    false);
    if (state == CommandState::Running) return State::Running;
    if (state == CommandState::Ended) {
        channel_.reset();
        return State::Ended;
    }
    std::string text = "The connection to " + where_ + " was closed before the listing ended";
    if (const std::string detail = session_.error(); !detail.empty()) text += " (" + detail + ")";
    return fail(FailureKind::Connect, std::move(text), true);
}

}  // namespace varnok
