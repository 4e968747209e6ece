// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "serve/serve_config.h"
#include "serve/session_pool.h"

namespace varnok {

/// The HTTP side of `varnok serve`: /probe?target=HOST&module=NAME runs a module's rules on the
/// target through the pool, /metrics shows the daemon's own figures, / a landing page,
/// /-/healthy and /-/ready answer 200 and POST /-/reload re-reads the config. Serves from
/// construction on: all socket I/O on one thread, probes on a bounded pool of workers.
class HttpServer {
  public:
    /// Reads the config again; throws std::runtime_error with the reason when it is refused.
    using ConfigLoader = std::function<ServeConfig()>;

    /// Binds config.http_listen (port 0: any free port) with the web config file it names and
    /// starts serving; throws std::runtime_error when the web config is refused or the address
    /// cannot be bound.
    HttpServer(SessionPool& pool, ServeConfig config, ConfigLoader load);
    /// Stops serving and waits for the requests in progress.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /// The bound port.
    int port() const;

    /// True when the listener speaks TLS.
    bool tls() const;

    /// Replaces the modules and host-key policy with a fresh read of the config; a refused config
    /// leaves the old one in place, and its reason goes to error. Returns true on success.
    bool reload(std::string* error = nullptr);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// A probe's time limit: the module's, lowered to the scrape timeout header's value minus offset
/// (to half the scrape timeout when the offset leaves nothing); the module's when the header
/// is missing or not a positive number.
std::chrono::milliseconds probe_time_limit(double module_seconds, const std::string& scrape_header,
                                           std::chrono::milliseconds offset);

/// Splits "host:port" or "[v6]:port"; throws std::runtime_error when it is not one.
std::pair<std::string, int> split_listen_address(const std::string& address);

}  // namespace varnok
