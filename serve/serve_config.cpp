// SPDX-License-Identifier: Apache-2.0
#include "serve/serve_config.h"

#include <yaml-cpp/yaml.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <set>
#include <stdexcept>

#include "automation/automation_error.h"
#include "automation/variant.h"
#include "serve/secret_file.h"
#include "settings/param_string.h"

namespace varnok {
namespace {

[[noreturn]] void refuse(const YAML::Mark& mark, const std::string& key, const std::string& what) {
    std::string where = mark.is_null() ? "config" : "config line " + std::to_string(mark.line + 1);
    throw std::runtime_error(where + ": " + key + ": " + what);
}

/// A mapping whose keys are all among the known ones, so that a misspelt key is refused instead
/// of silently left at its default.
void expect_map(const YAML::Node& node, const std::string& key,
                const std::set<std::string>& known) {
    if (!node.IsMap()) refuse(node.Mark(), key, "expected a mapping");
    for (const auto& item : node) {
        const std::string name = item.first.as<std::string>();
        if (!known.count(name)) refuse(item.first.Mark(), key + "." + name, "unknown key");
    }
}

std::string text_of(const YAML::Node& node, const std::string& key) {
    if (!node.IsScalar()) refuse(node.Mark(), key, "expected a text");
    return node.Scalar();
}

/// A duration: whole seconds, or a number followed by s, m or h.
std::chrono::seconds seconds_of(const YAML::Node& node, const std::string& key) {
    const std::string text = text_of(node, key);
    size_t used = 0;
    long long value = -1;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    const std::string unit = text.substr(used);
    const long long scale = unit == "" || unit == "s" ? 1
                            : unit == "m"             ? 60
                            : unit == "h"             ? 3600
                                                      : 0;
    if (used == 0 || value <= 0 || scale == 0 || value > 86400 * 365)
        refuse(node.Mark(), key, "\"" + text + "\" is not a duration (like 30, 30s, 10m or 1h)");
    return std::chrono::seconds(value * scale);
}

/// A short duration: seconds as a decimal number (0.5), or a number followed by s or ms.
std::chrono::milliseconds millis_of(const YAML::Node& node, const std::string& key) {
    const std::string text = text_of(node, key);
    double value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const std::string unit(end, text.data() + text.size());
    const double scale = unit == "ms" ? 1 : unit == "" || unit == "s" ? 1000 : 0;
    if (error != std::errc() || !(value >= 0) || scale == 0 || value * scale > 3600000)
        refuse(node.Mark(), key, "\"" + text + "\" is not a duration (like 0.5, 0.5s or 500ms)");
    return std::chrono::milliseconds(std::llround(value * scale));
}

HostKeyCheck host_key_check_of(const YAML::Node& node, const std::string& key) {
    const std::string text = text_of(node, key);
    if (text == "yes") return HostKeyCheck::Yes;
    if (text == "no") return HostKeyCheck::No;
    if (text == "accept-new") return HostKeyCheck::AcceptNew;
    refuse(node.Mark(), key, "\"" + text + "\" is not one of yes, no, accept-new");
}

constexpr size_t kMaxSecretFile = 64 * 1024;

// A file a rule names; warning when others can read it and it holds a secret.
std::string read_file_of(const YAML::Node& node, const std::string& key, const std::string& path,
                         bool (*secret)(const std::string&), std::vector<std::string>& warnings) {
    const SecretFile f = read_secret_file(path, kMaxSecretFile);
    if (!f.text) refuse(node.Mark(), key, f.error);
    if (f.open_to_others() && secret(*f.text))
        warnings.push_back(f.open_text(path) + " and holds a secret");
    return *f.text;
}

bool holds_password(const std::string& param) { return !GetParamValue(param, "PWD").empty(); }

// Strictly the alphabet, length and padding of Base64: the check's own decoder reads anything,
// so a password written in clear would otherwise log in with garbage.
bool is_base64(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) return false;
    const size_t pad = text.find('=');
    const size_t body = pad == std::string::npos ? text.size() : pad;
    if (text.size() - body > 2 || text.find_first_not_of('=', body) != std::string::npos)
        return false;
    return text.find_first_not_of(alphabet) >= body;
}

ModuleRule rule_of(const YAML::Node& node, const std::string& key,
                   std::vector<std::string>& warnings) {
    expect_map(node, key, {"name", "param", "param_file"});
    ModuleRule rule;
    if (!node["name"]) refuse(node.Mark(), key, "a rule needs a name");
    rule.name = text_of(node["name"], key + ".name");
    if (rule.name.empty()) refuse(node["name"].Mark(), key + ".name", "is empty");
    if (node["param"] && node["param_file"])
        refuse(node.Mark(), key, "give param or param_file, not both");
    if (node["param"])
        rule.param = text_of(node["param"], key + ".param");
    else if (node["param_file"]) {
        const std::string path = text_of(node["param_file"], key + ".param_file");
        rule.param =
            read_file_of(node["param_file"], key + ".param_file", path, holds_password, warnings);
        while (!rule.param.empty() && (rule.param.back() == '\n' || rule.param.back() == '\r'))
            rule.param.pop_back();
    } else
        refuse(node.Mark(), key, "a rule needs param or param_file");
    // A string that cannot be read (PORT=99999, a PWD that is not Base64) would fail every
    // probe alike: refused here, a reload keeps the config that works.
    try {
        decode_check_settings(Variant(10), Variant("target"), Variant(rule.param));
    } catch (const AutomationError& e) {
        refuse(node.Mark(), key,
               "its parameter string cannot be read: error " + std::to_string(e.number()) + ": " +
                   e.what());
    }
    const std::string password = GetParamValue(rule.param, "PWD");
    if (!password.empty() && !is_base64(password))
        refuse(node.Mark(), key, "its PWD is not Base64 (write it with `varnok param`)");
    // Read now, once: a probe's request never names a file the daemon opens.
    if (const std::string key_file = GetParamValue(rule.param, "KEYF"); !key_file.empty())
        rule.key_text = read_file_of(
            node, key + " KEYF", key_file, [](const std::string&) { return true; }, warnings);
    return rule;
}

ProbeModule module_of(const std::string& name, const YAML::Node& node,
                      std::vector<std::string>& warnings) {
    const std::string key = "modules." + name;
    expect_map(node, key, {"rules", "timeout", "allowed_targets", "process_metrics"});
    ProbeModule module;
    module.name = name;
    if (node["timeout"])
        module.timeout_seconds =
            static_cast<double>(seconds_of(node["timeout"], key + ".timeout").count());
    const YAML::Node rules = node["rules"];
    if (!rules || !rules.IsSequence() || rules.size() == 0)
        refuse(rules ? rules.Mark() : node.Mark(), key + ".rules", "a list of at least one rule");
    std::set<std::string> names;
    for (size_t i = 0; i < rules.size(); ++i) {
        const std::string rule_key = key + ".rules[" + std::to_string(i) + "]";
        module.rules.push_back(rule_of(rules[i], rule_key, warnings));
        const ModuleRule& rule = module.rules.back();
        if (!names.insert(rule.name).second)
            refuse(rules[i].Mark(), rule_key, "the rule name \"" + rule.name + "\" is used twice");
        if (!GetParamValue(rule.param, "PWD").empty() && GetParamValue(rule.param, "KEYF").empty())
            module.uses_password = true;
    }
    if (const YAML::Node metrics = node["process_metrics"]) {
        if (!metrics.IsScalar() || !YAML::convert<bool>::decode(metrics, module.process_metrics))
            refuse(metrics.Mark(), key + ".process_metrics", "expected true or false");
    }
    if (const YAML::Node targets = node["allowed_targets"]) {
        if (!targets.IsSequence())
            refuse(targets.Mark(), key + ".allowed_targets", "expected a list of hosts");
        for (const auto& target : targets)
            module.allowed_targets.push_back(text_of(target, key + ".allowed_targets"));
    }
    // A URL names the target: without a list, anyone who can reach the listener could have the
    // password sent to a host of their choosing.
    if (module.uses_password && module.allowed_targets.empty())
        refuse(node.Mark(), key + ".allowed_targets",
               "a module that logs in by password needs a non-empty list of allowed targets");
    return module;
}

}  // namespace

ServeConfig parse_serve_config(const std::string& yaml_text) {
    YAML::Node root;
    try {
        root = YAML::Load(yaml_text);
    } catch (const YAML::ParserException& e) {
        refuse(e.mark, "syntax", e.msg);
    }
    ServeConfig config;
    if (root.IsNull()) return config;
    try {
        expect_map(root, "config",
                   {"socket", "socket_group", "http_listen", "web_config_file", "idle_timeout",
                    "keepalive", "max_concurrent_logins", "http_logins", "max_sessions",
                    "login_backoff", "max_session_age", "max_channels_per_session", "host_keys",
                    "modules", "http_max_connections", "timeout_offset"});
        if (root["socket"]) config.socket_path = text_of(root["socket"], "socket");
        if (root["socket_group"])
            config.socket_group = text_of(root["socket_group"], "socket_group");
        if (root["http_listen"]) config.http_listen = text_of(root["http_listen"], "http_listen");
        if (root["web_config_file"])
            config.web_config_file = text_of(root["web_config_file"], "web_config_file");
        if (root["idle_timeout"])
            config.idle_timeout = seconds_of(root["idle_timeout"], "idle_timeout");
        if (root["keepalive"]) config.keepalive = seconds_of(root["keepalive"], "keepalive");
        if (root["login_backoff"])
            config.login_backoff = seconds_of(root["login_backoff"], "login_backoff");
        if (root["max_session_age"])
            config.max_session_age = seconds_of(root["max_session_age"], "max_session_age");
        // A whole number from low to high, where the key is given; high_name words the bound.
        const auto whole = [&root](const char* key, long low, long high, auto& into,
                                   const std::string& high_name) {
            const YAML::Node node = root[key];
            if (!node) return;
            const std::string text = text_of(node, key);
            const long n = std::atol(text.c_str());
            if (std::to_string(n) != text || n < low || n > high)
                refuse(node.Mark(), key,
                       "a whole number from " + std::to_string(low) + " to " + high_name);
            into = static_cast<std::remove_reference_t<decltype(into)>>(n);
        };
        whole("max_sessions", 1, 1000000, config.max_sessions, "1000000");
        whole("max_concurrent_logins", 1, 1024, config.max_concurrent_logins, "1024");
        whole("max_channels_per_session", 1, 1024, config.max_channels_per_session, "1024");
        whole("http_logins", 1, config.max_concurrent_logins, config.http_logins,
              "max_concurrent_logins");
        whole("http_max_connections", 1, 65536, config.http_max_connections, "65536");
        if (root["timeout_offset"])
            config.timeout_offset = millis_of(root["timeout_offset"], "timeout_offset");
        if (const YAML::Node keys = root["host_keys"]) {
            expect_map(keys, "host_keys", {"known_hosts", "check"});
            if (keys["known_hosts"])
                config.host_keys.known_hosts =
                    text_of(keys["known_hosts"], "host_keys.known_hosts");
            if (keys["check"])
                config.host_keys.check = host_key_check_of(keys["check"], "host_keys.check");
        }
        if (const YAML::Node modules = root["modules"]) {
            if (!modules.IsMap())
                refuse(modules.Mark(), "modules", "expected a mapping of modules");
            for (const auto& item : modules) {
                const std::string name = item.first.as<std::string>();
                config.modules.emplace(name, module_of(name, item.second, config.warnings));
            }
        }
    } catch (const YAML::Exception& e) {
        refuse(e.mark, "config", e.msg);
    }
    return config;
}

}  // namespace varnok

namespace varnok {

ServeConfig load_serve_config(const std::string& path) {
    std::vector<std::string> warnings;
    const SecretFile f = read_secret_file(path, 16u << 20);
    if (!f.text) throw std::runtime_error(f.error);
    ServeConfig config = parse_serve_config(*f.text);
    bool secret = false;
    for (const auto& [name, module] : config.modules)
        for (const ModuleRule& rule : module.rules) secret |= holds_password(rule.param);
    if (secret && f.open_to_others())
        config.warnings.insert(config.warnings.begin(),
                               f.open_text(path) + " and holds a password");
    return config;
}

}  // namespace varnok
