// SPDX-License-Identifier: Apache-2.0
#include "listing/ssh_client.h"

#include <chrono>
#include <span>

#include "listing/event_pump.h"
#include "listing/host_key_policy.h"
#include "listing/received_output.h"
#include "listing/remote_command.h"
#include "listing/session_opener.h"
#include "listing/ssh_session.h"
#include "state/defaults.h"

namespace varnok {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

struct SshClient::Impl {
    SshClient& self;
    explicit Impl(SshClient& s) : self(s) {}

    // Settings.
    LoginTarget target;
    SshAuth auth = SshAuth::Password;
    std::shared_ptr<ssh_key_struct> key;
    std::string command;
    SshProtocol protocol = SshProtocol::Automatic;
    int time_limit = 0;

    // Connection: the opener until the login, then the session.
    SshPhase phase = SshPhase::Idle;
    Clock::time_point deadline;
    ReceivedOutput inbox{kMaxReceived};
    std::unique_ptr<SessionOpener> opener;
    std::unique_ptr<SshSession> session;
    std::unique_ptr<RemoteCommand> command_run;
    bool connected_raised = false;
    bool in_advance = false;
    std::string end_error;
    FailureKind end_failure = FailureKind::None;
    size_t first_fd = 0, fd_count = 0;

    int seconds() const { return time_limit_or_default(time_limit); }
    std::string where() const { return remote_words(target.host, target.port); }

    void set_phase(SshPhase next) {
        const SshPhase old = phase;
        phase = next;
        if (old != next && self.StateChange) self.StateChange(old);
    }

    // Before the login completes a failure is reported by Connected; after it, it is kept as
    // the reason the connection ended early.
    void fail(FailureKind kind, const std::string& text) {
        if (!connected_raised) {
            connected_raised = true;
            if (self.Connected) self.Connected(static_cast<int16_t>(kind), text);
        } else if (end_error.empty()) {
            end_error = text;
            end_failure = kind;
        }
        finish();
    }

    // Ends the connection and raises Disconnected, as the last thing this object does.
    void finish() {
        command_run.reset();  // its channel's close leaves with the session's
        if (session) session->close();
        if (opener) opener->close();
        teardown();
        set_phase(SshPhase::Closed);
        if (self.Disconnected) self.Disconnected();
    }

    void teardown() {
        command_run.reset();
        session.reset();
        opener.reset();
        unregister_live_client(&self);
    }

    void start() {
        init_ssh_library();
        if (target.host.empty()) throw SshError("No host name was given", FailureKind::Connect);
        if (protocol == SshProtocol::Ssh1) {
            throw SshError("SSH protocol version 1 is not supported; choose SSH2 or SSH Auto",
                           FailureKind::Connect);
        }
        deadline = Clock::now() + std::chrono::seconds(seconds());
        register_live_client(&self);
        LoginTarget login = target;
        login.key = auth == SshAuth::PublicKey ? key : nullptr;
        opener = std::make_unique<SessionOpener>(self, std::move(login),
                                                 [this](SshPhase next) { set_phase(next); });
        try {
            opener->start(deadline);
        } catch (const SshError&) {
            teardown();
            phase = SshPhase::Idle;
            throw;
        }
    }

    void step_opening(std::span<const pollfd> own) {
        const SessionOpener::State state = opener->advance(own);
        if (state == SessionOpener::State::Failed) {
            const Refusal failure = opener->failure();  // the opener goes with the connection
            fail(failure.kind, failure.text);
        } else if (state == SessionOpener::State::LoggedIn) {
            session = opener->take_session();
            opener.reset();
            connected_raised = true;
            if (self.Connected) self.Connected(0, std::string());
            if (phase == SshPhase::Closed) return;
            set_phase(SshPhase::OpeningChannel);
            command_run = std::make_unique<RemoteCommand>(
                *session, command, where(),
                [this](const char* data, size_t size) { inbox.append(data, size); }, kMaxReceived,
                [this](SshPhase next) { set_phase(next); });
            step_command();
        }
    }

    void step_command() {
        const RemoteCommand::State state = command_run->advance();
        deliver();
        if (phase == SshPhase::Closed) return;
        if (state == RemoteCommand::State::Failed) {
            const Refusal failure = command_run->failure();
            fail(failure.kind, failure.text);
        } else if (state == RemoteCommand::State::Ended) {
            finish();
        }
    }

    // Announces what arrived, in pieces the 16-bit byte count can carry.
    void deliver() {
        while (phase != SshPhase::Closed && inbox.unannounced() > 0) {
            const size_t n = std::min<size_t>(kMaxChunk, inbox.unannounced());
            inbox.announce(n);
            if (self.Received) self.Received(static_cast<int16_t>(n));
        }
    }

    int ms_left() const {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        // Rounded up, so the last sub-millisecond is slept and not spun.
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

    void prepare(std::vector<pollfd>& fds, int& timeout_ms) {
        first_fd = fds.size();
        if (opener) {
            opener->prepare_poll(fds, timeout_ms, ms_left());
        } else if (session) {
            session->prepare_poll(fds);
        }
        fd_count = fds.size() - first_fd;
        timeout_ms = std::min(timeout_ms, ms_left());
    }

    void advance(const std::vector<pollfd>& fds) {
        if (in_advance || phase == SshPhase::Idle || phase == SshPhase::Closed) return;
        in_advance = true;
        const std::span<const pollfd> own = first_fd + fd_count <= fds.size()
                                                ? std::span(fds).subspan(first_fd, fd_count)
                                                : std::span<const pollfd>();
        if (Clock::now() >= deadline) {
            const std::string text = timed_out_text(seconds(), phase, where());
            if (phase == SshPhase::Reading) deliver();
            if (phase != SshPhase::Closed) fail(FailureKind::Timeout, text);
        } else if (opener) {
            step_opening(own);
        } else {
            step_command();
        }
        in_advance = false;
    }
};

SshClient::SshClient() : impl_(std::make_unique<Impl>(*this)) { init_ssh_library(); }

// Raises nothing: a client destroyed while live just lets its connection go.
SshClient::~SshClient() { unregister_live_client(this); }

void SshClient::set_remote_host(const std::string& host) { impl_->target.host = host; }
void SshClient::set_remote_port(int16_t port) { impl_->target.port = static_cast<uint16_t>(port); }
void SshClient::set_login_name(const std::string& user) { impl_->target.user = user; }
void SshClient::set_password(const std::string& password) { impl_->target.password = password; }
void SshClient::set_authentication_method(SshAuth method) { impl_->auth = method; }

void SshClient::set_private_key(const SshKeys& keys) {
    if (!keys.key_) throw SshError("No private key has been loaded", FailureKind::Auth);
    impl_->key = keys.key_;
}

const std::string& SshClient::command_text() const { return impl_->command; }
void SshClient::set_command_text(const std::string& command) { impl_->command = command; }
void SshClient::set_protocol(SshProtocol selection) { impl_->protocol = selection; }
void SshClient::set_time_limit(int16_t seconds) { impl_->time_limit = seconds; }
void SshClient::set_host_key_policy(const HostKeyPolicy& policy) {
    impl_->target.host_keys = policy;
}

void SshClient::connect() {
    if (impl_->phase != SshPhase::Idle) {
        throw SshError("The client has already connected", FailureKind::Connect);
    }
    impl_->start();
}

std::string SshClient::fetch(int16_t count) {
    return count <= 0 ? std::string() : impl_->inbox.take(static_cast<size_t>(count));
}

SshPhase SshClient::phase() const { return impl_->phase; }
const std::string& SshClient::end_error() const { return impl_->end_error; }
FailureKind SshClient::end_failure() const { return impl_->end_failure; }

void SshClient::prepare_poll(std::vector<pollfd>& fds, int& timeout_ms) {
    impl_->prepare(fds, timeout_ms);
}

void SshClient::advance(const std::vector<pollfd>& fds) { impl_->advance(fds); }

}  // namespace varnok
