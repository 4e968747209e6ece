// SPDX-License-Identifier: Apache-2.0
#include "listing/session_opener.h"

#include "listing/host_key_policy.h"
#include "listing/known_hosts_file.h"

namespace varnok {

SessionOpener::SessionOpener(SshClient& events, LoginTarget target,
                             std::function<void(SshPhase)> enter)
    : events_(events), target_(std::move(target)), enter_(std::move(enter)) {}

void SessionOpener::start(Clock::time_point deadline) {
    deadline_ = deadline;
    enter(SshPhase::Resolving);
    resolver_ = std::make_unique<Resolver>();
    resolver_->start(target_.host, target_.port);
}

void SessionOpener::enter(SshPhase next) {
    phase_ = next;
    enter_(next);
}

SessionOpener::State SessionOpener::fail(FailureKind kind, const std::string& text) {
    failure_ = {kind, text};
    return State::Failed;
}

std::optional<SessionOpener::State> SessionOpener::unless_done(SshStep step, FailureKind kind,
                                                               const std::string& text) {
    if (step == SshStep::Done) return std::nullopt;
    if (step == SshStep::Again) return State::Opening;
    return fail(kind, text + session_->error());
}

void SessionOpener::prepare_poll(std::vector<pollfd>& fds, int& timeout_ms, int ms_left) const {
    if (phase_ == SshPhase::Resolving) {
        if (resolver_->done()) {
            timeout_ms = 0;
        } else {
            resolver_->prepare_poll(fds, timeout_ms, ms_left);
        }
    } else if (phase_ == SshPhase::TcpConnecting) {
        tcp_.prepare_poll(fds, timeout_ms);
    } else if (session_) {
        session_->prepare_poll(fds);
    }
}

SessionOpener::State SessionOpener::advance(std::span<const pollfd> own) {
    switch (phase_) {
        case SshPhase::Resolving:
            resolver_->process(own);
            if (!resolver_->done()) return State::Opening;
            if (const std::string error = resolver_->error(); !error.empty()) {
                return fail(FailureKind::Connect,
                            "Cannot resolve the host name '" + target_.host + "': " + error);
            }
            enter(SshPhase::TcpConnecting);
            return step_tcp(tcp_.start(resolver_->addresses(), deadline_));
        case SshPhase::TcpConnecting:
            return step_tcp(tcp_.advance(own));
        case SshPhase::Handshake:
            return step_handshake();
        default:
            return step_login();
    }
}

SessionOpener::State SessionOpener::step_tcp(TcpConnector::State state) {
    if (state == TcpConnector::State::Connecting) return State::Opening;
    if (state == TcpConnector::State::Failed) {
        return fail(
            FailureKind::Connect,
            "Cannot connect to " + remote_words(target_.host, target_.port) + ": " + tcp_.error());
    }
    std::string error;
    session_ = SshSession::create(tcp_.take_socket(),
                                  {target_.host, target_.port, target_.user,
                                   home_directory() + "/.ssh", known_hosts_path(target_.host_keys)},
                                  error);
    if (!session_) return fail(FailureKind::Connect, error);
    enter(SshPhase::Handshake);
    return step_handshake();
}

SessionOpener::State SessionOpener::step_handshake() {
    const std::string where = remote_words(target_.host, target_.port);
    if (const auto state = unless_done(session_->handshake(), FailureKind::Connect,
                                       "SSH handshake with " + where + " failed: ")) {
        return *state;
    }
    if (auto refusal =
            check_server(events_, *session_, target_.host_keys, target_.host, target_.port)) {
        failure_ = std::move(*refusal);
        return State::Failed;
    }
    enter(SshPhase::Authenticating);
    return step_login();
}

SessionOpener::State SessionOpener::step_login() {
    const bool with_key = target_.key != nullptr;
    const auto state = unless_done(with_key ? session_->login_with_key(target_.key.get())
                                            : session_->login_with_password(target_.password),
                                   FailureKind::Auth,
                                   "Login as '" + target_.user + "' on " +
                                       remote_words(target_.host, target_.port) + " with the " +
                                       (with_key ? "private key" : "password") + " failed: ");
    return state ? *state : State::LoggedIn;
}

void SessionOpener::close() {
    if (session_) session_->close();
}

}  // namespace varnok
