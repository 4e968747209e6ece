// SPDX-License-Identifier: Apache-2.0
#include "check/varnok_com.h"

#include <cmath>

#include "automation/automation_error.h"
#include "automation/number_text.h"
#include "check/frmmain.h"
#include "settings/base64.h"
#include "settings/param_string.h"
#include "settings/text.h"
#include "state/state.h"

namespace varnok {
VarnokCom::VarnokCom() : form_(std::make_unique<frmmain>()) {}

VarnokCom::~VarnokCom() = default;

bool VarnokCom::xc_docheck() { return run_check(nullptr); }

bool VarnokCom::docheck_on(const CapturedListing& listing) { return run_check(&listing); }

CapturedListing VarnokCom::last_listing() const { return captured_listing(*form_, listing_taken_); }

bool VarnokCom::run_check(const CapturedListing* reuse) {
    listing_taken_ = false;
    CheckReport report = check_run(*form_, hostname_, timeout_, parameter_, reuse);
    listing_taken_ = report.failure != FailureKind::Settings;
    report_ = std::move(report);
    put_xc_result(Variant(report_.text));
    return report_.passed;
}

void VarnokCom::xc_showGUI() {
    frmmain& f = *form_;
    FormContents c;
    c.hostname = std::string(trim_spaces(variant_to_text(hostname_)));
    c.timeout = std::string(trim_spaces(variant_to_text(timeout_)));
    const std::string p = variant_to_text(parameter_);
    const auto get = [&p](const char* key) { return GetParamValue(p, key); };
    // A list position from a number of the string; one that does not exist (-2) fails with 380.
    const auto position = [](const std::string& value) {
        const double n = std::nearbyint(leading_number(value) - 1);
        return n >= -1 && n <= 32767 ? static_cast<int>(n) : -2;
    };
    FormValues& v = c.values;
    c.from_string = !p.empty();
    if (c.from_string) {
        v.password = DecodePassword(get("PWD"));
        v.username = get("USR");
        v.key_file = get("KEYF");
        v.key_type = std::max(0, key_type_position(get("KEYT")));
        const int proto = protocol_position(get("PROTO"));
        v.protocol = proto < 0 ? 2 : proto;
        v.port_text = variant_to_text(Variant(leading_number(get("PORT"))));
        v.os = os_position(get("OS"));
        v.column = position(get("COL"));
        v.process = get("PRO");
        v.rule = rule_position(get("SGN"));
        v.instances = position(get("NUM"));
    }
    const int eol = eol_position(get("EOL"));
    v.eol = eol < 0 ? 1 : eol;
    v.wait = flag_value(get("WAIT"));
    v.include_matches = flag_value(get("INPL"));
    try {
        f.controls().show_contents(c);
    } catch (...) {
        f.unload();
        throw;
    }
    if (f.show_modal() && ParameterText) parameter_ = Variant(*ParameterText);
}

}  // namespace varnok
