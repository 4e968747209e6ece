#include "check/varnok_com.h"

#include <cmath>
#include <fstream>

#include "check/automation_error.h"
#include "check/number_text.h"
#include "gui/form_window.h"
#include "gui/frmmain.h"
#include "settings/base64.h"
#include "listing/event_pump.h"
#include "settings/param_string.h"
#include "settings/text.h"
#include "state/state.h"

namespace varnok {
VarnokCom::VarnokCom() : form_(std::make_unique<frmmain>()) {}

VarnokCom::~VarnokCom() = default;

bool VarnokCom::xc_docheck() {
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
        form_->Get_Process_list();
        while (!SessionState.Disconnected) DoEvents();

        if (!state.ConnectError.empty()) {
            text = state.ConnectError;
        } else {
            std::string match_list;
            std::string log;
            for (int i = 0; i < state.LineCount; ++i) {
                const std::string& w = state.Lines[static_cast<size_t>(i)];
                log += " " + std::to_string(i + 1) + ": " + w + "\r\n";
                const bool match = s.ProcessName.empty()       ? true
                                   : s.FullOutput               ? w == s.ProcessName
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
    try {
        FormWindow& w = f.controls();
        w.txtHostname->setText(QString::fromStdString(std::string(trim_spaces(variant_to_text(hostname_)))));
        w.txtTimeout->setText(QString::fromStdString(std::string(trim_spaces(variant_to_text(timeout_)))));
        const std::string p = variant_to_text(parameter_);
        const auto get = [&p](const char* key) { return GetParamValue(p, key); };
        // A list position from a number of the string; one that does not exist fails with 380.
        const auto position = [](const std::string& value) {
            const double n = std::nearbyint(leading_number(value) - 1);
            return n >= -1 && n <= 32767 ? static_cast<int>(n) : -2;
        };
        if (!p.empty()) {
            const std::string password = DecodePassword(get("PWD"));
            w.txtUsername->setText(QString::fromStdString(get("USR")));
            w.txtPassword->setText(QString::fromStdString(password));
            w.txtKeyfile->setText(QString::fromStdString(get("KEYF")));
            w.cmbKeyType->setListIndex(std::max(0, key_type_position(get("KEYT"))));
            const int proto = protocol_position(get("PROTO"));
            w.cmbProtocol->setListIndex(proto < 0 ? 2 : proto);
            w.txtPort->setText(QString::fromStdString(variant_to_text(Variant(leading_number(get("PORT"))))));
            if (const int os = os_position(get("OS")); os >= 0) w.cmbOS->setListIndex(os);
            w.cmbColumn->setListIndex(position(get("COL")));
            w.txtProcess->setText(QString::fromStdString(get("PRO")));
            if (const int rule = rule_position(get("SGN")); rule >= 0) w.cmbRule->setListIndex(rule);
            w.cmbInstances->setListIndex(position(get("NUM")));
        }
        const int eol = eol_position(get("EOL"));
        w.cmbEOL->setListIndex(eol < 0 ? 1 : eol);
        w.chkIncludeWait->setChecked(flag_value(get("WAIT")));
        w.chkIncludeinOutput->setChecked(flag_value(get("INPL")));
    } catch (...) {
        f.unload();
        throw;
    }
    if (f.show_modal() && ParameterText) parameter_ = Variant(*ParameterText);
}

}  // namespace varnok
