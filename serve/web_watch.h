// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/stat.h>

#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "serve/web_config.h"

namespace varnok {

/// The listener's web side as one reading of the web config made it: TLS and basic auth.
struct WebSide {
    /// The side of config, with tls its TLS context (null for plain HTTP).
    WebSide(WebConfig c, std::shared_ptr<boost::asio::ssl::context> t)
        : config(std::move(c)), auth(config.basic_auth_users), tls(std::move(t)) {}
    WebConfig config;                                ///< the file as read
    BasicAuth auth;                                  ///< its users
    std::shared_ptr<boost::asio::ssl::context> tls;  ///< null for plain HTTP
};

/// Makes the TLS context of a web config: its certificate and key, its lowest version and its
/// cipher list; throws std::runtime_error when the files cannot be used.
std::shared_ptr<boost::asio::ssl::context> make_tls_context(const WebConfig& config);

/// The web config file and the files it names, read again when one of them changes (its inode,
/// size or time of change), looked at no more than once a second. Not thread-safe.
class WebWatch {
  public:
    /// path "" is plain HTTP without auth; throws std::runtime_error when the file is refused.
    explicit WebWatch(std::string path);

    /// The web side now; a changed file that is refused leaves the old one and logs why.
    std::shared_ptr<const WebSide> current();

    /// True when the listener speaks TLS (fixed at start). Thread-safe.
    bool tls() const { return tls_; }

  private:
    std::vector<struct stat> signature() const;

    std::string path_;
    std::shared_ptr<const WebSide> side_;
    std::vector<struct stat> seen_;
    std::chrono::steady_clock::time_point looked_;
    bool tls_;
};

}  // namespace varnok
