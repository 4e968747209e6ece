// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "check/frmmain.h"
#include "check/varnok_com.h"
#include "state/state.h"

namespace varnok::testing {

/// HOME is the fixture's own folder: the suite's checks look the throwaway server's host key up
/// in its .ssh/known_hosts, never in the known_hosts of whoever runs the tests.
inline const bool fixture_home = [] {
    if (const char* dir = std::getenv("VARNOK_FIXTURE"))
        setenv("HOME", (std::string(dir) + "/home").c_str(), 1);
    return true;
}();

/// The values the sshd fixture script wrote into its env file, without the shell's quotes.
inline const std::map<std::string, std::string>& fixture() {
    static const std::map<std::string, std::string> values = [] {
        std::map<std::string, std::string> m;
        const char* dir = std::getenv("VARNOK_FIXTURE");
        std::ifstream in(std::string(dir ? dir : "") + "/env");
        for (std::string line; std::getline(in, line);) {
            const size_t eq = line.find('=');
            std::string value = line.substr(eq + 1);
            if (value.starts_with('\'')) value = value.substr(1, value.size() - 2);
            if (eq != std::string::npos) m[line.substr(0, eq)] = value;
        }
        return m;
    }();
    return values;
}

/// One value of the fixture; the test is failed when the fixture is not running.
inline std::string fx(const std::string& key) {
    const auto it = fixture().find(key);
    if (it != fixture().end()) return it->second;
    ADD_FAILURE() << "sshd fixture value " << key << " missing (VARNOK_FIXTURE not set?)";
    return {};
}

/// Runs one check on a fresh object and returns its report. The client takes ~ from the passwd
/// entry, so $HOME's known_hosts is handed over as the check's file.
inline CheckReport check_report(const std::string& parameter, const std::string& timeout = "5",
                                const std::string& host = "127.0.0.1") {
    VarnokCom com;
    if (const char* home = std::getenv("HOME")) {
        com.form().host_keys.known_hosts = std::string(home) + "/.ssh/known_hosts";
    }
    com.put_xc_hostname(Variant(host));
    com.put_xc_timeout(Variant(timeout));
    com.put_xc_parameter(Variant(parameter));
    com.xc_docheck();
    return com.last_report();
}

/// check_report's Boolean, with its text left in *text.
inline bool run_check(const std::string& parameter, std::string* text,
                      const std::string& timeout = "5", const std::string& host = "127.0.0.1") {
    const CheckReport report = check_report(parameter, timeout, host);
    *text = report.text;
    return report.passed;
}

}  // namespace varnok::testing
