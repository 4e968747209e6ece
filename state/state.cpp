// SPDX-License-Identifier: Apache-2.0
#include "state/state.h"

namespace varnok {

thread_local CheckSettingsRecord CheckSettings;
thread_local SessionStateRecord SessionState;
thread_local std::optional<std::string> ParameterText;

void reset_module_state() {
    CheckSettings = CheckSettingsRecord{};
    SessionState = SessionStateRecord{};
    ParameterText.reset();
}

}  // namespace varnok
