// SPDX-License-Identifier: Apache-2.0
#include "app/via_checks.h"

#include <chrono>
#include <utility>

#include "app/report_json.h"
#include "app/via_client.h"
#include "automation/variant.h"
#include "settings/param_string.h"

namespace varnok {
namespace {

const char* check_name(HostKeyCheck check) {
    switch (check) {
        case HostKeyCheck::Yes:
            return "yes";
        case HostKeyCheck::No:
            return "no";
        default:
            return "accept-new";
    }
}

// The words of a one-host check of the requests (one host, one time limit, one host-key policy,
// as requests_for makes them) and the key files they name. The texts go in "=" form, so that
// none is read as an option.
ViaRequest request_for(const std::string& socket, const std::vector<CheckRequest>& requests) {
    const CheckRequest& first = requests.front();
    ViaRequest r;
    r.socket = socket;
    r.reports = true;
    r.seconds = time_limit_seconds(first.timeout);
    r.args = {"--host=" + first.host, "--timeout=" + first.timeout,
              std::string("--host-key-check=") + check_name(first.host_keys.check)};
    if (!first.host_keys.known_hosts.empty())
        r.args.push_back("--known-hosts=" + first.host_keys.known_hosts);
    std::vector<std::string> keys;
    for (const CheckRequest& request : requests) {
        r.args.push_back("--param=" + request.param);
        keys.push_back(GetParamValue(request.param, "KEYF"));
    }
    add_key_files(r, keys);
    return r;
}

// The daemon's reports, named as the caller named its rules; nullopt when they do not fit.
std::optional<std::vector<CheckReport>> read_reports(const std::string& json,
                                                     const std::vector<CheckRequest>& requests) {
    try {
        auto reports = nlohmann::json::parse(json).get<std::vector<CheckReport>>();
        if (reports.size() != requests.size()) return std::nullopt;
        for (size_t i = 0; i < reports.size(); ++i) {
            reports[i].host = requests[i].host;
            reports[i].rule_name = requests[i].rule_name;
        }
        return reports;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace

HostCheck via_host_check(const std::string& socket, bool no_fallback, HostCheck direct) {
    return [socket, no_fallback, direct = std::move(direct)](
               std::vector<CheckRequest> requests) -> std::vector<CheckReport> {
        const auto start = std::chrono::steady_clock::now();
        const ViaRequest request = request_for(socket, requests);
        ViaAnswer answer;
        if (request.direct_reason.empty()) answer = ask_daemon(request);
        if (answer.kind == ViaAnswer::Kind::Answered) {
            if (auto reports = read_reports(answer.reports, requests)) return *reports;
            answer.kind = ViaAnswer::Kind::NoAnswer;
            answer.reason = "its answer could not be read";
        }
        const std::string why =
            "varnok serve at " + socket + ": " +
            (request.direct_reason.empty() ? answer.reason : request.direct_reason);
        // A key the client will not send and a check sent back are the client's to run whole;
        // a daemon that did not answer leaves what is left of the limit, as for a lone check.
        if (request.direct_reason.empty() && answer.kind == ViaAnswer::Kind::NoAnswer) {
            if (no_fallback) return failed_reports(requests, why);
            const std::optional<int> left = seconds_left(request.seconds, start);
            if (!left) {
                return failed_reports(requests, "varnok serve at " + socket +
                                                    ": did not answer within " +
                                                    std::to_string(request.seconds) + " seconds");
            }
            if (*left != request.seconds)
                for (CheckRequest& r : requests) r.timeout = std::to_string(*left);
        }
        std::vector<CheckReport> reports = direct(requests);
        if (!reports.empty()) {
            auto& warnings = reports.front().warnings;
            warnings.insert(warnings.begin(), why + "; checked directly");
        }
        return reports;
    };
}

}  // namespace varnok
