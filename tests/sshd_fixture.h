#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "check/varnok_com.h"
#include "state/state.h"

namespace varnok::testing {

/// The suite's checks record the throwaway server's host keys in the fixture's own HOME, never
/// in the known_hosts of whoever runs the tests.
inline const bool fixture_home = [] {
    if (const char* dir = std::getenv("VARNOK_FIXTURE"))
        setenv("HOME", (std::string(dir) + "/home").c_str(), 1);
    return true;
}();

/// The values the sshd fixture script wrote into its env file.
inline const std::map<std::string, std::string>& fixture() {
    static const std::map<std::string, std::string> values = [] {
        std::map<std::string, std::string> m;
        const char* dir = std::getenv("VARNOK_FIXTURE");
        std::ifstream in(std::string(dir ? dir : "") + "/env");
        for (std::string line; std::getline(in, line);) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string value = line.substr(eq + 1);
            if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
                value = value.substr(1, value.size() - 2);
            }
            m[line.substr(0, eq)] = value;
        }
        return m;
    }();
    return values;
}

/// One value of the fixture; the test is failed when the fixture is not running.
inline std::string fx(const std::string& key) {
    const auto it = fixture().find(key);
    if (it == fixture().end()) {
        ADD_FAILURE() << "sshd fixture value " << key << " missing (VARNOK_FIXTURE not set?)";
        return {};
    }
    return it->second;
}

/// A parameter string for the fixture's user, with extra fields appended.
inline std::string param(const std::string& port_key, const std::string& login,
                         const std::string& extra) {
    return "#USR=" + fx("VARNOK_SSH_USER") + login + "#PORT=" + fx(port_key) + extra + "#";
}

/// The password field for the fixture's password.
std::string password_field();

/// Runs one check on a fresh object; returns the Boolean and leaves the text in *text.
inline bool run_check(const std::string& parameter, std::string* text,
                      const std::string& timeout = "5", const std::string& host = "127.0.0.1") {
    VarnokCom com;
    com.put_xc_hostname(Variant(host));
    com.put_xc_timeout(Variant(timeout));
    com.put_xc_parameter(Variant(parameter));
    const bool result = com.xc_docheck();
    *text = variant_to_text(com.get_xc_result());
    return result;
}

}  // namespace varnok::testing
