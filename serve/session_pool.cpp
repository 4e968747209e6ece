// SPDX-License-Identifier: Apache-2.0
#include "serve/session_pool.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <optional>

#include "automation/automation_error.h"
#include "check/frmmain.h"
#include "check/varnok_com.h"
#include "listing/host_key_policy.h"
#include "listing/remote_command.h"
#include "listing/session_driver.h"
#include "listing/session_opener.h"
#include "serve/host_names.h"
#include "serve/session_command.h"
#include "settings/param_string.h"
#include "state/defaults.h"

namespace varnok {
namespace {

using Clock = std::chrono::steady_clock;

// The port a login of s uses.
uint16_t port_of(const CheckSettingsRecord& s) {
    return static_cast<uint16_t>(port_or_default(s.Port));
}

// How long a request whose channel the host refused waits before it asks again, at most.
constexpr std::chrono::milliseconds kRefusedRetry{20};

// What a request logs in with besides its settings, and where it came from.
struct Credentials {
    std::string address;  // the host's, which every spelling of it shares
    HostKeyPolicy host_keys;
    std::optional<std::string> key_text;
    RequestOrigin origin;
    std::optional<Clock::time_point> deadline;  // at the latest, whatever the time limit says
};

// One session and what the requests on it share. Its fields are guarded by lock.mutex.
struct Slot {
    SessionLock lock;
    std::unique_ptr<SshSession> session;
    std::vector<std::string> warnings;        // the last login's, told again with every listing
    Clock::time_point opened = Clock::now();  // of the session, at its login
    unsigned long logins = 0;                 // sessions this slot has opened
    Clock::time_point last_used = Clock::now();
    Clock::time_point last_keepalive = Clock::now();
    int channels = 0;         // granted to requests now
    int limit = 1;            // channels at once: the setting, or fewer where the host refused
    int waiting = 0;          // requests that hold or wait for the slot
    bool logging_in = false;  // a request logs in for the slot, without the lock
    bool broken = false;      // the session failed under a command: it takes no new one

    // Nobody uses or waits for it: it may be closed.
    bool idle() const { return session && waiting == 0 && channels == 0 && !logging_in; }
};

}  // namespace

struct SessionPool::Impl {
    const PoolSettings settings;
    LoginSlots logins_allowed;
    LoginBackoff backoff;
    AddressGate addresses;
    HostNames names;
    unsigned char hash_key[32];
    mutable std::mutex mutex;  // guards slots, open and figures
    std::map<std::string, std::shared_ptr<Slot>> slots;
    size_t open = 0;      // sessions logged in
    size_t reserved = 0;  // places held by logins in progress, so that they stay under the cap
    PoolFigures figures;

    explicit Impl(const PoolSettings& p)
        : settings(p),
          logins_allowed(std::max(p.max_logins, 1),
                         std::clamp(p.http_logins > 0 ? p.http_logins : p.max_logins / 2, 1,
                                    std::max(p.max_logins, 1))),
          backoff(p.login_backoff) {
        if (RAND_bytes(hash_key, sizeof hash_key) != 1) throw std::runtime_error("no random key");
    }

    void opened(Slot& slot, std::unique_ptr<SshSession> session) {
        slot.session = std::move(session);
        slot.session->detect_dead_peer(settings.keepalive);
        slot.opened = slot.last_keepalive = Clock::now();
        slot.broken = false;
        slot.limit = std::max(settings.max_channels, 1);
        slot.lock.most_opened = 0;
        ++slot.logins;
    }

    // Ends the slot's session, whose lock the caller holds and on which no command runs; never
    // under the pool's lock.
    void close(Slot& slot, bool orderly) {
        if (!slot.session) return;
        if (orderly) slot.session->close();
        slot.session.reset();
        const std::lock_guard lock(mutex);
        --open;
    }

    // Below the cap, or made so by closing the least recently used idle session; false when
    // every session is in use.
    bool make_room() {
        std::unique_lock lock(mutex);
        if (open + reserved < settings.max_sessions) {
            ++reserved;
            return true;
        }
        std::shared_ptr<Slot> oldest;
        std::unique_lock<std::mutex> oldest_held;
        for (const auto& [key, slot] : slots) {
            // Slots busy enough to be locked now are in use; the order pool, then slot, is
            // taken only with try_lock, so it cannot deadlock with a slot's holder.
            std::unique_lock held(slot->lock.mutex, std::try_to_lock);
            if (!held || !slot->idle()) continue;
            if (!oldest || slot->last_used < oldest->last_used) {
                oldest = slot;
                oldest_held = std::move(held);
            }
        }
        if (!oldest) return false;
        ++figures.evicted;
        ++reserved;  // the place of the session about to close
        lock.unlock();
        close(*oldest, true);
        return true;
    }

    // The credentials as a keyed hash, so that the map holds no password and a request rides a
    // session only with the secret that opened it.
    std::string credential_hash(const CheckSettingsRecord& s,
                                const std::optional<std::string>& key_text) const {
        std::string secret = s.Password + '\0' + s.KeyFile + '\0' + key_text.value_or("");
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

    std::optional<Refusal> login(const CheckSettingsRecord& s, const Credentials& c,
                                 Clock::time_point deadline, int seconds,
                                 std::unique_ptr<SshSession>& out,
                                 std::vector<std::string>& warnings) {
        LoginTarget target{s.Hostname, port_of(s), s.Username, s.Password, nullptr, c.host_keys};
        const std::string where = remote_words(target.host, target.port);
        SshKeys key_object;
        try {
            if (!s.KeyFile.empty()) {
                // The daemon opens no file a request names: the key comes as text or not at all.
                if (!c.key_text)
                    return Refusal{FailureKind::Auth, "Cannot read the key file '" + s.KeyFile +
                                                          "': varnok serve opens no file a "
                                                          "request names"};
                load_login_key(key_object, s, c.key_text);
                target.key = key_object.key();
            }
        } catch (const SshError& e) {
            return Refusal{e.kind(), e.what()};
        }
        if (!logins_allowed.acquire_until(c.origin, deadline))
            return Refusal{FailureKind::Timeout, timed_out_text(seconds, SshPhase::Idle, where)};
        struct Release {
            LoginSlots& slots;
            RequestOrigin origin;
            ~Release() { slots.release(origin); }
        } release{logins_allowed, c.origin};
        return open_session(std::move(target), deadline, seconds, out, warnings);
    }

    // Logs in for the slot under key, unless its login is backing off or the pool is full;
    // counts the result. Runs without the slot's lock.
    std::optional<Refusal> log_in(const std::string& key, const CheckSettingsRecord& s,
                                  const Credentials& c, Clock::time_point deadline, int seconds,
                                  std::unique_ptr<SshSession>& out,
                                  std::vector<std::string>& warnings) {
        if (auto waiting = backoff.refused(key, Clock::now())) return waiting;
        if (!make_room())
            return Refusal{FailureKind::Capacity, "varnok serve holds " +
                                                      std::to_string(settings.max_sessions) +
                                                      " sessions, every one of them in use"};
        const uint16_t port = port_of(s);
        const std::string address = c.address + ' ' + std::to_string(port);
        std::optional<Refusal> refusal;
        const bool tried = addresses.enter(address, deadline);
        if (tried) {
            refusal = login(s, c, deadline, seconds, out, warnings);
            addresses.leave(address, refusal);
            backoff.tell(key, refusal, Clock::now());
        } else {
            refusal = Refusal{FailureKind::Timeout, timed_out_text(seconds, SshPhase::Idle,
                                                                   remote_words(s.Hostname, port))};
        }
        const std::lock_guard lock(mutex);
        // The place held for the login becomes the session's, or is given back.
        --reserved;
        if (!refusal) ++open;
        if (tried) ++figures.logins[refusal ? failure_name(refusal->kind) : "ok"];
        return refusal;
    }

    // Takes the listing on the slot's session (held holds its lock), on a channel of its own
    // beside other requests' up to the host's limit. Without a session, the request logs in
    // (or waits for the one logging in); a session older than the longest it may prove its
    // credentials for, or one that broke, takes no new request and the next one logs in again
    // once its commands are done. Every request on a session hears its login's warnings, as
    // each direct check would at its own.
    CapturedListing listing(Slot& slot, std::unique_lock<std::mutex>& held, const std::string& key,
                            const CheckSettingsRecord& s, const Credentials& c,
                            const std::string& command, Clock::time_point deadline, int seconds) {
        const std::string where = remote_words(s.Hostname, port_of(s));
        bool fresh = false;  // this request logged the session in
        for (;;) {
            const bool retired = slot.session && (slot.broken || Clock::now() - slot.opened >=
                                                                     settings.max_session_age);
            if (retired && slot.channels == 0) close(slot, !slot.broken);
            if (!slot.session && !slot.logging_in) {
                slot.logging_in = true;
                held.unlock();
                std::unique_ptr<SshSession> session;
                std::vector<std::string> warnings;
                std::optional<Refusal> refusal =
                    log_in(key, s, c, deadline, seconds, session, warnings);
                held.lock();
                slot.logging_in = false;
                slot.lock.changed.notify_all();
                if (refusal) return {true, {}, refusal->text, refusal->kind};
                opened(slot, std::move(session));
                slot.warnings = std::move(warnings);
                fresh = true;
                continue;
            }
            if (slot.session && !retired && slot.channels < slot.limit) {
                ++slot.channels;
                CommandOutcome out =
                    run_command(*slot.session, slot.lock, held, command, deadline, seconds, where);
                --slot.channels;
                slot.lock.changed.notify_all();
                slot.last_used = Clock::now();
                // A host refuses a channel over its limit, and for a moment also one that
                // follows a channel just closed. What it allows is at most the channels now
                // in use (some may still wait for its answer) and at least the most it has
                // granted at once (a grant another request has not yet seen is not counted
                // there); the request tries again once a channel ends, or shortly.
                if (out.refused && slot.lock.most_opened > 0 && ms_left(deadline) > 0) {
                    slot.limit = std::max(slot.channels, slot.lock.most_opened);
                    slot.lock.changed.wait_for(held, kRefusedRetry);
                    continue;
                }
                if (!out.broken) return out.listing;
                slot.broken = true;
                if (fresh || ms_left(deadline) == 0) return out.listing;
                continue;
            }
            if (slot.lock.changed.wait_until(held, deadline) == std::cv_status::timeout)
                return {
                    true,
                    {},
                    timed_out_text(seconds,
                                   slot.session ? SshPhase::OpeningChannel : SshPhase::Idle, where),
                    FailureKind::Timeout};
        }
    }

    // The session a login rides: one per address (or host), port, user, host-key policy and
    // credentials.
    std::string session_key(const std::string& host, const CheckSettingsRecord& s,
                            const Credentials& c) const {
        return host + '\0' + std::to_string(port_of(s)) + '\0' + s.Username + '\0' +
               c.host_keys.known_hosts + '\0' +
               std::to_string(static_cast<int>(c.host_keys.check)) + '\0' +
               credential_hash(s, c.key_text);
    }

    // Runs command on the session under key within the login's time limit; the warnings of its
    // login go to warnings.
    CapturedListing take(const CheckSettingsRecord& s, const Credentials& c,
                         const std::string& command, std::vector<std::string>& warnings,
                         SessionFacts* facts = nullptr) {
        const int seconds = time_limit_or_default(s.TimeoutSeconds);
        const auto deadline = std::min(Clock::now() + std::chrono::seconds(seconds),
                                       c.deadline.value_or(Clock::time_point::max()));
        // Every spelling of one host shares its session; the login uses the name as written.
        Credentials with_address = c;
        with_address.address = names.address_of(s.Hostname, deadline);
        const std::string key = session_key(with_address.address, s, c);
        std::shared_ptr<Slot> slot;
        {
            const std::lock_guard lock(mutex);
            auto& entry = slots[key];
            if (!entry) entry = std::make_shared<Slot>();
            slot = entry;
        }
        std::unique_lock held(slot->lock.mutex);
        ++slot->waiting;
        const bool was_open = slot->session != nullptr;
        const unsigned long logins_before = slot->logins;
        CapturedListing got =
            listing(*slot, held, key, s, with_address, command, deadline, seconds);
        --slot->waiting;
        slot->lock.changed.notify_all();
        warnings = slot->warnings;
        if (facts) {
            const auto now = Clock::now();
            // A session that aged out or broke under the request was not ridden.
            facts->reused = was_open && slot->logins == logins_before;
            facts->age_seconds =
                slot->session ? std::chrono::duration<double>(now - slot->opened).count() : 0;
            facts->backoff_seconds = backoff.seconds_left(key, now);
        }
        return got;
    }

    CheckReport check(const CheckRequest& r, RequestOrigin origin,
                      std::optional<Clock::time_point> deadline,
                      std::map<std::string, CapturedListing>& taken, SessionFacts* facts) {
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
        const Credentials c{{}, r.host_keys, r.key_text, origin, deadline};
        const std::string command = listing_command_line(s.OSType, s.AddWait);
        const std::string key = session_key(s.Hostname, s, c) + '\0' + command;
        auto it = taken.find(key);
        std::vector<std::string> warnings;  // the taker's only, as in a direct run of many rules
        if (it == taken.end()) it = taken.emplace(key, take(s, c, command, warnings, facts)).first;
        CheckReport report;
        try {
            VarnokCom com;
            com.form().host_keys = r.host_keys;
            com.form().key_text = r.key_text;
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

SessionPool::SessionPool(const PoolSettings& settings) : impl_(std::make_unique<Impl>(settings)) {}

SessionPool::~SessionPool() = default;

std::vector<CheckReport> SessionPool::run(const std::vector<CheckRequest>& requests,
                                          RequestOrigin origin,
                                          std::optional<Clock::time_point> deadline,
                                          SessionFacts* facts) {
    std::vector<CheckReport> reports;
    std::map<std::string, CapturedListing> taken;
    for (const CheckRequest& r : requests) {
        CheckReport report;
        try {
            report = impl_->check(r, origin, deadline, taken, reports.empty() ? facts : nullptr);
        } catch (const std::exception& e) {
            const AutomationError error = AutomationError::internal_error(e.what());
            report.failure = FailureKind::Call;
            report.error_number = error.number();
            report.text = error.what();
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
                                const std::string& command,
                                const std::optional<std::string>& key_text) {
    RawOutcome out;
    try {
        std::vector<std::string> warnings;
        CapturedListing got =
            impl_->take(login, {{}, host_keys, key_text, RequestOrigin::Socket, std::nullopt},
                        command, warnings);
        out = {std::move(got.received), got.failure, std::move(got.error), std::move(warnings)};
    } catch (const std::exception& e) {
        out.failure = FailureKind::Call;
        out.text = AutomationError::internal_error(e.what()).what();
    }
    if (out.failure != FailureKind::None) impl_->count_failure(out.failure);
    const std::lock_guard lock(impl_->mutex);
    ++impl_->figures.requests;
    return out;
}

void SessionPool::tend() {
    Impl& d = *impl_;
    const auto now = Clock::now();
    d.backoff.prune(now);
    std::vector<std::shared_ptr<Slot>> slots;
    {
        const std::lock_guard lock(d.mutex);
        for (const auto& [key, slot] : d.slots) slots.push_back(slot);
    }
    // The network work happens outside the pool's lock: a new request never waits for it.
    for (const std::shared_ptr<Slot>& slot : slots) {
        std::unique_lock held(slot->lock.mutex, std::try_to_lock);
        if (!held || !slot->idle()) continue;
        if (now - slot->last_used >= d.settings.idle ||
            now - slot->opened >= d.settings.max_session_age) {
            d.close(*slot, true);
        } else if (now - slot->last_keepalive >= d.settings.keepalive) {
            slot->last_keepalive = now;
            // A dead peer shows as a failed write or a dropped connection.
            if (ssh_send_ignore(slot->session->handle(), "") != SSH_OK ||
                !slot->session->connected())
                d.close(*slot, false);
        }
    }
    slots.clear();
    const std::lock_guard lock(d.mutex);
    std::erase_if(d.slots, [](const auto& entry) {
        const std::shared_ptr<Slot>& slot = entry.second;
        if (slot.use_count() != 1) return false;
        const std::unique_lock held(slot->lock.mutex, std::try_to_lock);
        return held && !slot->session && !slot->logging_in;
    });
}

PoolFigures SessionPool::figures() const {
    const std::lock_guard lock(impl_->mutex);
    PoolFigures f = impl_->figures;
    f.sessions_open = static_cast<int>(impl_->open);
    return f;
}

}  // namespace varnok
