// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "serve/exposition.h"
#include "serve/http_server.h"
#include "serve/serve_config.h"
#include "serve/web_config.h"

namespace varnok::testing {
namespace {

TEST(ServeConfig, RefusesWithTheKeyAndLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"socket: [a", "config line 1: syntax: end of sequence flow not found"},
        {"idle_timout: 10m", "config line 1: config.idle_timout: unknown key"},
        {"keepalive: 10d",
         "config line 1: keepalive: \"10d\" is not a duration (like 30, 30s, "
         "10m or 1h)"},
        {"\nmax_concurrent_logins: 0",
         "config line 2: max_concurrent_logins: a whole number "
         "from 1 to 1024"},
        {"host_keys: {check: maybe}",
         "config line 1: host_keys.check: \"maybe\" is not one of yes, no, accept-new"},
        {"modules:\n  m: {timeout: 5}",
         "config line 2: modules.m.rules: a list of at least one rule"},
        {"modules:\n  m:\n    rules:\n      - {name: a}",
         "config line 4: modules.m.rules[0]: a rule needs param or param_file"},
        {"modules:\n  m:\n    process_metrics: maybe\n    rules: [{name: a, param: x}]",
         "config line 3: modules.m.process_metrics: expected true or false"},
        {"modules:\n  m:\n    rules: [{name: a, param: x}, {name: a, param: y}]",
         "config line 3: modules.m.rules[1]: the rule name \"a\" is used twice"},
        {"modules:\n  m:\n    rules: [{name: a, param_file: /nonexistent}]",
         "config line 3: modules.m.rules[0].param_file: cannot read /nonexistent: No such file or "
         "directory"},
        {"modules:\n  m:\n    rules: [{name: a, param: '#USR=u#KEYF=k#PORT=99999#'}]",
         "config line 3: modules.m.rules[0]: its parameter string cannot be read: error 6: "
         "Overflow"},
        {"modules:\n  m:\n    rules: [{name: a, param: '#USR=u#PWD=secret#'}]",
         "config line 3: modules.m.rules[0]: its PWD is not Base64 (write it with `varnok param`)"},
        {"modules:\n  m:\n    rules: [{name: a, param: '#USR=u#KEYF=/dev/zero#'}]",
         "config line 3: modules.m.rules[0] KEYF: /dev/zero is not a regular file"},
        {"http_logins: 17",
         "config line 1: http_logins: a whole number from 1 to "
         "max_concurrent_logins"},
        {"timeout_offset: 1m",
         "config line 1: timeout_offset: \"1m\" is not a duration (like 0.5, "
         "0.5s or 500ms)"},
        {"http_max_connections: 0",
         "config line 1: http_max_connections: a whole number from 1 to 65536"},
        {"modules:\n  m:\n    rules: [{name: a, param: '#USR=u#PWD=YQ==#'}]",
         "config line 3: modules.m.allowed_targets: a module that logs in by password needs a "
         "non-empty list of allowed targets"},
    };
    for (const auto& [yaml, expected] : cases) {
        try {
            parse_serve_config(yaml);
            ADD_FAILURE() << yaml;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), expected);
        }
    }
    EXPECT_EQ(parse_serve_config("timeout_offset: 250ms").timeout_offset.count(), 250);
    EXPECT_EQ(parse_serve_config("timeout_offset: 0.75").timeout_offset.count(), 750);
    // A key's pass phrase is no login password: such a module may answer for any target. The
    // key is read at load, never when a probe comes, and one its group may read is worth a warning.
    const std::string key = ::testing::TempDir() + "/varnok-config-key";
    std::ofstream(key) << "KEY TEXT";
    std::filesystem::permissions(key, std::filesystem::perms(0640));
    const ServeConfig c = parse_serve_config(
        "modules: {k: {rules: [{name: a, param: '#KEYF=" + key + "#PWD=YQ==#'}]}}");
    EXPECT_EQ(c.modules.at("k").rules.front().key_text, "KEY TEXT");
    EXPECT_EQ(c.warnings,
              std::vector<std::string>{key + " is open to others (mode 0640) and holds a secret"});
    std::filesystem::permissions(key, std::filesystem::perms(0600));
    EXPECT_TRUE(
        parse_serve_config("modules: {k: {rules: [{name: a, param: '#KEYF=" + key + "#'}]}}")
            .warnings.empty());
    std::filesystem::remove(key);
}

TEST(ProbeTimeLimit, IsTheScrapeTimeoutLessTheOffsetUpToTheModules) {
    const std::pair<std::string, long> cases[] = {{"", 10000},   {"1.5", 1000},  {"15", 10000},
                                                  {"0.4", 200},  {"abc", 10000}, {"1,5", 10000},
                                                  {"-3", 10000}, {"inf", 10000}};
    for (const auto& [header, ms] : cases)
        EXPECT_EQ(probe_time_limit(10, header, std::chrono::milliseconds(500)).count(), ms)
            << header;
}

CheckReport report(const std::string& rule, bool passed, FailureKind failure, int matches) {
    CheckReport r;
    r.rule_name = rule;
    r.passed = passed;
    r.failure = failure;
    r.processes = failure == FailureKind::None ? 8 : 0;
    r.matches = matches;
    return r;
}

TEST(Exposition, ShowsEachRuleAndTheFirstFailuresReason) {
    EXPECT_EQ(probe_exposition({report("sshd", true, FailureKind::None, 2),
                                report("a\"b\\", false, FailureKind::Timeout, 0)},
                               0.25, {false, 0, 120}),
              "# HELP probe_success Whether every rule of the module was checked.\n"
              "# TYPE probe_success gauge\nprobe_success 0\n"
              "# HELP probe_duration_seconds How long the probe took.\n"
              "# TYPE probe_duration_seconds gauge\nprobe_duration_seconds 0.25\n"
              "# HELP varnok_processes Entries of the target's process listing.\n"
              "# TYPE varnok_processes gauge\nvarnok_processes 8\n"
              "# HELP varnok_matching_processes Entries the rule counted.\n"
              "# TYPE varnok_matching_processes gauge\nvarnok_matching_processes{rule=\"sshd\"} 2\n"
              "# HELP varnok_rule_status The rule's plugin status: 0 OK, 1 WARNING, 2 CRITICAL, 3 "
              "UNKNOWN.\n# TYPE varnok_rule_status gauge\nvarnok_rule_status{rule=\"sshd\"} 0\n"
              "varnok_rule_status{rule=\"a\\\"b\\\\\"} 3\n"
              "# HELP varnok_failure Why the probe failed: 1 for its reason, 0 for the others.\n"
              "# TYPE varnok_failure gauge\nvarnok_failure{reason=\"connect\"} 0\n"
              "varnok_failure{reason=\"auth\"} 0\nvarnok_failure{reason=\"hostkey\"} 0\n"
              "varnok_failure{reason=\"timeout\"} 1\nvarnok_failure{reason=\"listing\"} 0\n"
              "# HELP varnok_session_reused 1 when the probe rode an SSH session that was open "
              "before it.\n# TYPE varnok_session_reused gauge\nvarnok_session_reused 0\n"
              "# HELP varnok_session_age_seconds Age of the SSH session the probe used.\n"
              "# TYPE varnok_session_age_seconds gauge\nvarnok_session_age_seconds 0\n"
              "# HELP varnok_login_backoff_seconds Seconds before a refused login is tried again "
              "(0: none).\n# TYPE varnok_login_backoff_seconds gauge\n"
              "varnok_login_backoff_seconds 120\n");
}

const std::string kWebConfig = std::string(VARNOK_TEST_DATA) + "/serve/web_config.yml";

TEST(WebConfig, BasicAuthChecksTheBcryptHash) {
    const BasicAuth auth(load_web_config(kWebConfig).basic_auth_users);
    // prometheus:s3cret, the same twice (the second from the cache), then wrong ones.
    const std::pair<std::string, bool> cases[] = {
        {"Basic cHJvbWV0aGV1czpzM2NyZXQ=", true},
        {"Basic cHJvbWV0aGV1czpzM2NyZXQ=", true},
        {"Basic cHJvbWV0aGV1czpzM2NyZXQx", false},  // s3cret1
        {"Basic bm9ib2R5OnMzY3JldA==", false},      // nobody:s3cret
        {"Bearer cHJvbWV0aGV1czpzM2NyZXQ=", false},
        {"Basic !!!!", false},
        {"", false}};
    for (const auto& [header, allowed] : cases) EXPECT_EQ(auth.allows(header), allowed) << header;
    // An unknown user pays the same bcrypt as a known one with a wrong password.
    const auto median_micros = [&auth](const std::string& header) {
        std::vector<double> times;
        for (int i = 0; i < 9; ++i) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_FALSE(auth.allows(header));
            times.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        std::nth_element(times.begin(), times.begin() + 4, times.end());
        return times[4];
    };
    const double known = median_micros("Basic cHJvbWV0aGV1czpzM2NyZXQx");
    const double unknown = median_micros("Basic bm9ib2R5OnMzY3JldA==");
    EXPECT_GT(unknown * 2, known);
    EXPECT_GT(known * 2, unknown);
    for (const char* hash :
         {"plain", "$2b$04$!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!",
          "$2b$99$ZGmIWokjhdo/sYAx5hgWKOlfKy7O1gxnbG76Zby3B3US0MUMKkDI6"})
        EXPECT_THROW(parse_web_config(std::string("basic_auth_users: {u: '") + hash + "'}"),
                     std::runtime_error)
            << hash;
    EXPECT_THROW(parse_web_config("tls_server_config: {cert_file: c, key_file: k, min_version: "
                                  "TLS14}"),
                 std::runtime_error);
    EXPECT_EQ(parse_web_config("tls_server_config: {cert_file: c, key_file: k, cipher_suites: "
                               "[TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256, "
                               "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305]}")
                  .cipher_list,
              "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305");
    EXPECT_THROW(parse_web_config("tls_server_config: {cert_file: c}"), std::runtime_error);
}

}  // namespace
}  // namespace varnok::testing
