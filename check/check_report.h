// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "listing/failure.h"
#include "listing/ssh_client.h"

namespace varnok {

/// One check to run: the three inputs of the check object, plus how host keys are checked.
struct CheckRequest {
    std::string host;         ///< xc_hostname
    std::string timeout;      ///< xc_timeout, as text ("" is the 30-second default)
    std::string param;        ///< xc_parameter: the parameter string
    HostKeyPolicy host_keys;  ///< the command line's known_hosts policy
    std::string rule_name;    ///< the name the report goes under (a service, a metric label)
    /// The KEYF file's contents when the caller read it: `varnok serve` opens no file a request
    /// names, so it logs in only with a key it was given.
    std::optional<std::string> key_text = std::nullopt;
};

/// What one check gave. failure None means the listing ran and the rule decided `passed`.
struct CheckReport {
    std::string host;
    std::string rule_name;
    bool passed = false;  ///< xc_docheck's Boolean
    std::string text;     ///< xc_result: the result text, or the failure's text
    FailureKind failure = FailureKind::None;
    int error_number = 0;               ///< for FailureKind::Call: the automation error number
    int processes = 0;                  ///< entries of the listing (LineCount)
    int matches = 0;                    ///< entries the rule counted
    std::vector<std::string> entries;   ///< every entry of the listing, in order
    std::vector<bool> matched;          ///< per entry: counted by the rule
    std::string rule_sign;              ///< "LT" or "AL" (anything else counts as "AL")
    int instances = 0;                  ///< the rule's instance count
    std::vector<std::string> warnings;  ///< things the caller should hear of (an unrecordable key)
    /// True when a listing was taken and counted.
    bool counted() const { return failure == FailureKind::None; }
};

/// Runs one check on the calling thread with a fresh check object; never throws: a numbered
/// automation error becomes a report with FailureKind::Call.
CheckReport run_check(const CheckRequest& request);

/// Runs every request in order on the calling thread; requests whose connection settings agree
/// share one listing (one login), and each gets the report a check of its own would give.
std::vector<CheckReport> run_checks(const std::vector<CheckRequest>& requests);

}  // namespace varnok
