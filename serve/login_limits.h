// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "listing/server_check.h"

namespace varnok {

/// Who sent a request: the engine over the socket, or a scrape over HTTP. Logins are shared so
/// that HTTP probes, which anyone who reaches the listener can send, never take them all.
enum class RequestOrigin { Socket, Http };

/// Logins in progress: at most total at once, of which HTTP probes hold at most http, so that a
/// flood of probes to silent hosts leaves the engine's checks the rest. Thread-safe.
class LoginSlots {
  public:
    using Clock = std::chrono::steady_clock;
    LoginSlots(int total, int http) : total_(total), http_(http) {}
    /// Takes a slot for origin, waiting until deadline at most; false when none came free.
    bool acquire_until(RequestOrigin origin, Clock::time_point deadline);
    /// Gives back a slot that origin took.
    void release(RequestOrigin origin);

  private:
    std::mutex mutex_;
    std::condition_variable freed_;
    const int total_, http_;
    int in_use_ = 0, http_in_use_ = 0;
};

/// Logins that failed as auth or hostkey are not tried again for a while, since sshd's
/// penalties and fail2ban count every failed login from the poller against all its modules: the
/// first wait is base, then twice that, up to 16 times base. Thread-safe.
class LoginBackoff {
  public:
    using Clock = std::chrono::steady_clock;
    explicit LoginBackoff(std::chrono::seconds base) : base_(base) {}
    /// The remembered failure of login while its wait lasts, its text saying when the next
    /// attempt is; nullopt when it may be tried.
    std::optional<Refusal> refused(const std::string& login, Clock::time_point now) const;
    /// Seconds of wait left for login (0 when none).
    double seconds_left(const std::string& login, Clock::time_point now) const;
    /// Tells the outcome of a login: an auth or hostkey failure starts or doubles the wait,
    /// success ends it; other failures leave it as it is.
    void tell(const std::string& login, const std::optional<Refusal>& failure,
              Clock::time_point now);
    /// Forgets waits that ended long ago, so that the table stays as small as the failing logins.
    void prune(Clock::time_point now);

  private:
    struct Wait {
        Refusal failure;
        Clock::time_point until;
        int doublings = 0;
    };
    const std::chrono::seconds base_;
    mutable std::mutex mutex_;
    std::map<std::string, Wait> waits_;
};

/// After a login to an address failed to connect or timed out, the next logins to it go one at
/// a time until one gets through: a host that is down sees one attempt, not one per login that
/// wants it. Thread-safe.
class AddressGate {
  public:
    using Clock = std::chrono::steady_clock;
    /// Waits, until deadline at most, for address to be free to try; false when it did not come
    /// free. An address with no recent failure is always free.
    bool enter(const std::string& address, Clock::time_point deadline);
    /// Tells how the login that entered ended: a connect failure or a timeout keeps the address
    /// one at a time, anything else frees it.
    void leave(const std::string& address, const std::optional<Refusal>& failure);

  private:
    struct State {
        bool failing = false;
        bool trying = false;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, State> states_;
};

}  // namespace varnok
