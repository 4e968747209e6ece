// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <string>

#include "automation/automation_error.h"
#include "settings/base64.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {

/// The failed call f ends with, as the command line shows it ("error 6: Overflow"); "" when f
/// throws no AutomationError.
inline std::string call_error(const std::function<void()>& f) {
    try {
        f();
    } catch (const AutomationError& e) {
        return "error " + std::to_string(e.number()) + ": " + e.what();
    }
    return "";
}

/// The fixture user's parameter string for one fake system's port ("BSD", "AIX", ...; "" for
/// this machine's own ps), logging in with the password unless `login` gives other fields.
inline std::string login_param(const std::string& system, const std::string& fields = "",
                               std::string login = "") {
    if (login.empty()) login = "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD"));
    const std::string port = fx(system.empty() ? "VARNOK_SSH_PORT" : "VARNOK_SSH_PORT_" + system);
    return "#USR=" + fx("VARNOK_SSH_USER") + login + "#PORT=" + port + fields + "#";
}

}  // namespace varnok::testing
