// SPDX-License-Identifier: Apache-2.0
#include "serve/web_watch.h"

#include <openssl/ssl.h>

#include <stdexcept>

#include "serve/http_routes.h"

namespace varnok {
namespace {

std::shared_ptr<const WebSide> read_side(const std::string& path) {
    WebConfig config = path.empty() ? WebConfig{} : load_web_config(path);
    auto tls = config.tls() ? make_tls_context(config) : nullptr;
    return std::make_shared<const WebSide>(std::move(config), std::move(tls));
}

bool same(const std::vector<struct stat>& a, const std::vector<struct stat>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].st_dev != b[i].st_dev || a[i].st_ino != b[i].st_ino ||
            a[i].st_size != b[i].st_size || a[i].st_mtim.tv_sec != b[i].st_mtim.tv_sec ||
            a[i].st_mtim.tv_nsec != b[i].st_mtim.tv_nsec)
            return false;
    return true;
}

}  // namespace

std::shared_ptr<boost::asio::ssl::context> make_tls_context(const WebConfig& config) {
    namespace ssl = boost::asio::ssl;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    SSL_CTX* ctx = context->native_handle();
    SSL_CTX_set_options(
        ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (SSL_CTX_set_min_proto_version(ctx, config.min_version) != 1 ||
        SSL_CTX_set_cipher_list(ctx, config.cipher_list.c_str()) != 1)
        throw std::runtime_error("the TLS version or cipher suites cannot be used");
    boost::system::error_code error;
    context->use_certificate_chain_file(config.cert_file, error);
    if (!error) context->use_private_key_file(config.key_file, ssl::context::pem, error);
    if (error || SSL_CTX_check_private_key(ctx) != 1)
        throw std::runtime_error("cannot use the TLS certificate \"" + config.cert_file +
                                 "\" with the key \"" + config.key_file + "\"");
    return context;
}

WebWatch::WebWatch(std::string path)
    : path_(std::move(path)),
      side_(read_side(path_)),
      seen_(signature()),
      looked_(std::chrono::steady_clock::now()),
      tls_(side_->config.tls()) {}

std::vector<struct stat> WebWatch::signature() const {
    std::vector<struct stat> files;
    for (const std::string& file : {path_, side_->config.cert_file, side_->config.key_file}) {
        struct stat st {};
        if (!file.empty()) ::stat(file.c_str(), &st);
        files.push_back(st);
    }
    return files;
}

std::shared_ptr<const WebSide> WebWatch::current() {
    const auto now = std::chrono::steady_clock::now();
    if (path_.empty() || now - looked_ < std::chrono::seconds(1)) return side_;
    looked_ = now;
    const std::vector<struct stat> files = signature();
    if (same(files, seen_)) return side_;
    seen_ = files;
    try {
        auto fresh = read_side(path_);
        if (fresh->config.tls() != side_->config.tls())
            throw std::runtime_error("TLS is turned on or off at a restart only");
        side_ = std::move(fresh);
        seen_ = signature();
        log_line("varnok serve: read the web config " + path_ + " again");
    } catch (const std::exception& e) {
        log_line("varnok serve: web config " + path_ + ": " + e.what() + "; the old one stays");
    }
    return side_;
}

}  // namespace varnok
