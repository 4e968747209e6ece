// SPDX-License-Identifier: Apache-2.0
#include <map>
#include <optional>

#include "automation/automation_error.h"
#include "check/check_report.h"
#include "check/frmmain.h"
#include "check/varnok_com.h"
#include "settings/param_string.h"
#include "state/state.h"

namespace varnok {
namespace {

// The settings that decide what a listing is; requests that agree on them can share one.
std::optional<std::string> connection_key(const CheckRequest& r) {
    CheckSettingsRecord decoded;
    try {
        decoded = decode_check_settings(Variant(r.timeout), Variant(r.host), Variant(r.param));
    } catch (const AutomationError&) {
        return std::nullopt;
    }
    const CheckSettingsRecord& s = decoded;
    std::string key;
    for (const std::string* field : {&s.Hostname, &s.Username, &s.Password, &s.Protocol, &s.KeyFile,
                                     &s.KeyType, &s.OSType, &r.host_keys.known_hosts}) {
        key += *field;
        key += '\0';
    }
    return key + std::to_string(s.TimeoutSeconds) + '\0' + std::to_string(s.Port) + '\0' +
           std::to_string(static_cast<int>(r.host_keys.check)) + (s.AddWait ? "W" : "");
}

CheckReport failed_call(const AutomationError& e) {
    CheckReport r;
    r.failure = FailureKind::Call;
    r.error_number = e.number();
    r.text = e.what();
    return r;
}

}  // namespace

CheckReport run_check(const CheckRequest& request) { return run_checks({request}).front(); }

std::vector<CheckReport> run_checks(const std::vector<CheckRequest>& requests) {
    std::vector<CheckReport> reports;
    std::map<std::string, CapturedListing> listings;
    for (const CheckRequest& request : requests) {
        CheckReport report;
        try {
            const std::optional<std::string> key = connection_key(request);
            const auto shared = key ? listings.find(*key) : listings.end();
            VarnokCom com;
            com.form().host_keys = request.host_keys;
            com.form().key_text = request.key_text;
            com.put_xc_hostname(Variant(request.host));
            com.put_xc_timeout(Variant(request.timeout));
            com.put_xc_parameter(Variant(request.param));
            if (shared != listings.end()) {
                com.docheck_on(shared->second);
            } else {
                com.xc_docheck();
            }
            report = com.last_report();
            if (CapturedListing listing = com.last_listing(); key && listing.taken) {
                listings.emplace(*key, std::move(listing));
            }
        } catch (const AutomationError& e) {
            report = failed_call(e);
        } catch (const std::exception& e) {
            // Anything else is this check's failure, never the caller's crash.
            report = failed_call(AutomationError::internal_error(e.what()));
        }
        report.host = request.host;
        report.rule_name = request.rule_name;
        reports.push_back(std::move(report));
    }
    return reports;
}

}  // namespace varnok
