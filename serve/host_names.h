// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace varnok {

/// The address a host name stands for, so that every spelling of one host (127.0.0.1, 127.1,
/// 0x7f.0.0.1, localhost) shares one session. Answers are kept for a minute, since a held
/// session's checks would otherwise ask the name server every time. Thread-safe.
class HostNames {
  public:
    using Clock = std::chrono::steady_clock;
    /// The lowest address of host as text, looked up until deadline at most; host itself when
    /// it has none (the login then fails as a direct check's would).
    std::string address_of(const std::string& host, Clock::time_point deadline);

  private:
    struct Known {
        std::string address;
        Clock::time_point until;
    };
    std::mutex mutex_;
    std::map<std::string, Known> known_;
};

}  // namespace varnok
