// SPDX-License-Identifier: Apache-2.0
#include "serve/http_routes.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iostream>

#include "serve/http_server.h"
#include "serve/rule_processes.h"

namespace varnok {
namespace {

namespace http = boost::beast::http;

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
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

/// A client's text as a log line may hold it: short, without control characters.
std::string printable(const std::string& text) {
    std::string out = text.substr(0, 200);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string_view path_of(std::string_view target) { return target.substr(0, target.find('?')); }

}  // namespace

HttpResponse text_response(http::status status, std::string body, const char* type) {
    HttpResponse res{status, 11};
    res.set(http::field::content_type, type);
    res.body() = std::move(body);
    return res;
}

void log_line(const std::string& line) {
    const std::string whole = line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, whole.data(), whole.size());
}

void log_refusal(const std::string& peer, int status, const std::string& target,
                 const std::string& module, const std::string& reason) {
    std::string line = "varnok serve: http " + std::to_string(status) + " to " + peer;
    if (!target.empty() || !module.empty())
        line += ", target \"" + printable(target) + "\", module \"" + printable(module) + "\"";
    log_line(line + ": " + printable(reason));
}

std::string query_param(std::string_view target, std::string_view name) {
    const size_t question = target.find('?');
    if (question == std::string_view::npos) return "";
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? "" : query.substr(amp + 1);
        const size_t eq = pair.find('=');
        if (percent_decode(pair.substr(0, eq)) == name)
            return eq == std::string_view::npos ? "" : percent_decode(pair.substr(eq + 1));
    }
    return "";
}

HttpRoutes::HttpRoutes(SessionPool& pool, ServeConfig config, std::function<ServeConfig()> load)
    : pool_(pool),
      load_(std::move(load)),
      config_(std::make_shared<const ServeConfig>(std::move(config))) {
    state_.last_reload_success_time = unix_now();
}

std::shared_ptr<const ServeConfig> HttpRoutes::current() const {
    std::lock_guard lock(mutex_);
    return config_;
}

bool HttpRoutes::slow(const HttpRequest& req, const BasicAuth& auth) const {
    const std::string_view path = path_of(req.message.target());
    return !auth.allows_at_once(std::string(req.message[http::field::authorization])) ||
           path == "/probe" || (path == "/-/reload" && req.message.method() == http::verb::post);
}

HttpResponse HttpRoutes::answer(const HttpRequest& req, const BasicAuth& auth) {
    const auto& m = req.message;
    HttpResponse res = [&] {
        if (!auth.allows(std::string(m[http::field::authorization]))) {
            log_refusal(req.peer, 401, query_param(m.target(), "target"),
                        query_param(m.target(), "module"), "no valid basic auth credentials");
            HttpResponse r = text_response(http::status::unauthorized, "Unauthorized\n");
            r.set(http::field::www_authenticate, "Basic realm=\"varnok\"");
            return r;
        }
        const std::string_view path = path_of(m.target());
        const bool get = m.method() == http::verb::get;
        if (path == "/-/reload") {
            if (m.method() != http::verb::post) {
                HttpResponse r = text_response(http::status::method_not_allowed, "use POST\n");
                r.set(http::field::allow, "POST");
                return r;
            }
            std::string error;
            if (reload(&error)) return text_response(http::status::ok, "config reloaded\n");
            return text_response(http::status::internal_server_error,
                                 "config reload refused: " + error + "\n");
        }
        if (!get && (path == "/probe" || path == "/metrics" || path == "/" ||
                     path == "/-/healthy" || path == "/-/ready")) {
            HttpResponse r = text_response(http::status::method_not_allowed, "use GET\n");
            r.set(http::field::allow, "GET");
            return r;
        }
        if (path == "/probe") return probe(req);
        if (path == "/metrics") {
            DaemonState now;
            {
                std::lock_guard lock(mutex_);
                now = state_;
            }
            return text_response(http::status::ok,
                                 daemon_exposition(pool_.figures(), now) + process_exposition(),
                                 kMetricsType);
        }
        if (path == "/-/healthy") return text_response(http::status::ok, "Healthy\n");
        // A config is loaded before the listener opens.
        if (path == "/-/ready") return text_response(http::status::ok, "Ready\n");
        if (path == "/") return landing();
        return text_response(http::status::not_found, "not found\n");
    }();
    res.version(m.version());
    res.keep_alive(m.keep_alive());
    return res;
}

HttpResponse HttpRoutes::probe(const HttpRequest& req) {
    const auto config = current();
    const std::string target = query_param(req.message.target(), "target");
    const std::string name = query_param(req.message.target(), "module");
    const auto refuse = [&](http::status status, const std::string& why) {
        log_refusal(req.peer, static_cast<int>(status), target, name, why);
        return text_response(status, why + "\n");
    };
    if (target.empty()) return refuse(http::status::bad_request, "missing target parameter");
    const auto module = config->modules.find(name);
    if (module == config->modules.end())
        return refuse(http::status::bad_request, "unknown module \"" + name + "\"");
    if (!allowed(module->second, target))
        return refuse(http::status::forbidden,
                      "target \"" + target + "\" is not allowed for module \"" + name + "\"");
    const std::chrono::milliseconds limit = probe_time_limit(
        module->second.timeout_seconds,
        std::string(req.message["X-Prometheus-Scrape-Timeout-Seconds"]), config->timeout_offset);
    // The check counts whole seconds; the deadline holds it to the limit itself.
    const std::string seconds =
        std::to_string(std::max<long long>(1, (limit.count() + 999) / 1000));
    std::vector<CheckRequest> requests;
    for (const ModuleRule& rule : module->second.rules)
        requests.push_back(
            {target, seconds, rule.param, config->host_keys, rule.name, rule.key_text});
    const auto start = std::chrono::steady_clock::now();
    SessionFacts session;
    const std::vector<CheckReport> reports =
        pool_.run(requests, RequestOrigin::Http, req.arrival + limit, &session);
    const double duration =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    {
        std::lock_guard lock(mutex_);
        ++state_.probes;
    }
    for (const CheckReport& r : reports)
        if (!r.counted())
            log_line("varnok serve: probe of \"" + printable(target) + "\", module \"" + name +
                     "\", rule \"" + r.rule_name + "\" failed: " + failure_name(r.failure) + ": " +
                     printable(r.text));
    std::string metrics = probe_exposition(reports, duration, session);
    ProcessProbe processes;
    // Only on a session that just served every rule: a failed login is not tried again here.
    if (module->second.process_metrics &&
        std::all_of(reports.begin(), reports.end(),
                    [](const CheckReport& r) { return r.counted(); }))
        processes =
            probe_processes(pool_, history_, *config, module->second, target, req.arrival + limit);
    metrics += processes.metrics;
    if (query_param(req.message.target(), "debug") == "true")
        return text_response(http::status::ok,
                             "Logs for the probe:\n" + probe_log(reports) + processes.log +
                                 "\nMetrics that would have been returned:\n" + metrics);
    return text_response(http::status::ok, metrics, kMetricsType);
}

HttpResponse HttpRoutes::landing() const {
    std::string modules;
    for (const auto& [name, module] : current()->modules)
        modules += "<li>" + html_escape(name) + " (" + std::to_string(module.rules.size()) +
                   " rules)</li>";
    return text_response(http::status::ok,
                         "<html><head><title>varnok serve</title></head><body><h1>varnok serve</h1>"
                         "<p><a href=\"/metrics\">Metrics</a></p>"
                         "<form action=\"/probe\">Target: <input name=\"target\"> Module: <input "
                         "name=\"module\"> <input type=\"hidden\" name=\"debug\" value=\"true\">"
                         "<input type=\"submit\" value=\"Probe\"></form><h2>Modules</h2><ul>" +
                             modules + "</ul></body></html>\n",
                         "text/html");
}

bool HttpRoutes::reload(std::string* error) {
    try {
        auto fresh = std::make_shared<const ServeConfig>(load_());
        std::lock_guard lock(mutex_);
        config_ = std::move(fresh);
        state_.last_reload_ok = true;
        state_.last_reload_success_time = unix_now();
        return true;
    } catch (const std::exception& e) {
        log_line(std::string("varnok serve: config reload refused, the old config stays: ") +
                 e.what());
        if (error) *error = e.what();
        std::lock_guard lock(mutex_);
        state_.last_reload_ok = false;
        return false;
    }
}

}  // namespace varnok
