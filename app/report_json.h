// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include "check/check_report.h"

namespace varnok {

/// A report as `varnok serve` sends it to a client that formats the output itself.
void to_json(nlohmann::json& j, const CheckReport& report);

/// A report as the daemon sent it; throws nlohmann::json::exception when a field is missing.
void from_json(const nlohmann::json& j, CheckReport& report);

}  // namespace varnok
