// SPDX-License-Identifier: Apache-2.0
#include "serve/http_server.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "serve/exposition.h"
#include "serve/web_config.h"

namespace varnok {
namespace {

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
/// What a probe leaves of the scrape's time limit for the answer to travel back.
constexpr double kScrapeMargin = 0.5;
/// A request is a line, headers and a short form at most; anything bigger is refused.
constexpr size_t kMaxPayload = 64 * 1024;
/// Enough threads for every probe of a scrape interval to wait on its own host at once.
constexpr size_t kThreads = 64;

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

/// The check's time limit in whole seconds: the module's, lowered to what the scrape leaves.
std::string probe_timeout(double module_seconds, const std::string& scrape_header) {
    double limit = module_seconds;
    char* end = nullptr;
    const double scrape = std::strtod(scrape_header.c_str(), &end);
    if (!scrape_header.empty() && end && *end == '\0' && std::isfinite(scrape) && scrape > 0)
        limit = std::min(limit, scrape - kScrapeMargin);
    return std::to_string(std::max(1, static_cast<int>(std::floor(limit))));
}

bool allowed(const ProbeModule& module, const std::string& target) {
    if (module.allowed_targets.empty()) return !module.uses_password;
    return std::find(module.allowed_targets.begin(), module.allowed_targets.end(), target) !=
           module.allowed_targets.end();
}

std::string html_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

}  // namespace

std::pair<std::string, int> split_listen_address(const std::string& address) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos)
        throw std::runtime_error("listen address \"" + address + "\" has no port");
    std::string host = address.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string port_text = address.substr(colon + 1);
    const int port = std::atoi(port_text.c_str());
    if (std::to_string(port) != port_text || port < 0 || port > 65535)
        throw std::runtime_error("listen address \"" + address + "\" has no valid port");
    return {host.empty() ? "0.0.0.0" : host, port};
}

struct HttpServer::Impl {
    SessionPool& pool;
    ConfigLoader load;
    std::unique_ptr<BasicAuth> auth;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = 0;

    mutable std::mutex mutex;
    std::shared_ptr<const ServeConfig> config;
    DaemonState state;

    Impl(SessionPool& p, ConfigLoader l) : pool(p), load(std::move(l)) {}

    std::shared_ptr<const ServeConfig> current() const {
        std::lock_guard lock(mutex);
        return config;
    }

    void probe(const httplib::Request& req, httplib::Response& res) {
        const auto config_now = current();
        const std::string target = req.get_param_value("target");
        const std::string name = req.get_param_value("module");
        if (target.empty())
            return res.set_content("missing target parameter\n", "text/plain"),
                   void(res.status = 400);
        const auto module = config_now->modules.find(name);
        if (module == config_now->modules.end())
            return res.set_content("unknown module \"" + name + "\"\n", "text/plain"),
                   void(res.status = 400);
        if (!allowed(module->second, target))
            return res.set_content(
                       "target \"" + target + "\" is not allowed for module \"" + name + "\"\n",
                       "text/plain"),
                   void(res.status = 403);
        const std::string timeout =
            probe_timeout(module->second.timeout_seconds,
                          req.get_header_value("X-Prometheus-Scrape-Timeout-Seconds"));
        std::vector<CheckRequest> requests;
        for (const ModuleRule& rule : module->second.rules)
            requests.push_back(
                {target, timeout, rule.param, config_now->host_keys, rule.name, rule.key_text});
        const auto start = std::chrono::steady_clock::now();
        const std::vector<CheckReport> reports = pool.run(requests, RequestOrigin::Http);
        const double duration =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        {
            std::lock_guard lock(mutex);
            ++state.probes;
        }
        const std::string metrics = probe_exposition(reports, duration);
        if (req.get_param_value("debug") == "true")
            res.set_content("Logs for the probe:\n" + probe_log(reports) +
                                "\nMetrics that would have been returned:\n" + metrics,
                            "text/plain");
        else
            res.set_content(metrics, kMetricsType);
    }

    void metrics(httplib::Response& res) const {
        DaemonState now;
        {
            std::lock_guard lock(mutex);
            now = state;
        }
        res.set_content(daemon_exposition(pool.figures(), now), kMetricsType);
    }

    void landing(httplib::Response& res) const {
        std::string modules;
        for (const auto& [name, module] : current()->modules)
            modules += "<li>" + html_escape(name) + " (" + std::to_string(module.rules.size()) +
                       " rules)</li>";
        res.set_content(
            "<html><head><title>varnok serve</title></head><body><h1>varnok serve</h1>"
            "<p><a href=\"/metrics\">Metrics</a></p>"
            "<form action=\"/probe\">Target: <input name=\"target\"> Module: <input "
            "name=\"module\"> <input type=\"hidden\" name=\"debug\" value=\"true\">"
            "<input type=\"submit\" value=\"Probe\"></form><h2>Modules</h2><ul>" +
                modules + "</ul></body></html>\n",
            "text/html");
    }
};

HttpServer::HttpServer(SessionPool& pool, ServeConfig config, ConfigLoader load)
    : impl_(std::make_unique<Impl>(pool, std::move(load))) {
    Impl& d = *impl_;
    const auto [host, port] = split_listen_address(config.http_listen);
    WebConfig web;
    if (!config.web_config_file.empty()) web = load_web_config(config.web_config_file);
    d.auth = std::make_unique<BasicAuth>(web.basic_auth_users);
    if (web.tls()) {
        auto tls =
            std::make_unique<httplib::SSLServer>(web.cert_file.c_str(), web.key_file.c_str());
        if (!tls->is_valid())
            throw std::runtime_error("cannot use the TLS certificate \"" + web.cert_file +
                                     "\" with the key \"" + web.key_file + "\"");
        d.server = std::move(tls);
    } else {
        d.server = std::make_unique<httplib::Server>();
    }
    d.config = std::make_shared<const ServeConfig>(std::move(config));
    d.state.last_reload_success_time = unix_now();

    httplib::Server& s = *d.server;
    s.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    s.set_payload_max_length(kMaxPayload);
    s.set_read_timeout(5, 0);
    s.set_write_timeout(10, 0);
    s.set_keep_alive_max_count(100);
    s.set_pre_routing_handler([&d](const httplib::Request& req, httplib::Response& res) {
        if (d.auth->allows(req.get_header_value("Authorization")))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"varnok\"");
        res.set_content("Unauthorized\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            res.status = 500;
            res.set_content("internal error\n", "text/plain");
        });
    s.Get("/probe",
          [&d](const httplib::Request& req, httplib::Response& res) { d.probe(req, res); });
    s.Get("/metrics", [&d](const httplib::Request&, httplib::Response& res) { d.metrics(res); });
    s.Get("/", [&d](const httplib::Request&, httplib::Response& res) { d.landing(res); });
    s.Post("/-/reload", [this](const httplib::Request&, httplib::Response& res) {
        std::string error;
        if (reload(&error)) return res.set_content("config reloaded\n", "text/plain");
        res.status = 500;
        res.set_content("config reload refused: " + error + "\n", "text/plain");
    });

    d.port = port == 0 ? s.bind_to_any_port(host) : (s.bind_to_port(host, port) ? port : -1);
    if (d.port <= 0) throw std::runtime_error("cannot listen on \"" + d.config->http_listen + "\"");
    d.thread = std::thread([&s] { s.listen_after_bind(); });
    // stop() only ends a server that already runs.
    while (!s.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpServer::~HttpServer() {
    impl_->server->stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

int HttpServer::port() const { return impl_->port; }

bool HttpServer::reload(std::string* error) {
    Impl& d = *impl_;
    try {
        auto fresh = std::make_shared<const ServeConfig>(d.load());
        std::lock_guard lock(d.mutex);
        d.config = std::move(fresh);
        d.state.last_reload_ok = true;
        d.state.last_reload_success_time = unix_now();
        return true;
    } catch (const std::exception& e) {
        std::cerr << "varnok: config reload refused, the old config stays: " << e.what() << "\n";
        if (error) *error = e.what();
        std::lock_guard lock(d.mutex);
        d.state.last_reload_ok = false;
        return false;
    }
}

}  // namespace varnok
