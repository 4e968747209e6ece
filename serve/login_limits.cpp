// SPDX-License-Identifier: Apache-2.0
#include "serve/login_limits.h"

#include <algorithm>
#include <cmath>

namespace varnok {

bool LoginSlots::acquire_until(RequestOrigin origin, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    const bool http = origin == RequestOrigin::Http;
    if (!freed_.wait_until(lock, deadline,
                           [&] { return in_use_ < total_ && (!http || http_in_use_ < http_); }))
        return false;
    ++in_use_;
    if (http) ++http_in_use_;
    return true;
}

void LoginSlots::release(RequestOrigin origin) {
    {
        const std::lock_guard lock(mutex_);
        --in_use_;
        if (origin == RequestOrigin::Http) --http_in_use_;
    }
    freed_.notify_all();
}

std::optional<Refusal> LoginBackoff::refused(const std::string& login,
                                             Clock::time_point now) const {
    const std::lock_guard lock(mutex_);
    const auto wait = waits_.find(login);
    if (wait == waits_.end() || now >= wait->second.until) return std::nullopt;
    const auto left = std::chrono::ceil<std::chrono::seconds>(wait->second.until - now).count();
    return Refusal{wait->second.failure.kind, wait->second.failure.text + " (not tried again for " +
                                                  std::to_string(left) + " seconds)"};
}

double LoginBackoff::seconds_left(const std::string& login, Clock::time_point now) const {
    const std::lock_guard lock(mutex_);
    const auto wait = waits_.find(login);
    if (wait == waits_.end() || now >= wait->second.until) return 0;
    return std::chrono::duration<double>(wait->second.until - now).count();
}

void LoginBackoff::tell(const std::string& login, const std::optional<Refusal>& failure,
                        Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    if (!failure) {
        waits_.erase(login);
        return;
    }
    if (failure->kind != FailureKind::Auth && failure->kind != FailureKind::HostKey) return;
    const auto known = waits_.find(login);
    const int doublings = known == waits_.end() ? 0 : std::min(known->second.doublings + 1, 4);
    waits_[login] = {*failure, now + base_ * (1 << doublings), doublings};
}

void LoginBackoff::prune(Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    // A wait is remembered past its end for as long as the longest wait, so that a login that
    // keeps failing keeps doubling.
    std::erase_if(waits_, [&](const auto& w) { return now >= w.second.until + base_ * 16; });
}

bool AddressGate::enter(const std::string& address, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    const auto free = [&] {
        const auto it = states_.find(address);
        return it == states_.end() || !it->second.failing || !it->second.trying;
    };
    // Let through at its deadline, a request would only count a login it has no time for.
    if (!changed_.wait_until(lock, deadline, free) || Clock::now() >= deadline) return false;
    const auto it = states_.find(address);
    if (it != states_.end()) it->second.trying = true;
    return true;
}

void AddressGate::leave(const std::string& address, const std::optional<Refusal>& failure) {
    {
        const std::lock_guard lock(mutex_);
        const bool failing = failure && (failure->kind == FailureKind::Connect ||
                                         failure->kind == FailureKind::Timeout);
        if (failing)
            states_[address] = {true, false};
        else
            states_.erase(address);
    }
    changed_.notify_all();
}

}  // namespace varnok
