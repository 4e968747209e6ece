// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace varnok {

/// Why a check or a listing did not give a count. The values are stable: the SSH client reports
/// them as the non-zero ErrorCode of its Connected event.
enum class FailureKind : short {
    None = 0,
    Connect = 1,   ///< name resolution, TCP connect, handshake or a dropped connection
    HostKey = 2,   ///< a changed, unknown (under "yes") or unusable host key
    Auth = 3,      ///< the login was refused, or the key file could not be used
    Timeout = 4,   ///< the time limit passed
    Listing = 5,   ///< the listing could not be run or read whole (channel, size cap)
    Settings = 6,  ///< the settings name no user or no password/key
    Call = 7,      ///< a numbered automation error ended the call
    Capacity = 8,  ///< varnok serve holds as many sessions as it may, all busy
};

/// A lower-case name for the kind ("none", "connect", "hostkey", "auth", "timeout", "listing",
/// "settings", "call", "capacity"), as metrics and JSON name it.
constexpr const char* failure_name(FailureKind kind) {
    switch (kind) {
        case FailureKind::None:
            return "none";
        case FailureKind::Connect:
            return "connect";
        case FailureKind::HostKey:
            return "hostkey";
        case FailureKind::Auth:
            return "auth";
        case FailureKind::Timeout:
            return "timeout";
        case FailureKind::Listing:
            return "listing";
        case FailureKind::Settings:
            return "settings";
        case FailureKind::Call:
            return "call";
        case FailureKind::Capacity:
            return "capacity";
    }
    return "none";
}

}  // namespace varnok
