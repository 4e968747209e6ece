// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace varnok {

/// The exporters' web config file: TLS for the listener and users allowed by basic auth.
struct WebConfig {
    std::string cert_file;     ///< TLS certificate (PEM); empty with key_file: plain HTTP
    std::string key_file;      ///< its private key (PEM)
    int min_version = 0x0303;  ///< lowest TLS version, as the protocol numbers it (TLS12)
    /// OpenSSL's cipher list for TLS 1.2 and lower; the default allows forward-secret suites only.
    std::string cipher_list = "ECDHE+AESGCM:ECDHE+CHACHA20";
    std::map<std::string, std::string> basic_auth_users;  ///< user -> bcrypt hash; empty: no auth
    /// True when the listener speaks TLS.
    bool tls() const { return !cert_file.empty(); }
};

/// Reads a web config's text; throws std::runtime_error naming the line and the problem.
WebConfig parse_web_config(const std::string& yaml_text);

/// Reads a web config file; throws std::runtime_error when it cannot be read or is refused.
WebConfig load_web_config(const std::string& path);

/// Checks basic auth credentials against bcrypt hashes. Thread-safe.
class BasicAuth {
  public:
    /// users: user -> bcrypt hash ($2y$, $2b$ or $2a$), as parse_web_config() accepted them.
    explicit BasicAuth(std::map<std::string, std::string> users);

    /// True when no users are configured, or when the Authorization header's value is "Basic"
    /// with a user and password that match the user's hash. An unknown user costs the same
    /// bcrypt work as a known one.
    bool allows(const std::string& authorization) const;

    /// True when allows() would answer at once: no users, or credentials that matched before.
    bool allows_at_once(const std::string& authorization) const;

  private:
    std::map<std::string, std::string> users_;
    std::string dummy_hash_;  ///< what an unknown user's password is checked against
    /// Digests of credentials that matched, so that a scrape does not pay bcrypt every time.
    mutable std::mutex mutex_;
    mutable std::set<std::string> matched_;
};

}  // namespace varnok
