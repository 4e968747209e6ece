// SPDX-License-Identifier: Apache-2.0
#include "check/listing_request.h"

#include <gtest/gtest.h>

#include <array>

namespace varnok {
namespace {

// The refusal, or the time limit and port the listing would use.
std::string outcome(const char* user, const char* password, const char* key, const char* timeout,
                    const char* port) {
    FormFields form;
    form.hostname = "db01";
    form.timeout = timeout;
    form.values.username = user;
    form.values.password = password;
    form.values.key_file = key;
    form.values.port_text = port;
    const auto asked = listing_request_for(form);
    if (const std::string* refusal = std::get_if<std::string>(&asked)) return *refusal;
    const ListingRequest& r = std::get<ListingRequest>(asked);
    EXPECT_EQ(r.hostname, "db01");
    EXPECT_EQ(r.fields.username, user);
    return std::to_string(r.timeout_seconds) + "s port " + std::to_string(r.port);
}

TEST(ListingRequest, RefusesWhatCannotLogInOrIsNoSixteenBitNumber) {
    const std::array<const char*, 6> cases[] = {
        {"", "pw", "", "", "22", "Can't connect to an SSH server without a username"},
        {"", "", "", "soon", "x", "Can't connect to an SSH server without a username"},
        {"me", "", "", "", "22", "Can't connect to an SSH server without a password"},
        {"me", "", "/k", "", "22", "0s port 22"},
        {"me", "pw", "", "  ", "ssh", "0s port 0"},
        {"me", "pw", "", " 2.5 ", " 0022abc", "2s port 22"},
        {"me", "pw", "", "soon", "22", "The timeout must be a number of seconds"},
        {"me", "pw", "", "32767", "-32768", "32767s port -32768"},
        {"me", "pw", "", "32768", "22", "The timeout must lie between -32768 and 32767"},
        {"me", "pw", "", "", "32768", "The port must lie between -32768 and 32767"},
        {"me", "pw", "", "99999", "99999", "The timeout must lie between -32768 and 32767"},
    };
    for (const auto& [user, password, key, timeout, port, expected] : cases)
        EXPECT_EQ(outcome(user, password, key, timeout, port), expected) << timeout << port;
}

}  // namespace
}  // namespace varnok
