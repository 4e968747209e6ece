// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "serve/exposition.h"
#include "serve/process_history.h"
#include "serve/serve_config.h"
#include "serve/session_pool.h"
#include "serve/web_config.h"

namespace varnok {

/// A complete request as the listener read it.
struct HttpRequest {
    boost::beast::http::request<boost::beast::http::string_body> message;
    std::chrono::steady_clock::time_point arrival;  ///< when its headers were complete
    std::string peer;                               ///< the client's address and port
};

/// An answer to send.
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

/// An answer with a text body of the given type.
HttpResponse text_response(boost::beast::http::status status, std::string body,
                           const char* type = "text/plain; charset=utf-8");

/// Writes one line to stderr in one write, so that lines of several threads never mix.
void log_line(const std::string& line);

/// Logs a refused request to stderr: who, the status, the target and module asked, the reason.
void log_refusal(const std::string& peer, int status, const std::string& target,
                 const std::string& module, const std::string& reason);

/// The value of a query parameter of a request target, decoded; "" when it is missing.
std::string query_param(std::string_view target, std::string_view name);

/// What the listener answers, path by path, with the config it reloads. Thread-safe.
class HttpRoutes {
  public:
    /// load reads the config again for reload().
    HttpRoutes(SessionPool& pool, ServeConfig config, std::function<ServeConfig()> load);

    /// True when answer() may take long (a probe, a reload, a password to check with bcrypt)
    /// and belongs on a worker thread.
    bool slow(const HttpRequest& req, const BasicAuth& auth) const;

    /// The answer to a request, after basic auth.
    HttpResponse answer(const HttpRequest& req, const BasicAuth& auth);

    /// Replaces the config with a fresh read; see HttpServer::reload().
    bool reload(std::string* error);

  private:
    HttpResponse probe(const HttpRequest& req);
    HttpResponse landing() const;
    std::shared_ptr<const ServeConfig> current() const;

    SessionPool& pool_;
    std::function<ServeConfig()> load_;
    mutable std::mutex mutex_;
    std::shared_ptr<const ServeConfig> config_;
    DaemonState state_;
    ProcessHistory history_;  ///< the rules' processes of modules with process_metrics
};

}  // namespace varnok
