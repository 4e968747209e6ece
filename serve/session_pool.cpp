// SPDX-License-Identifier: Apache-2.0
#include "serve/session_pool.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <poll.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <optional>
#include <semaphore>

#include "automation/automation_error.h"
#include "check/frmmain.h"
#include "check/varnok_com.h"
#include "listing/host_key_policy.h"
#include "listing/session_driver.h"
#include "listing/session_opener.h"
#include "serve/session_command.h"
#include "settings/param_string.h"

namespace varnok {
namespace {

using Clock = std::chrono::steady_clock;

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One open session and the lock that lets one command at a time run on it.
struct Slot {
    std::timed_mutex busy;
    std::unique_ptr<SshSession> session;  // guarded by busy
    std::vector<std::string> warnings;    // the last login's, told again with every listing
    Clock::time_point last_used = Clock::now();
    Clock::time_point last_keepalive = Clock::now();
};

}  // namespace

struct SessionPool::Impl {
    std::chrono::seconds idle, keepalive;
    std::counting_semaphore<1024> logins_allowed;
    unsigned char hash_key[32];
    mutable std::mutex mutex;  // guards slots and figures
    std::map<std::string, std::shared_ptr<Slot>> slots;
    PoolFigures figures;

    Impl(std::chrono::seconds i, std::chrono::seconds k, int max_logins)
        : idle(i), keepalive(k), logins_allowed(std::clamp(max_logins, 1, 1024)) {
        if (RAND_bytes(hash_key, sizeof hash_key) != 1) throw std::runtime_error("no random key");
    }

    // The credentials as a keyed hash, so that the map holds no password and a request rides a
    // session only with the secret that opened it.
    std::string credential_hash(const CheckSettingsRecord& s) const {
        std::string secret = s.Password + '\0' + s.KeyFile + '\0';
        if (!s.KeyFile.empty()) secret += file_text(s.KeyFile);
        unsigned char mac[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        HMAC(EVP_sha256(), hash_key, sizeof hash_key,
             reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), mac, &size);
        OPENSSL_cleanse(secret.data(), secret.size());
        return std::string(reinterpret_cast<char*>(mac), size);
    }

    void count_failure(FailureKind kind) {
        const std::lock_guard lock(mutex);
        ++figures.failures[failure_name(kind)];
    }

    std::optional<Refusal> login(const CheckSettingsRecord& s, const HostKeyPolicy& keys,
                                 Clock::time_point deadline, int seconds,
                                 std::unique_ptr<SshSession>& out,
                                 std::vector<std::string>& warnings) {
        LoginTarget target{s.Hostname, static_cast<uint16_t>(s.Port != 0 ? s.Port : 22),
                           s.Username, s.Password,
                           nullptr,    keys};
        const std::string where = remote_words(target.host, target.port);
        SshKeys key_object;
        try {
            if (!s.KeyFile.empty()) {
                key_object.load_private_key(
                    s.KeyFile, s.Password.empty() ? std::nullopt : std::optional(s.Password));
                target.key = key_object.key();
            }
        } catch (const SshError& e) {
            return Refusal{e.kind(), e.what()};
        }
        if (!logins_allowed.try_acquire_until(deadline))
            return Refusal{FailureKind::Timeout, timed_out(seconds, "connecting", where)};
        struct Release {
            std::counting_semaphore<1024>& s;
            ~Release() { s.release(); }
        } release{logins_allowed};
        {
            const std::lock_guard lock(mutex);
            ++figures.logins;
        }
        SshClient events;
        events.Warning = [&warnings](const std::string& text) { warnings.push_back(text); };
        SshPhase phase = SshPhase::Idle;
        SessionOpener opener(events, std::move(target), [&phase](SshPhase p) { phase = p; });
        try {
            opener.start(deadline);
        } catch (const SshError& e) {
            return Refusal{e.kind(), e.what()};
        }
        for (;;) {
            std::vector<pollfd> fds;
            int timeout = ms_left(deadline);
            opener.prepare_poll(fds, timeout, ms_left(deadline));
            if (ms_left(deadline) == 0) {
                opener.close();
                static constexpr const char* kWords[] = {
                    "connecting", "resolving the host name", "connecting",
                    "waiting for the SSH handshake", "logging in"};
                const size_t at = std::min<size_t>(static_cast<size_t>(phase), 4);
                return Refusal{FailureKind::Timeout, timed_out(seconds, kWords[at], where)};
            }
            wait_for(fds, std::max(timeout, 0));
            const SessionOpener::State state = opener.advance(fds);
            if (state == SessionOpener::State::Failed) return opener.failure();
            if (state == SessionOpener::State::LoggedIn) {
                out = opener.take_session();
                return std::nullopt;
            }
        }
    }

    // Takes the listing on the slot's session, logging in where it has none; a session that
    // breaks under a request is dropped and the request logs in again while time is left. Every
    // request on a session hears its login's warnings, as each direct check would at its own.
    CapturedListing listing(Slot& slot, const CheckSettingsRecord& s, const HostKeyPolicy& keys,
                            const std::string& command, Clock::time_point deadline, int seconds) {
        const std::string where = remote_words(s.Hostname, s.Port != 0 ? s.Port : 22);
        for (;;) {
            const bool fresh = !slot.session;
            if (fresh) {
                slot.warnings.clear();
                if (auto refusal = login(s, keys, deadline, seconds, slot.session, slot.warnings))
                    return {true, {}, refusal->text, refusal->kind};
            }
            CommandOutcome out = run_command(*slot.session, command, deadline, seconds, where);
            if (!out.broken) {
                slot.last_used = Clock::now();
                return out.listing;
            }
            slot.session.reset();
            if (fresh || ms_left(deadline) == 0) return out.listing;
        }
    }

    // The session a login rides: one per host, port, user, host-key policy and credentials.
    std::string session_key(const CheckSettingsRecord& s, const HostKeyPolicy& keys) const {
        return s.Hostname + '\0' + std::to_string(s.Port != 0 ? s.Port : 22) + '\0' + s.Username +
               '\0' + keys.known_hosts + '\0' + std::to_string(static_cast<int>(keys.check)) +
               '\0' + credential_hash(s);
    }

    // Runs command on the session under key within the login's time limit, waiting for a
    // command already on it; the warnings of its login go to warnings.
    CapturedListing take(const std::string& key, const CheckSettingsRecord& s,
                         const HostKeyPolicy& keys, const std::string& command,
                         std::vector<std::string>& warnings) {
        const int seconds = s.TimeoutSeconds <= 0 ? 30 : s.TimeoutSeconds;
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        std::shared_ptr<Slot> slot;
        {
            const std::lock_guard lock(mutex);
            auto& entry = slots[key];
            if (!entry) entry = std::make_shared<Slot>();
            slot = entry;
        }
        if (!slot->busy.try_lock_until(deadline)) {
            return {true,
                    {},
                    timed_out(seconds, "connecting",
                              remote_words(s.Hostname, s.Port != 0 ? s.Port : 22)),
                    FailureKind::Timeout};
        }
        const std::lock_guard lock(slot->busy, std::adopt_lock);
        CapturedListing got = listing(*slot, s, keys, command, deadline, seconds);
        warnings = slot->warnings;
        return got;
    }

    CheckReport check(const CheckRequest& r, std::map<std::string, CapturedListing>& taken) {
        CheckSettingsRecord s;
        try {
            s = decode_check_settings(Variant(r.timeout), Variant(r.host), Variant(r.param));
        } catch (const AutomationError&) {
            return run_checks({r}).front();
        }
        // What cannot reach a login is the direct check's to answer: it connects nowhere.
        if (s.Username.empty() || (s.Password.empty() && s.KeyFile.empty()) || s.Protocol == "1" ||
            s.Hostname.empty())
            return run_checks({r}).front();
        const std::string key = session_key(s, r.host_keys);
        const std::string command = listing_command_line(s.OSType, s.AddWait);
        auto it = taken.find(key + '\0' + command);
        std::vector<std::string> warnings;  // the taker's only, as in a direct run of many rules
        if (it == taken.end()) {
            it = taken.emplace(key + '\0' + command, take(key, s, r.host_keys, command, warnings))
                     .first;
        }
        CheckReport report;
        try {
            VarnokCom com;
            com.form().host_keys = r.host_keys;
            com.put_xc_hostname(Variant(r.host));
            com.put_xc_timeout(Variant(r.timeout));
            com.put_xc_parameter(Variant(r.param));
            com.docheck_on(it->second);
            report = com.last_report();
        } catch (const AutomationError&) {
            return run_checks({r}).front();
        }
        report.host = r.host;
        report.rule_name = r.rule_name;
        report.warnings.insert(report.warnings.begin(), warnings.begin(), warnings.end());
        return report;
    }
};

SessionPool::SessionPool(std::chrono::seconds idle, std::chrono::seconds keepalive, int max_logins)
    : impl_(std::make_unique<Impl>(idle, keepalive, max_logins)) {}

SessionPool::~SessionPool() = default;

std::vector<CheckReport> SessionPool::run(const std::vector<CheckRequest>& requests) {
    std::vector<CheckReport> reports;
    std::map<std::string, CapturedListing> taken;
    for (const CheckRequest& r : requests) {
        CheckReport report;
        try {
            report = impl_->check(r, taken);
        } catch (const std::exception& e) {
            report.failure = FailureKind::Call;
            report.error_number = 51;
            report.text = std::string("Internal error: ") + e.what();
            report.host = r.host;
            report.rule_name = r.rule_name;
        }
        if (report.failure != FailureKind::None) impl_->count_failure(report.failure);
        reports.push_back(std::move(report));
    }
    const std::lock_guard lock(impl_->mutex);
    impl_->figures.requests += requests.size();
    return reports;
}

RawOutcome SessionPool::run_raw(const CheckSettingsRecord& login, const HostKeyPolicy& host_keys,
                                const std::string& command) {
    RawOutcome out;
    try {
        std::vector<std::string> warnings;
        CapturedListing got =
            impl_->take(impl_->session_key(login, host_keys), login, host_keys, command, warnings);
        out = {std::move(got.received), got.failure, std::move(got.error), std::move(warnings)};
    } catch (const std::exception& e) {
        out.failure = FailureKind::Call;
        out.text = std::string("Internal error: ") + e.what();
    }
    if (out.failure != FailureKind::None) impl_->count_failure(out.failure);
    const std::lock_guard lock(impl_->mutex);
    ++impl_->figures.requests;
    return out;
}

void SessionPool::tend() {
    const auto now = Clock::now();
    const std::lock_guard lock(impl_->mutex);
    for (auto it = impl_->slots.begin(); it != impl_->slots.end();) {
        Slot& slot = *it->second;
        if (!slot.busy.try_lock()) {
            ++it;
            continue;
        }
        if (slot.session && now - slot.last_used < impl_->idle &&
            now - slot.last_keepalive >= impl_->keepalive) {
            slot.last_keepalive = now;
            // A dead peer shows as a failed write or a dropped connection.
            if (ssh_send_ignore(slot.session->handle(), "") != SSH_OK ||
                !ssh_is_connected(slot.session->handle()))
                slot.session.reset();
        }
        if (slot.session && now - slot.last_used >= impl_->idle) {
            slot.session->close();
            slot.session.reset();
        }
        const bool gone = !slot.session;
        slot.busy.unlock();
        if (gone && it->second.use_count() == 1) {
            it = impl_->slots.erase(it);
        } else {
            ++it;
        }
    }
}

PoolFigures SessionPool::figures() const {
    const std::lock_guard lock(impl_->mutex);
    PoolFigures f = impl_->figures;
    f.sessions_open = 0;
    for (const auto& [key, slot] : impl_->slots) {
        if (slot->busy.try_lock()) {
            f.sessions_open += slot->session ? 1 : 0;
            slot->busy.unlock();
        } else {
            ++f.sessions_open;
        }
    }
    return f;
}

}  // namespace varnok
