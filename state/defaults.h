// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

namespace varnok {

/// The SSH port that a port setting of 0 stands for.
inline constexpr int kDefaultSshPort = 22;
/// The seconds that a time limit of 0 or below stands for.
inline constexpr int kDefaultTimeLimitSeconds = 30;

/// The port a connection uses for a port setting: the setting, or kDefaultSshPort for 0.
constexpr int16_t port_or_default(int16_t port) {
    return port != 0 ? port : static_cast<int16_t>(kDefaultSshPort);
}

/// The seconds a connection may take for a time limit setting: the setting, or
/// kDefaultTimeLimitSeconds for 0 and below.
constexpr int time_limit_or_default(int seconds) {
    return seconds > 0 ? seconds : kDefaultTimeLimitSeconds;
}

}  // namespace varnok
