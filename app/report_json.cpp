// SPDX-License-Identifier: Apache-2.0
#include "app/report_json.h"

namespace varnok {

void to_json(nlohmann::json& j, const CheckReport& r) {
    j = {{"host", r.host},
         {"rule", r.rule_name},
         {"passed", r.passed},
         {"text", r.text},
         {"failure", static_cast<int>(r.failure)},
         {"error", r.error_number},
         {"processes", r.processes},
         {"matches", r.matches},
         {"entries", r.entries},
         {"matched", r.matched},
         {"sign", r.rule_sign},
         {"instances", r.instances},
         {"warnings", r.warnings}};
}

void from_json(const nlohmann::json& j, CheckReport& r) {
    j.at("host").get_to(r.host);
    j.at("rule").get_to(r.rule_name);
    j.at("passed").get_to(r.passed);
    j.at("text").get_to(r.text);
    r.failure = static_cast<FailureKind>(j.at("failure").get<short>());
    j.at("error").get_to(r.error_number);
    j.at("processes").get_to(r.processes);
    j.at("matches").get_to(r.matches);
    j.at("entries").get_to(r.entries);
    j.at("matched").get_to(r.matched);
    j.at("sign").get_to(r.rule_sign);
    j.at("instances").get_to(r.instances);
    j.at("warnings").get_to(r.warnings);
}

}  // namespace varnok
