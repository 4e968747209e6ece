#include "listing/ssh_client.h"

#include <ares.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "listing/event_pump.h"

namespace varnok {
namespace {

using Clock = std::chrono::steady_clock;

// libssh reports key-file problems only to its log, and keeps the log per thread.
thread_local std::string last_log_message;

void capture_log(int, const char*, const char* buffer, void*) {
    if (buffer != nullptr) last_log_message = buffer;
}

void init_libraries() {
    static const bool done = [] {
        ssh_init();
        ares_library_init(ARES_LIB_INIT_ALL);
        return true;
    }();
    (void)done;
    thread_local bool thread_done = false;
    if (!thread_done) {
        ssh_set_log_callback(capture_log);
        ssh_set_log_level(SSH_LOG_WARN);
        thread_done = true;
    }
}

struct KeyDeleter {
    void operator()(ssh_key k) const { ssh_key_free(k); }
};
using KeyPtr = std::unique_ptr<std::remove_pointer_t<ssh_key>, KeyDeleter>;

std::string home_directory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    // Checks run on many threads at once: the reentrant lookup.
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        pw.pw_dir != nullptr) {
        return pw.pw_dir;
    }
    return "/";
}

std::string phase_words(SshPhase phase) {
    switch (phase) {
        case SshPhase::Resolving:
            return "resolving the host name";
        case SshPhase::TcpConnecting:
            return "connecting";
        case SshPhase::Handshake:
            return "waiting for the SSH handshake";
        case SshPhase::Authenticating:
            return "logging in";
        case SshPhase::OpeningChannel:
        case SshPhase::Executing:
            return "starting the listing command";
        case SshPhase::Reading:
            return "reading the listing";
        default:
            return "connecting";
    }
}

}  // namespace

struct SshKeys::Key {
    KeyPtr key;
};

SshKeys::SshKeys() { init_libraries(); }
SshKeys::~SshKeys() = default;

void SshKeys::load_private_key(const std::string& path,
                               const std::optional<std::string>& pass_phrase) {
    init_libraries();
    key_.reset();
    {
        std::ifstream probe(path, std::ios::binary);
        if (!probe) {
            throw SshError("Cannot read the key file '" + path + "': " + std::strerror(errno));
        }
    }
    last_log_message.clear();
    ssh_key raw = nullptr;
    const int rc = ssh_pki_import_privkey_file(
        path.c_str(), pass_phrase ? pass_phrase->c_str() : nullptr, nullptr, nullptr, &raw);
    if (rc != SSH_OK) {
        const std::string& log = last_log_message;
        const bool pass_problem = log.find("correct password") != std::string::npos ||
                                  log.find("bad decrypt") != std::string::npos ||
                                  log.find("No passphrase") != std::string::npos ||
                                  log.find("passphrase") != std::string::npos;
        std::string text = "Cannot load the private key from '" + path + "': ";
        if (pass_phrase && pass_problem) {
            text += "wrong pass phrase";
        } else if (pass_problem) {
            text += "the key is protected by a pass phrase and none was given";
        } else {
            text += "not a private key file that can be read";
        }
        if (!log.empty()) text += " (" + log + ")";
        throw SshError(text);
    }
    key_ = std::make_unique<Key>(Key{KeyPtr(raw)});
}

std::string SshKeys::private_key(int32_t) const {
    if (!key_) throw SshError("No private key has been loaded");
    char* b64 = nullptr;
    if (ssh_pki_export_privkey_base64(key_->key.get(), nullptr, nullptr, nullptr, &b64) !=
            SSH_OK ||
        b64 == nullptr) {
        throw SshError("The private key cannot be handed over: " + last_log_message);
    }
    std::string text(b64);
    ssh_string_free_char(b64);
    return text;
}

struct SshClient::Impl {
    SshClient& self;
    explicit Impl(SshClient& s) : self(s) {}
    ~Impl() { teardown(false); }

    // Settings.
    std::string host;
    uint16_t port = 22;
    std::string user;
    std::string password;
    int auth_method = 0;
    KeyPtr key;
    std::string command;
    int protocol = 4;
    int time_limit = 0;
    HostKeyPolicy host_keys;

    // Connection.
    SshPhase phase = SshPhase::Idle;
    Clock::time_point deadline;
    ares_channel resolver = nullptr;
    bool resolved = false;
    int resolve_status = ARES_SUCCESS;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> address_lengths;
    size_t next_address = 0;
    int tcp_fd = -1;
    bool handed_over = false;
    Clock::time_point address_deadline;
    std::string tcp_error;
    ssh_session session = nullptr;
    ssh_channel channel = nullptr;
    ssh_channel_callbacks_struct callbacks{};
    bool connected_raised = false;
    bool eof = false;
    bool closed = false;
    bool exit_status = false;
    bool in_advance = false;
    std::string inbox;
    size_t inbox_offset = 0;
    size_t announced = 0;
    size_t received_total = 0;
    bool overflow = false;
    std::string end_error;
    size_t first_fd = 0, fd_count = 0;

    void set_phase(SshPhase next) {
        const SshPhase old = phase;
        phase = next;
        if (old != next && self.StateChange) self.StateChange(static_cast<int32_t>(old));
    }

    // Before the login completes a failure is reported by Connected; after it, it is kept as
    // the reason the connection ended early.
    void fail(int16_t code, const std::string& text) {
        if (!connected_raised) {
            connected_raised = true;
            if (self.Connected) self.Connected(code, text);
        } else if (end_error.empty()) {
            end_error = text;
        }
        finish();
    }

    // Ends the connection and raises Disconnected, as the last thing this object does.
    void finish() {
        teardown(true);
        set_phase(SshPhase::Closed);
        unregister_live_client(&self);
        if (self.Disconnected) self.Disconnected();
    }

    void teardown(bool polite) {
        if (session != nullptr) {
            if (polite && ssh_is_connected(session)) {
                if (channel != nullptr) ssh_channel_close(channel);
                // The close and disconnect messages only leave once libssh has seen the socket
                // writable; a few short rounds are enough.
                ssh_event ev = ssh_event_new();
                if (ev != nullptr && ssh_event_add_session(ev, session) == SSH_OK) {
                    for (int i = 0; i < 3 && (ssh_get_poll_flags(session) & SSH_WRITE_PENDING); ++i) {
                        ssh_event_dopoll(ev, 20);
                    }
                    ssh_event_remove_session(ev, session);
                }
                if (ev != nullptr) ssh_event_free(ev);
            }
            // libssh leaves a socket it was handed open, unless an error made it close it; before
            // the first ssh_connect it has not taken the socket at all.
            const bool socket_open = tcp_fd >= 0 && (!handed_over || ssh_get_fd(session) == tcp_fd);
            if (channel != nullptr) ssh_channel_free(channel);
            channel = nullptr;
            ssh_disconnect(session);
            ssh_free(session);
            session = nullptr;
            if (!socket_open) tcp_fd = -1;
        }
        if (tcp_fd >= 0) ::close(tcp_fd);
        tcp_fd = -1;
        if (resolver != nullptr) {
            ares_channel r = resolver;
            resolver = nullptr;
            ares_destroy(r);
        }
        if (phase != SshPhase::Idle && phase != SshPhase::Closed) unregister_live_client(&self);
    }

    void add_address(const sockaddr* addr, socklen_t length) {
        sockaddr_storage ss{};
        std::memcpy(&ss, addr, std::min<size_t>(length, sizeof ss));
        addresses.push_back(ss);
        address_lengths.push_back(length);
    }

    static void on_addrinfo(void* arg, int status, int, ares_addrinfo* result) {
        auto* impl = static_cast<Impl*>(arg);
        if (impl->resolver == nullptr) {
            if (result != nullptr) ares_freeaddrinfo(result);
            return;
        }
        impl->resolved = true;
        impl->resolve_status = status;
        if (status == ARES_SUCCESS && result != nullptr) {
            for (ares_addrinfo_node* n = result->nodes; n != nullptr; n = n->ai_next) {
                impl->add_address(n->ai_addr, n->ai_addrlen);
            }
        }
        if (result != nullptr) ares_freeaddrinfo(result);
    }

    void start() {
        init_libraries();
        if (host.empty()) throw SshError("No host name was given");
        if (protocol == 2) {
            throw SshError("SSH protocol version 1 is not supported; choose SSH2 or SSH Auto");
        }
        const int seconds = time_limit <= 0 ? 30 : time_limit;
        deadline = Clock::now() + std::chrono::seconds(seconds);
        register_live_client(&self);
        set_phase(SshPhase::Resolving);
        const std::string service = std::to_string(port);
        // An IPv4 or IPv6 address is used as it stands: a check by address must not depend on DNS.
        addrinfo numeric_hints{};
        numeric_hints.ai_family = AF_UNSPEC;
        numeric_hints.ai_socktype = SOCK_STREAM;
        numeric_hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        addrinfo* numeric = nullptr;
        if (::getaddrinfo(host.c_str(), service.c_str(), &numeric_hints, &numeric) == 0) {
            for (const addrinfo* n = numeric; n != nullptr; n = n->ai_next)
                add_address(n->ai_addr, n->ai_addrlen);
            ::freeaddrinfo(numeric);
            resolved = true;
            return;
        }
        ares_options opts{};
        opts.flags = ARES_FLAG_STAYOPEN;
        if (ares_init_options(&resolver, &opts, 0) != ARES_SUCCESS) {
            resolver = nullptr;
            unregister_live_client(&self);
            phase = SshPhase::Idle;
            throw SshError("The name resolver cannot be started");
        }
        ares_addrinfo_hints hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = ARES_AI_NUMERICSERV;
        ares_getaddrinfo(resolver, host.c_str(), service.c_str(), &hints, on_addrinfo, this);
    }

    bool try_next_address() {
        while (next_address < addresses.size()) {
            const auto& addr = addresses[next_address];
            const socklen_t len = address_lengths[next_address];
            ++next_address;
            const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                tcp_error = std::strerror(errno);
                continue;
            }
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0 ||
                errno == EINPROGRESS) {
                tcp_fd = fd;
                // An address that never answers must leave time for the ones after it.
                const size_t left = addresses.size() - next_address + 1;
                address_deadline = Clock::now() + (deadline - Clock::now()) / left;
                return true;
            }
            tcp_error = std::strerror(errno);
            ::close(fd);
        }
        return false;
    }

    std::string where() const {
        return "'" + host + "' port " + std::to_string(port);
    }

    void step_resolving() {
        if (!resolved) return;
        if (resolve_status != ARES_SUCCESS || addresses.empty()) {
            fail(1, "Cannot resolve the host name '" + host + "': " +
                        (resolve_status == ARES_SUCCESS ? "no address"
                                                        : ares_strerror(resolve_status)));
            return;
        }
        set_phase(SshPhase::TcpConnecting);
        if (!try_next_address()) {
            fail(1, "Cannot connect to " + where() + ": " + tcp_error);
        }
    }

    void step_tcp(short revents) {
        if (revents == 0) return;
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(tcp_fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            tcp_error = std::strerror(err);
            ::close(tcp_fd);
            tcp_fd = -1;
            if (!try_next_address()) fail(1, "Cannot connect to " + where() + ": " + tcp_error);
            return;
        }
        session = ssh_new();
        if (session == nullptr) {
            fail(1, "Cannot create an SSH session");
            return;
        }
        bool no = false;
        const std::string ssh_dir = home_directory() + "/.ssh";
        const std::string known_hosts = known_hosts_path();
        const unsigned int port_value = port;
        const int fd = tcp_fd;
        if (ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &no) < 0 ||
            ssh_options_set(session, SSH_OPTIONS_HOST, host.c_str()) < 0 ||
            ssh_options_set(session, SSH_OPTIONS_PORT, &port_value) < 0 ||
            ssh_options_set(session, SSH_OPTIONS_USER, user.c_str()) < 0 ||
            ssh_options_set(session, SSH_OPTIONS_SSH_DIR, ssh_dir.c_str()) < 0 ||
            ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, known_hosts.c_str()) < 0 ||
            ssh_options_set(session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/etc/ssh/ssh_known_hosts") < 0 ||
            ssh_options_set(session, SSH_OPTIONS_FD, &fd) < 0) {
            fail(1, std::string("Cannot set up the SSH session: ") + ssh_get_error(session));
            return;
        }
        ssh_set_blocking(session, 0);
        set_phase(SshPhase::Handshake);
        step_handshake();
    }

    std::string fingerprint() {
        ssh_key server_key = nullptr;
        if (ssh_get_server_publickey(session, &server_key) != SSH_OK) return {};
        KeyPtr owned(server_key);
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

    void step_handshake() {
        handed_over = true;
        const int rc = ssh_connect(session);
        if (rc == SSH_AGAIN) return;
        if (rc != SSH_OK) {
            fail(1, "SSH handshake with " + where() + " failed: " + ssh_get_error(session));
            return;
        }
        bool accept = true;
        const char* banner = ssh_get_serverbanner(session);
        const char* in = ssh_get_cipher_in(session);
        const char* out = ssh_get_cipher_out(session);
        const char* kex = ssh_get_kex_algo(session);
        if (self.CryptoInformation) {
            self.CryptoInformation("SSH-2.0", banner ? banner : "", in ? in : "", out ? out : "",
                                   kex ? kex : "", accept);
        }
        if (!accept) {
            fail(1, "The algorithms negotiated with " + where() + " were not accepted");
            return;
        }
        const std::string print = fingerprint();
        const ssh_known_hosts_e known = ssh_session_is_known_server(session);
        const bool changed = known == SSH_KNOWN_HOSTS_CHANGED || known == SSH_KNOWN_HOSTS_OTHER;
        const bool unknown = known == SSH_KNOWN_HOSTS_UNKNOWN || known == SSH_KNOWN_HOSTS_NOT_FOUND;
        accept = !changed && !(unknown && host_keys.check == HostKeyCheck::Yes);
        if (self.HostFingerprint) self.HostFingerprint(print, accept);
        if (changed) {
            fail(1, "The host key of " + where() + " has changed (" + print +
                        "): it does not match the key recorded in " + recorded_at() +
                        ", so the connection was refused");
            return;
        }
        if (unknown && host_keys.check == HostKeyCheck::Yes) {
            fail(1, "The host key of " + where() + " (" + print + ") is not recorded in " +
                        known_hosts_path() +
                        ": record it with a first run with --host-key-check accept-new, or with "
                        "ssh-keyscan -p " +
                        std::to_string(port) + " " + host + " >> " + known_hosts_path());
            return;
        }
        if (!accept) {
            fail(1, "The host key of " + where() + " (" + print + ") was not accepted");
            return;
        }
        if (unknown && host_keys.check == HostKeyCheck::AcceptNew) record_host_key();
        set_phase(SshPhase::Authenticating);
        step_auth();
    }

    std::string known_hosts_path() const {
        return host_keys.known_hosts.empty() ? home_directory() + "/.ssh/known_hosts"
                                             : host_keys.known_hosts;
    }

    // The file and line that hold this host's recorded key, for the operator to look at.
    std::string recorded_at() const {
        const std::string path = known_hosts_path();
        const std::string name = port == 22 ? host : "[" + host + "]:" + std::to_string(port);
        std::ifstream in(path);
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            ssh_knownhosts_entry* entry = nullptr;
            if (line.empty() || line[0] == '#' ||
                ssh_known_hosts_parse_line(name.c_str(), line.c_str(), &entry) != SSH_OK) {
                continue;
            }
            ssh_knownhosts_entry_free(entry);
            return path + " line " + std::to_string(number);
        }
        return "known_hosts (" + path + " or /etc/ssh/ssh_known_hosts)";
    }

    // Records the key of a host seen for the first time; a file that cannot be written costs a
    // warning, not the check.
    void record_host_key() {
        const std::string path = known_hosts_path();
        // Folders that are missing are made private, as ssh makes ~/.ssh.
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            ::mkdir(path.substr(0, slash).c_str(), 0700);
        }
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        // Checks of the same host at once record it once: the first to hold the lock writes.
        if (fd >= 0) ::flock(fd, LOCK_EX);
        const bool written =
            fd >= 0 && (ssh_session_is_known_server(session) == SSH_KNOWN_HOSTS_OK ||
                        ssh_session_update_known_hosts(session) == SSH_OK);
        if (fd >= 0) ::close(fd);
        if (!written) {
            std::cerr << "varnok: warning: the host key of " << where()
                      << " could not be recorded in " << path
                      << (fd < 0 ? std::string(": ") + std::strerror(errno) : std::string())
                      << "\n";
        }
    }

    void step_auth() {
        const int rc = auth_method == 2 && key ? ssh_userauth_publickey(session, nullptr, key.get())
                                               : ssh_userauth_password(session, nullptr, password.c_str());
        if (rc == SSH_AUTH_AGAIN) return;
        if (rc != SSH_AUTH_SUCCESS) {
            const char* how = auth_method == 2 && key ? "private key" : "password";
            fail(2, "Login as '" + user + "' on " + where() + " with the " + how +
                        " failed: " + ssh_get_error(session));
            return;
        }
        connected_raised = true;
        if (self.Connected) self.Connected(0, std::string());
        if (phase == SshPhase::Closed) return;
        channel = ssh_channel_new(session);
        if (channel == nullptr) {
            fail(1, std::string("Cannot open a channel on ") + where() + ": " + ssh_get_error(session));
            return;
        }
        callbacks = {};
        callbacks.userdata = this;
        callbacks.channel_data_function = on_data;
        callbacks.channel_eof_function = on_eof;
        callbacks.channel_close_function = on_close;
        callbacks.channel_exit_status_function = on_exit_status;
        ssh_callbacks_init(&callbacks);
        ssh_set_channel_callbacks(channel, &callbacks);
        set_phase(SshPhase::OpeningChannel);
        step_open();
    }

    void step_open() {
        const int rc = ssh_channel_open_session(channel);
        if (rc == SSH_AGAIN) return;
        if (rc != SSH_OK) {
            fail(1, "The server " + where() + " refused a session channel: " + ssh_get_error(session));
            return;
        }
        set_phase(SshPhase::Executing);
        step_exec();
    }

    void step_exec() {
        const int rc = ssh_channel_request_exec(channel, command.c_str());
        if (rc == SSH_AGAIN) return;
        if (rc != SSH_OK) {
            fail(1, "The server " + where() + " refused to run the listing command: " +
                        ssh_get_error(session));
            return;
        }
        set_phase(SshPhase::Reading);
        step_read();
    }

    void step_read() {
        if (!eof && !closed) {
            if (ssh_channel_poll(channel, 0) == SSH_ERROR) {
                deliver();
                if (phase != SshPhase::Closed) fail(1, dropped_text());
                return;
            }
        }
        if ((eof || closed) && !exit_status && !closed) {
            ssh_channel_get_exit_status(channel);  // takes in the remaining packets
        }
        deliver();
        if (phase == SshPhase::Closed) return;
        if (overflow) {
            fail(1, "The listing from " + where() + " was longer than " +
                        std::to_string(SshClient::kMaxReceived >> 20) + " MiB; the check stopped reading it");
        } else if ((eof || closed) && (exit_status || closed)) {
            finish();
        } else if (!ssh_is_connected(session)) {
            // Output that ended with EOF counts as whole even when the close got lost.
            if (eof) finish();
            else fail(1, dropped_text());
        }
    }

    std::string dropped_text() const {
        std::string text = "The connection to " + where() + " was closed before the listing ended";
        const char* detail = session != nullptr ? ssh_get_error(session) : nullptr;
        if (detail != nullptr && *detail != '\0') text += std::string(" (") + detail + ")";
        return text;
    }

    static int on_data(ssh_session, ssh_channel, void* data, uint32_t len, int is_stderr,
                       void* userdata) {
        auto* impl = static_cast<Impl*>(userdata);
        if (is_stderr == 0 && !impl->overflow) {
            impl->received_total += len;
            if (impl->received_total > SshClient::kMaxReceived) {
                impl->overflow = true;
            } else {
                impl->inbox.append(static_cast<const char*>(data), len);
            }
        }
        return static_cast<int>(len);
    }
    static void on_eof(ssh_session, ssh_channel, void* userdata) {
        static_cast<Impl*>(userdata)->eof = true;
    }
    static void on_close(ssh_session, ssh_channel, void* userdata) {
        static_cast<Impl*>(userdata)->closed = true;
    }
    static void on_exit_status(ssh_session, ssh_channel, int, void* userdata) {
        static_cast<Impl*>(userdata)->exit_status = true;
    }

    // Announces what arrived, in pieces the 16-bit byte count can carry.
    void deliver() {
        while (phase != SshPhase::Closed) {
            const size_t pending = inbox.size() - inbox_offset;
            if (pending <= announced) break;
            const size_t n = std::min<size_t>(kMaxChunk, pending - announced);
            announced += n;
            if (self.Received) self.Received(static_cast<int16_t>(n));
        }
    }

    std::string take(size_t count) {
        const size_t n = std::min(count, inbox.size() - inbox_offset);
        std::string out = inbox.substr(inbox_offset, n);
        inbox_offset += n;
        announced = announced > n ? announced - n : 0;
        if (inbox_offset == inbox.size()) {
            inbox.clear();
            inbox_offset = 0;
        } else if (inbox_offset > inbox.size() / 2) {
            inbox.erase(0, inbox_offset);
            inbox_offset = 0;
        }
        return out;
    }

    int ms_left() const {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        // Rounded up, so the last sub-millisecond is slept and not spun.
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

    void prepare_resolver(std::vector<pollfd>& fds, int& timeout_ms) {
        ares_socket_t socks[ARES_GETSOCK_MAXNUM];
        const int mask = ares_getsock(resolver, socks, ARES_GETSOCK_MAXNUM);
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            short events = 0;
            if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
            if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
            if (events != 0) fds.push_back(pollfd{socks[i], events, 0});
        }
        const int left = ms_left();
        timeval max{left / 1000, (left % 1000) * 1000}, tv{};
        const timeval* t = ares_timeout(resolver, &max, &tv);
        if (t != nullptr) {
            timeout_ms = std::min<int>(
                timeout_ms, static_cast<int>(t->tv_sec * 1000 + (t->tv_usec + 999) / 1000));
        }
    }

    void prepare(std::vector<pollfd>& fds, int& timeout_ms) {
        first_fd = fds.size();
        if (phase == SshPhase::Resolving) {
            if (resolved) {
                timeout_ms = 0;
            } else if (resolver != nullptr) {
                prepare_resolver(fds, timeout_ms);
            }
        } else if (phase == SshPhase::TcpConnecting && tcp_fd >= 0) {
            fds.push_back(pollfd{tcp_fd, POLLOUT, 0});
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(address_deadline - Clock::now());
            timeout_ms = std::min<int>(timeout_ms, static_cast<int>(std::max<long>(0, left.count())));
        } else if (session != nullptr) {
            const int fd = ssh_get_fd(session);
            if (fd >= 0) {
                short events = POLLIN;
                if (ssh_get_poll_flags(session) & SSH_WRITE_PENDING) events |= POLLOUT;
                fds.push_back(pollfd{fd, events, 0});
            }
        }
        fd_count = fds.size() - first_fd;
        timeout_ms = std::min(timeout_ms, ms_left());
    }

    void advance(const std::vector<pollfd>& fds) {
        if (in_advance || phase == SshPhase::Idle || phase == SshPhase::Closed) return;
        in_advance = true;
        const bool mine = first_fd + fd_count <= fds.size();
        if (Clock::now() >= deadline) {
            const int seconds = time_limit <= 0 ? 30 : time_limit;
            const std::string text = "Timed out after " + std::to_string(seconds) +
                                     " seconds while " + phase_words(phase) + " (" + where() + ")";
            if (phase == SshPhase::Reading) deliver();
            if (phase != SshPhase::Closed) fail(3, text);
            in_advance = false;
            return;
        }
        switch (phase) {
            case SshPhase::Resolving:
                if (mine) {
                    for (size_t i = first_fd; i < first_fd + fd_count; ++i) {
                        const pollfd& p = fds[i];
                        ares_process_fd(resolver, (p.revents & (POLLIN | POLLERR | POLLHUP)) ? p.fd : ARES_SOCKET_BAD,
                                        (p.revents & POLLOUT) ? p.fd : ARES_SOCKET_BAD);
                    }
                }
                if (resolver != nullptr) ares_process_fd(resolver, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
                step_resolving();
                break;
            case SshPhase::TcpConnecting: {
                short revents = 0;
                if (mine && fd_count == 1 && fds[first_fd].fd == tcp_fd) revents = fds[first_fd].revents;
                if (revents == 0 && Clock::now() >= address_deadline && next_address < addresses.size()) {
                    ::close(tcp_fd);
                    tcp_fd = -1;
                    tcp_error = "Connection timed out";
                    if (!try_next_address()) fail(1, "Cannot connect to " + where() + ": " + tcp_error);
                    break;
                }
                step_tcp(revents);
                break;
            }
            case SshPhase::Handshake:
                step_handshake();
                break;
            case SshPhase::Authenticating:
                step_auth();
                break;
            case SshPhase::OpeningChannel:
                step_open();
                break;
            case SshPhase::Executing:
                step_exec();
                break;
            case SshPhase::Reading:
                step_read();
                break;
            default:
                break;
        }
        in_advance = false;
    }
};

SshClient::SshClient() : impl_(std::make_unique<Impl>(*this)) { init_libraries(); }

SshClient::~SshClient() {
    unregister_live_client(this);
}

void SshClient::set_remote_host(const std::string& host) { impl_->host = host; }
void SshClient::set_remote_port(int16_t port) { impl_->port = static_cast<uint16_t>(port); }
void SshClient::set_login_name(const std::string& user) { impl_->user = user; }
void SshClient::set_password(const std::string& password) { impl_->password = password; }
void SshClient::set_authentication_method(int method) { impl_->auth_method = method; }

void SshClient::set_private_key(const std::string& key_text) {
    ssh_key raw = nullptr;
    if (ssh_pki_import_privkey_base64(key_text.c_str(), nullptr, nullptr, nullptr, &raw) != SSH_OK) {
        throw SshError("The private key text cannot be read");
    }
    impl_->key.reset(raw);
}

const std::string& SshClient::command_text() const { return impl_->command; }
void SshClient::set_command_text(const std::string& command) { impl_->command = command; }
void SshClient::set_protocol(int selection) { impl_->protocol = selection; }
void SshClient::set_time_limit(int16_t seconds) { impl_->time_limit = seconds; }
void SshClient::set_host_key_policy(const HostKeyPolicy& policy) { impl_->host_keys = policy; }

void SshClient::connect() {
    if (impl_->phase != SshPhase::Idle) throw SshError("The client has already connected");
    impl_->start();
}

std::string SshClient::fetch(int16_t count, int32_t) {
    return count <= 0 ? std::string() : impl_->take(static_cast<size_t>(count));
}

SshPhase SshClient::phase() const { return impl_->phase; }

const std::string& SshClient::end_error() const { return impl_->end_error; }

void SshClient::prepare_poll(std::vector<pollfd>& fds, int& timeout_ms) { impl_->prepare(fds, timeout_ms); }

void SshClient::advance(const std::vector<pollfd>& fds) { impl_->advance(fds); }

}  // namespace varnok
