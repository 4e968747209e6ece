// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "automation/variant.h"
#include "check/check_report.h"
#include "listing/session_driver.h"

namespace varnok {

/// Name of the debug log appended in the working directory.
inline constexpr const char* kDebugLogName = "varnokcom.log";

/// What a check's listing left behind, so that another rule with the same connection settings
/// can be decided on it without a second login.
struct CapturedListing {
    bool taken = false;  ///< false when the check connected nowhere
    std::string received;
    std::string error;
    FailureKind failure = FailureKind::None;
};

/// The check run: fills CheckSettings from the three properties, takes a listing through the
/// driver (or replays `replay`), counts the entries and applies the rule. Throws AutomationError
/// when a property cannot be converted.
CheckReport check_run(SessionDriver& driver, const Variant& hostname, const Variant& timeout,
                      const Variant& parameter, const CapturedListing* replay);

/// What the driver's last listing captured, for replay.
CapturedListing captured_listing(const SessionDriver& driver, bool taken);

}  // namespace varnok
