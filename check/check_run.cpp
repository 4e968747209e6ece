// SPDX-License-Identifier: Apache-2.0
#include "check/check_run.h"

#include <fstream>
#include <mutex>

#include "settings/param_string.h"
#include "settings/text.h"
#include "state/state.h"

namespace varnok {
namespace {

// Checks on several threads append to the same file: each writes its block whole.
void append_debug_log(const std::string& block) {
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    // A log that cannot be written must not fail the check.
    std::ofstream file(kDebugLogName, std::ios::app | std::ios::binary);
    if (file) file << block << std::flush;
}

bool entry_matches(const CheckSettingsRecord& s, const std::string& entry) {
    if (s.ProcessName.empty()) return true;
    return s.FullOutput ? entry == s.ProcessName : entry.find(s.ProcessName) != std::string::npos;
}

// Counts the listing's entries, writes the debug log and decides the rule.
void count_entries(const CheckSettingsRecord& s, const SessionStateRecord& state, CheckReport& r) {
    std::string match_list;
    std::string log;
    r.processes = state.LineCount;
    r.entries.assign(state.Lines.begin(), state.Lines.begin() + state.LineCount);
    r.matched.assign(r.entries.size(), false);
    for (size_t i = 0; i < r.entries.size(); ++i) {
        const std::string& w = r.entries[i];
        log += " " + std::to_string(i + 1) + ": " + w + "\r\n";
        if (entry_matches(s, w)) {
            r.matched[i] = true;
            ++r.matches;
            match_list += w + ",";
        }
    }
    if (s.DebugLog) append_debug_log(log + "END of LIST\r\n\r\n\r\n");
    match_list = std::string(trim_spaces(match_list));
    if (!match_list.empty() && match_list.back() == ',') match_list.pop_back();
    r.text = std::to_string(state.LineCount) + " processes running and " +
             std::to_string(r.matches) + " with the name " + s.ProcessName;
    if (r.matches > 0 && s.IncludeInOutput) r.text += " (" + match_list + ")";
    r.passed = s.RuleSign == "LT" ? r.matches >= s.Instances : r.matches < s.Instances;
}

}  // namespace

CapturedListing captured_listing(const SessionDriver& driver, bool taken) {
    return {taken, driver.ReceivedText, driver.connection_error(), driver.connection_failure()};
}

CheckReport check_run(SessionDriver& driver, const Variant& hostname, const Variant& timeout,
                      const Variant& parameter, const CapturedListing* replay) {
    fill_check_settings(timeout, hostname, parameter);
    const CheckSettingsRecord& s = CheckSettings;
    const SessionStateRecord& state = SessionState;

    CheckReport r;
    r.host = s.Hostname;
    r.rule_sign = s.RuleSign;
    r.instances = s.Instances;
    if (s.Username.empty()) {
        r.failure = FailureKind::Settings;
        r.text = "ERR: can't connect to an SSH server without a USERNAME";
        return r;
    }
    if (s.Password.empty() && s.KeyFile.empty()) {
        r.failure = FailureKind::Settings;
        r.text = "ERR: can't connect to an SSH server without a PASSWORD";
        return r;
    }
    if (replay != nullptr) {
        driver.replay_listing(replay->received, replay->error, replay->failure);
    } else {
        driver.run_listing();
    }
    r.warnings = driver.warnings();
    if (!state.ConnectError.empty()) {
        r.text = state.ConnectError;
        // An error of the splitting itself (too many processes) is the listing's.
        r.failure = driver.connection_failure() != FailureKind::None ? driver.connection_failure()
                                                                     : FailureKind::Listing;
        return r;
    }
    count_entries(s, state, r);
    return r;
}

}  // namespace varnok
