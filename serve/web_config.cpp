// SPDX-License-Identifier: Apache-2.0
#include "serve/web_config.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <yaml-cpp/yaml.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace varnok {
namespace {

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
                    if (hash.rfind("$2", 0) != 0 || hash.size() != 60)
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

BasicAuth::BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {}

bool BasicAuth::allows(const std::string& authorization) const {
    if (users_.empty()) return true;
    if (authorization.rfind("Basic ", 0) != 0) return false;
    const std::string pair = base64_decode(authorization.substr(6));
    const size_t colon = pair.find(':');
    if (colon == std::string::npos) return false;
    const auto user = users_.find(pair.substr(0, colon));
    if (user == users_.end()) return false;
    const std::string key = sha256(pair + '\n' + user->second);
    {
        std::lock_guard lock(mutex_);
        if (matched_.count(key)) return true;
    }
    if (!bcrypt_matches(pair.substr(colon + 1), user->second)) return false;
    std::lock_guard lock(mutex_);
    matched_.insert(key);
    return true;
}

}  // namespace varnok
