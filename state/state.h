// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnok {

/// The decoded settings of one check: the check run fills them in order and stops at the first
/// value it cannot convert; the picker's listing sets only the fields a listing needs.
struct CheckSettingsRecord {
    std::string Hostname;
    int16_t TimeoutSeconds = 0;
    std::string Username;
    std::string Password;
    std::string Protocol;
    int16_t Port = 0;
    std::string KeyFile;
    std::string KeyType;
    std::string OSType;
    int16_t Column = 0;
    std::string ProcessName;
    std::string RuleSign;
    int16_t Instances = 0;
    bool FullOutput = false;
    std::string EOLType;
    bool DebugLog = false;
    bool AddWait = false;
    bool IncludeInOutput = false;
};

/// The outcome of the last listing on this thread.
struct SessionStateRecord {
    /// Entries 0 .. LineCount-1; holds one empty slot while LineCount is 0.
    std::vector<std::string> Lines{std::string()};
    int16_t LineCount = 0;
    bool Disconnected = false;
    std::string ConnectError;
    std::string SelectedProcess;
};

/// Settings shared by every check object on this thread.
extern thread_local CheckSettingsRecord CheckSettings;
/// Listing state shared by every check object on this thread.
extern thread_local SessionStateRecord SessionState;
/// The string the settings form's OK built last on this thread; empty optional until the first OK.
extern thread_local std::optional<std::string> ParameterText;

/// Puts this thread's module-level state back to its starting values.
void reset_module_state();

}  // namespace varnok
