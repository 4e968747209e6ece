#include "check/varnok_com.h"

#include <fstream>

#include "check/automation_error.h"
#include "gui/frmmain.h"
#include "listing/event_pump.h"
#include "settings/param_string.h"
#include "state/state.h"

namespace varnok {
namespace {

std::string trim_spaces(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace

VarnokCom::VarnokCom() : form_(std::make_unique<frmmain>()) {}

VarnokCom::~VarnokCom() = default;

bool VarnokCom::xc_docheck() {
    fill_check_settings(timeout_, hostname_, parameter_);
    const CheckSettingsRecord& s = CheckSettings;
    const SessionStateRecord& state = SessionState;

    std::string text;
    bool result = false;
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
            int matches = 0;
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
            match_list = trim_spaces(match_list);
            if (!match_list.empty() && match_list.back() == ',') match_list.pop_back();
            text = std::to_string(state.LineCount) + " processes running and " +
                   std::to_string(matches) + " with the name " + s.ProcessName;
            if (matches > 0 && s.IncludeInOutput) text += " (" + match_list + ")";
            result = s.RuleSign == "LT" ? matches >= s.Instances : matches < s.Instances;
        }
    }
    put_xc_result(Variant(text));
    return result;
}

void VarnokCom::xc_showGUI() {
    throw AutomationError(5, "The settings dialog is not available in this build");
}

}  // namespace varnok
