// SPDX-License-Identifier: Apache-2.0
#include "listing/ssh_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

namespace varnok {

struct SshChannel::State {
    ssh_channel_callbacks_struct callbacks{};
    std::string text;
    OutputSink sink;
    bool eof = false;
    bool closed = false;
    bool exit_status = false;
    bool opened = false;
    ChannelHandle channel;

    static int on_data(ssh_session, ssh_channel, void* data, uint32_t len, int is_stderr,
                       void* userdata) {
        auto* c = static_cast<State*>(userdata);
        if (is_stderr == 0 && c->sink) c->sink(static_cast<const char*>(data), len);
        return static_cast<int>(len);
    }
    static void on_eof(ssh_session, ssh_channel, void* userdata) {
        static_cast<State*>(userdata)->eof = true;
    }
    static void on_close(ssh_session, ssh_channel, void* userdata) {
        static_cast<State*>(userdata)->closed = true;
    }
    static void on_exit_status(ssh_session, ssh_channel, int, void* userdata) {
        static_cast<State*>(userdata)->exit_status = true;
    }
};

SshChannel::~SshChannel() {
    if (!state_->channel) return;
    // Closed explicitly even when the server has closed it: freeing it unclosed would send the
    // close later and lose the disconnect message. One never opened has no number at the
    // server yet: a close would go to whichever channel holds number 0 there.
    if (state_->opened && ssh_is_connected(session_)) ssh_channel_close(state_->channel.get());
    // A channel freed before the server closed it lives on inside libssh: it must not call
    // back into this object any more.
    ssh_remove_channel_callbacks(state_->channel.get(), &state_->callbacks);
}

SshStep SshChannel::open() {
    const int rc = ssh_channel_open_session(state_->channel.get());
    state_->opened = rc == SSH_OK;
    return rc == SSH_AGAIN ? SshStep::Again : rc == SSH_OK ? SshStep::Done : SshStep::Failed;
}

SshStep SshChannel::exec() {
    const int rc = ssh_channel_request_exec(state_->channel.get(), state_->text.c_str());
    return rc == SSH_AGAIN ? SshStep::Again : rc == SSH_OK ? SshStep::Done : SshStep::Failed;
}

CommandState SshChannel::read() {
    State& c = *state_;
    if (!c.eof && !c.closed && ssh_channel_poll(c.channel.get(), 0) == SSH_ERROR) {
        return CommandState::ChannelError;
    }
    // The server does not close the connection when the command ends, and once EOF is in this
    // is the one call that still takes in packets (the exit status, the close).
    if (c.eof && !c.closed && !c.exit_status) ssh_channel_get_exit_status(c.channel.get());
    if (c.closed || (c.eof && c.exit_status)) return CommandState::Ended;
    // Output that ended with EOF counts as whole even when the close got lost.
    if (!ssh_is_connected(session_)) {
        return c.eof ? CommandState::Ended : CommandState::ConnectionLost;
    }
    return CommandState::Running;
}

std::unique_ptr<SshSession> SshSession::create(FileDescriptor socket, const SessionOptions& options,
                                               std::string& error) {
    init_ssh_library();
    std::unique_ptr<SshSession> s(new SshSession());
    s->socket_ = std::move(socket);
    s->session_.reset(ssh_new());
    if (!s->session_) {
        error = "Cannot create an SSH session";
        return nullptr;
    }
    ssh_session session = s->session_.get();
    const bool no = false;
    const unsigned int port = options.port;
    const int fd = s->socket_.get();
    if (ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &no) < 0 ||
        ssh_options_set(session, SSH_OPTIONS_HOST, options.host.c_str()) < 0 ||
        ssh_options_set(session, SSH_OPTIONS_PORT, &port) < 0 ||
        ssh_options_set(session, SSH_OPTIONS_USER, options.user.c_str()) < 0 ||
        ssh_options_set(session, SSH_OPTIONS_SSH_DIR, options.ssh_dir.c_str()) < 0 ||
        ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, options.known_hosts.c_str()) < 0 ||
        ssh_options_set(session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/etc/ssh/ssh_known_hosts") < 0 ||
        ssh_options_set(session, SSH_OPTIONS_FD, &fd) < 0) {
        error = std::string("Cannot set up the SSH session: ") + ssh_get_error(session);
        return nullptr;
    }
    ssh_set_blocking(session, 0);
    return s;
}

SshSession::~SshSession() {
    if (!session_) return;
    // libssh leaves a socket it was handed open, unless an error made it close it; before the
    // first ssh_connect it has not taken the socket at all.
    if (handed_over_ && ssh_get_fd(session_.get()) != socket_.get()) socket_.release();
    ssh_disconnect(session_.get());
}

SshStep SshSession::handshake() {
    handed_over_ = true;
    const int rc = ssh_connect(session_.get());
    return rc == SSH_AGAIN ? SshStep::Again : rc == SSH_OK ? SshStep::Done : SshStep::Failed;
}

Negotiated SshSession::negotiated() const {
    const auto text = [](const char* s) { return std::string(s != nullptr ? s : ""); };
    ssh_session s = session_.get();
    return {text(ssh_get_serverbanner(s)), text(ssh_get_cipher_in(s)), text(ssh_get_cipher_out(s)),
            text(ssh_get_kex_algo(s))};
}

std::string SshSession::fingerprint() const {
    ssh_key server_key = nullptr;
    if (ssh_get_server_publickey(session_.get(), &server_key) != SSH_OK) return {};
    const KeyHandle owned(server_key);
    unsigned char* hash = nullptr;
    size_t hlen = 0;
    if (ssh_get_publickey_hash(server_key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hlen) != 0) {
        return {};
    }
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hlen);
    ssh_clean_pubkey_hash(&hash);
    std::string out = ssh_key_type_to_char(ssh_key_type(server_key));
    if (text != nullptr) {
        out += " ";
        out += text;
        ssh_string_free_char(text);
    }
    return out;
}

ssh_known_hosts_e SshSession::known_host() const {
    return ssh_session_is_known_server(session_.get());
}

namespace {
SshStep auth_step(int rc) {
    return rc == SSH_AUTH_AGAIN     ? SshStep::Again
           : rc == SSH_AUTH_SUCCESS ? SshStep::Done
                                    : SshStep::Failed;
}
}  // namespace

SshStep SshSession::login_with_password(const std::string& password) {
    return auth_step(ssh_userauth_password(session_.get(), nullptr, password.c_str()));
}

SshStep SshSession::login_with_key(ssh_key key) {
    return auth_step(ssh_userauth_publickey(session_.get(), nullptr, key));
}

std::unique_ptr<SshChannel> SshSession::new_channel(const std::string& command, OutputSink sink) {
    std::unique_ptr<SshChannel> c(new SshChannel());
    c->session_ = session_.get();
    c->state_ = std::make_unique<SshChannel::State>();
    SshChannel::State& s = *c->state_;
    s.channel.reset(ssh_channel_new(session_.get()));
    if (!s.channel) return nullptr;
    s.text = command;
    s.sink = std::move(sink);
    s.callbacks.userdata = &s;
    // Output is handed over inside whichever libssh call takes it in; read calls could leave
    // it stuck in libssh's buffers.
    s.callbacks.channel_data_function = SshChannel::State::on_data;
    s.callbacks.channel_eof_function = SshChannel::State::on_eof;
    s.callbacks.channel_close_function = SshChannel::State::on_close;
    s.callbacks.channel_exit_status_function = SshChannel::State::on_exit_status;
    ssh_callbacks_init(&s.callbacks);
    ssh_set_channel_callbacks(s.channel.get(), &s.callbacks);
    return c;
}

void SshSession::detect_dead_peer(std::chrono::seconds interval) {
    const int fd = ssh_get_fd(session_.get());
    if (fd < 0) return;
    const int on = 1, seconds = static_cast<int>(std::max<long long>(interval.count(), 1)),
              probes = 2;
    const unsigned int unacknowledged_ms = static_cast<unsigned int>(seconds) * 2000u;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &seconds, sizeof seconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &seconds, sizeof seconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms, sizeof unacknowledged_ms);
}

bool SshSession::connected() const { return ssh_is_connected(session_.get()) != 0; }

void SshSession::close() {
    ssh_session session = session_.get();
    if (!ssh_is_connected(session)) return;
    // The close and disconnect messages only leave once libssh has seen the socket writable; a
    // few short rounds are enough.
    const EventHandle ev(ssh_event_new());
    if (ev && ssh_event_add_session(ev.get(), session) == SSH_OK) {
        for (int i = 0; i < 3 && (ssh_get_poll_flags(session) & SSH_WRITE_PENDING); ++i) {
            ssh_event_dopoll(ev.get(), 20);
        }
        ssh_event_remove_session(ev.get(), session);
    }
}

std::string SshSession::error() const {
    const char* text = session_ ? ssh_get_error(session_.get()) : nullptr;
    return text != nullptr ? text : "";
}

void SshSession::prepare_poll(std::vector<pollfd>& fds) const {
    const int fd = ssh_get_fd(session_.get());
    if (fd < 0) return;
    short events = POLLIN;
    if (ssh_get_poll_flags(session_.get()) & SSH_WRITE_PENDING) events |= POLLOUT;
    fds.push_back(pollfd{fd, events, 0});
}

}  // namespace varnok
