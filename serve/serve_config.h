// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "listing/ssh_client.h"

namespace varnok {

/// One rule of a probe module: a name (the `rule` label) and a parameter string.
struct ModuleRule {
    std::string name;
    std::string param;  ///< the rule's parameter string (read from param_file when one is named)
    std::optional<std::string> key_text;  ///< its KEYF file's contents, read at config load
};

/// A probe module: how to log in and which rules to check on the target.
struct ProbeModule {
    std::string name;
    std::vector<ModuleRule> rules;  ///< at least one
    double timeout_seconds = 10;    ///< the probe's time limit (lowered by the scrape timeout)
    /// Targets a module that logs in by password may be asked for (host names or addresses,
    /// exact match); a key module with an empty list answers for any target.
    std::vector<std::string> allowed_targets;
    bool uses_password = false;  ///< true when a rule's parameter string carries PWD and no KEYF
    /// Each probe also lists the target's processes with their CPU time for per-rule metrics.
    bool process_metrics = false;
};

/// Everything `varnok serve --config FILE` reads.
struct ServeConfig {
    std::string socket_path = "/run/varnok/varnok.sock";  ///< Unix socket for `check --via`
    std::string socket_group;  ///< a group also allowed on the socket ("": none)
    std::string http_listen =
        "127.0.0.1:10795";           ///< HTTP listener, outside the exporters' 9100-9999 ("": none)
    std::string web_config_file;     ///< the exporters' web config (TLS, basic auth)
    int http_max_connections = 256;  ///< HTTP connections at once; more are closed at once
    /// What a probe leaves of Prometheus's scrape timeout for its answer to travel back.
    std::chrono::milliseconds timeout_offset{500};
    std::chrono::seconds idle_timeout{600};      ///< an unused session closes after this
    std::chrono::seconds keepalive{30};          ///< keepalive probe interval on idle sessions
    int max_concurrent_logins = 16;              ///< logins in progress at once
    int http_logins = 0;                         ///< of those, what HTTP probes may hold (0: half)
    size_t max_sessions = 10000;                 ///< sessions held at most
    std::chrono::seconds login_backoff{60};      ///< first wait after a refused login
    std::chrono::seconds max_session_age{3600};  ///< an older session logs in again
    int max_channels_per_session = 10;           ///< commands at once on one session
    HostKeyPolicy host_keys{HostKeyCheck::AcceptNew, {}};
    std::map<std::string, ProbeModule> modules;
    /// What the operator should hear of (a file with a secret that others can read).
    std::vector<std::string> warnings;
};

/// Reads a config file's text, and the parameter and key files its modules name; throws
/// std::runtime_error naming the line and the problem.
ServeConfig parse_serve_config(const std::string& yaml_text);

/// Reads a config file: parse_serve_config, with a warning when the file holds a password and
/// group or others can read it.
ServeConfig load_serve_config(const std::string& path);

}  // namespace varnok
