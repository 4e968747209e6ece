// SPDX-License-Identifier: Apache-2.0
#include "serve/web_config.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace varnok {
namespace {

/// Credentials remembered at most, as many as a scraper fleet uses and far fewer than a flood.
constexpr size_t kCacheSize = 256;

[[noreturn]] void refuse(const YAML::Mark& mark, const std::string& key, const std::string& what) {
    std::string where =
        mark.is_null() ? "web config" : "web config line " + std::to_string(mark.line + 1);
    throw std::runtime_error(where + ": " + key + ": " + what);
}

std::string text_of(const YAML::Node& node, const std::string& key) {
    if (!node.IsScalar()) refuse(node.Mark(), key, "expected a text");
    return node.Scalar();
}

std::string base64_decode(const std::string& text) {
    if (text.size() % 4 != 0) return {};
    std::vector<unsigned char> out(text.size() / 4 * 3 + 1);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return {};
    size_t size = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the padding's bytes as zeros.
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;
    return std::string(reinterpret_cast<const char*>(out.data()), size);
}

std::string sha256(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

bool bcrypt_matches(const std::string& password, const std::string& hash) {
    auto data = std::make_unique<crypt_data>();
    const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
    return result && result[0] != '*' && std::string(result).size() == hash.size() &&
           CRYPTO_memcmp(result, hash.data(), hash.size()) == 0;
}

int bcrypt_cost(const std::string& hash) { return std::atoi(hash.substr(4, 2).c_str()); }

/// A hash crypt_r can use: its form, and its salt run through crypt_r at the lowest cost, so
/// that a load does not pay the hash's full work.
bool usable_bcrypt(const std::string& hash) {
    if (hash.size() != 60 || hash.rfind("$2", 0) != 0 || hash[6] != '$' ||
        std::string("aby").find(hash[2]) == std::string::npos || hash[3] != '$' ||
        !std::isdigit(static_cast<unsigned char>(hash[4])) ||
        !std::isdigit(static_cast<unsigned char>(hash[5])))
        return false;
    const int cost = bcrypt_cost(hash);
    if (cost < 4 || cost > 31) return false;
    auto data = std::make_unique<crypt_data>();
    const std::string cheap = hash.substr(0, 4) + "04" + hash.substr(6);
    const char* result = crypt_r("", cheap.c_str(), data.get());
    return result && result[0] != '*' && std::string(result).compare(0, 29, cheap, 0, 29) == 0;
}

/// Go's names of the TLS 1.2 suites, as OpenSSL names them.
const std::map<std::string, std::string>& go_cipher_suites() {
    static const std::map<std::string, std::string> names = {
        {"TLS_RSA_WITH_AES_128_CBC_SHA", "AES128-SHA"},
        {"TLS_RSA_WITH_AES_256_CBC_SHA", "AES256-SHA"},
        {"TLS_RSA_WITH_AES_128_CBC_SHA256", "AES128-SHA256"},
        {"TLS_RSA_WITH_AES_128_GCM_SHA256", "AES128-GCM-SHA256"},
        {"TLS_RSA_WITH_AES_256_GCM_SHA384", "AES256-GCM-SHA384"},
        {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA", "ECDHE-ECDSA-AES128-SHA"},
        {"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", "ECDHE-ECDSA-AES256-SHA"},
        {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", "ECDHE-RSA-AES128-SHA"},
        {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", "ECDHE-RSA-AES256-SHA"},
        {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", "ECDHE-ECDSA-AES128-SHA256"},
        {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", "ECDHE-RSA-AES128-SHA256"},
        {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA-AES128-GCM-SHA256"},
        {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
        {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA-AES256-GCM-SHA384"},
        {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "ECDHE-ECDSA-AES256-GCM-SHA384"},
        {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305", "ECDHE-RSA-CHACHA20-POLY1305"},
        {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-RSA-CHACHA20-POLY1305"},
        {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305", "ECDHE-ECDSA-CHACHA20-POLY1305"},
        {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-ECDSA-CHACHA20-POLY1305"},
    };
    return names;
}

int tls_version_of(const YAML::Node& node, const std::string& key) {
    const std::string text = text_of(node, key);
    static const std::map<std::string, int> versions = {
        {"TLS10", 0x0301}, {"TLS11", 0x0302}, {"TLS12", 0x0303}, {"TLS13", 0x0304}};
    const auto it = versions.find(text);
    if (it == versions.end())
        refuse(node.Mark(), key, "\"" + text + "\" is not one of TLS10, TLS11, TLS12, TLS13");
    return it->second;
}

std::string cipher_list_of(const YAML::Node& node, const std::string& key) {
    if (!node.IsSequence() || node.size() == 0)
        refuse(node.Mark(), key, "expected a list of cipher suites");
    std::string list;
    for (const auto& item : node) {
        const std::string name = text_of(item, key);
        const auto it = go_cipher_suites().find(name);
        if (it == go_cipher_suites().end())
            refuse(item.Mark(), key, "\"" + name + "\" is not a TLS 1.2 cipher suite");
        list += (list.empty() ? "" : ":") + it->second;
    }
    return list;
}

}  // namespace

WebConfig parse_web_config(const std::string& yaml_text) {
    WebConfig config;
    try {
        const YAML::Node root = YAML::Load(yaml_text);
        if (root.IsNull()) return config;
        if (!root.IsMap()) refuse(root.Mark(), "web config", "expected a mapping");
        for (const auto& item : root) {
            const std::string key = item.first.as<std::string>();
            const YAML::Node& node = item.second;
            if (key == "tls_server_config") {
                if (!node.IsMap()) refuse(node.Mark(), key, "expected a mapping");
                for (const auto& tls : node) {
                    const std::string name = tls.first.as<std::string>();
                    if (name == "cert_file")
                        config.cert_file = text_of(tls.second, key + ".cert_file");
                    else if (name == "key_file")
                        config.key_file = text_of(tls.second, key + ".key_file");
                    else if (name == "min_version")
                        config.min_version = tls_version_of(tls.second, key + ".min_version");
                    else if (name == "cipher_suites")
                        config.cipher_list = cipher_list_of(tls.second, key + ".cipher_suites");
                    else
                        refuse(tls.first.Mark(), key + "." + name, "not supported");
                }
                if (config.cert_file.empty() || config.key_file.empty())
                    refuse(node.Mark(), key, "needs both cert_file and key_file");
            } else if (key == "basic_auth_users") {
                if (!node.IsMap()) refuse(node.Mark(), key, "expected a mapping of user: hash");
                for (const auto& user : node) {
                    const std::string name = user.first.as<std::string>();
                    const std::string hash = text_of(user.second, key + "." + name);
                    if (!usable_bcrypt(hash))
                        refuse(user.second.Mark(), key + "." + name, "not a bcrypt hash");
                    config.basic_auth_users[name] = hash;
                }
            } else {
                refuse(item.first.Mark(), key, "not supported");
            }
        }
    } catch (const YAML::Exception& e) {
        refuse(e.mark, "syntax", e.msg);
    }
    return config;
}

WebConfig load_web_config(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) throw std::runtime_error("cannot read the web config file \"" + path + "\"");
    return parse_web_config(text.str());
}

BasicAuth::BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {
    int cost = 4;
    for (const auto& [user, hash] : users_) cost = std::max(cost, bcrypt_cost(hash));
    // A salt of its own, so that no password matches it; the cost is the dearest user's.
    dummy_hash_ = "$2b$" + std::string(cost < 10 ? "0" : "") + std::to_string(cost) +
                  "$abcdefghijklmnopqrstu.0123456789abcdefghijklmnopqrstu";
}

bool BasicAuth::allows_at_once(const std::string& authorization) const {
    if (users_.empty()) return true;
    std::lock_guard lock(mutex_);
    return matched_.count(sha256(authorization)) > 0;
}

bool BasicAuth::allows(const std::string& authorization) const {
    if (allows_at_once(authorization)) return true;
    if (authorization.rfind("Basic ", 0) != 0) return false;
    const std::string pair = base64_decode(authorization.substr(6));
    const size_t colon = pair.find(':');
    if (colon == std::string::npos) return false;
    const auto user = users_.find(pair.substr(0, colon));
    const std::string& hash = user == users_.end() ? dummy_hash_ : user->second;
    if (!bcrypt_matches(pair.substr(colon + 1), hash) || user == users_.end()) return false;
    std::lock_guard lock(mutex_);
    // Bounded against a flood of distinct valid credentials; a dropped one pays bcrypt again.
    if (matched_.size() >= kCacheSize) matched_.erase(matched_.begin());
    matched_.insert(sha256(authorization));
    return true;
}

}  // namespace varnok
