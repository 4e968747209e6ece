#include "check/varnok_com.h"

#include <cmath>
#include <fstream>

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

bool VarnokCom::docheck_on(const Listing& listing) { return run_check(&listing); }

VarnokCom::Listing VarnokCom::last_listing() const {
    const SessionDriver& d = *form_;
    return {listing_taken_, d.ReceivedText, d.connection_error()};
}

bool VarnokCom::run_check(const Listing* reuse) {
    listing_taken_ = false;
    fill_check_settings(timeout_, hostname_, parameter_);
    const CheckSettingsRecord& s = CheckSettings;
    const SessionStateRecord& state = SessionState;

    std::string text;
    bool result = false;
    int matches = 0;
    if (s.Username.empty()) {
        text = "ERR: can't connect to an SSH server without a USERNAME";
    } else if (s.Password.empty() && s.KeyFile.empty()) {
        text = "ERR: can't connect to an SSH server without a PASSWORD";
    } else {
        listing_taken_ = true;
        if (reuse != nullptr) {
            form_->replay_listing(reuse->received, reuse->error);
        } else {
            form_->run_listing();
        }

        if (!state.ConnectError.empty()) {
            text = state.ConnectError;
        } else {
            std::string match_list;
            std::string log;
            for (int i = 0; i < state.LineCount; ++i) {
                const std::string& w = state.Lines[static_cast<size_t>(i)];
                log += " " + std::to_string(i + 1) + ": " + w + "\r\n";
                const bool match = s.ProcessName.empty() ? true
                                   : s.FullOutput        ? w == s.ProcessName
                                                  : w.find(s.ProcessName) != std::string::npos;
                if (match) {
                    ++matches;
                    match_list += w + ",";
                }
            }
            log += "END of LIST\r\n\r\n";
            if (s.DebugLog) {
                // A log that cannot be written must not fail the check.
                std::ofstream file(kDebugLogName, std::ios::app | std::ios::binary);
                if (file) file << log << "\r\n";
            }
            match_list = std::string(trim_spaces(match_list));
            if (!match_list.empty() && match_list.back() == ',') match_list.pop_back();
            text = std::to_string(state.LineCount) + " processes running and " +
                   std::to_string(matches) + " with the name " + s.ProcessName;
            if (matches > 0 && s.IncludeInOutput) text += " (" + match_list + ")";
            result = s.RuleSign == "LT" ? matches >= s.Instances : matches < s.Instances;
        }
    }
    last_match_count_ = matches;
    put_xc_result(Variant(text));
    return result;
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
