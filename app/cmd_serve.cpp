// SPDX-License-Identifier: Apache-2.0
#include "app/cmd_serve.h"

#include <grp.h>
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "app/cmd_check.h"
#include "app/cmd_procs.h"
#include "app/rule_options.h"
#include "serve/http_server.h"
#include "serve/serve_config.h"
#include "serve/session_pool.h"
#include "serve/socket_server.h"

namespace varnok {
namespace {

gid_t group_id(const std::string& name) {
    if (name.empty()) return static_cast<gid_t>(-1);
    const group* g = ::getgrnam(name.c_str());
    if (g == nullptr) throw std::runtime_error("no group " + name);
    return g->gr_gid;
}

// A request is the words after `varnok check` (or, with "command":"procs", after `varnok
// procs`) and the files they name; the answer what the command prints and its exit status, or
// "direct" for a run the client must make itself.
nlohmann::json answer(SessionPool& pool, const nlohmann::json& request) {
    const auto args = request.at("args").get<std::vector<std::string>>();
    const auto files = request.value("files", std::map<std::string, std::string>());
    const std::string command = request.value("command", "check");
    std::ostringstream out, err;
    std::optional<int> status;
    if (command == "check") {
        status = run_check_words(
            args, files, [&pool](const std::vector<CheckRequest>& r) { return pool.run(r); }, out,
            err);
    } else if (command == "procs") {
        status = run_procs_words(
            args, files,
            [&pool](const CheckSettingsRecord& login, const HostKeyPolicy& keys,
                    const std::string& line) {
                RawOutcome got = pool.run_raw(login, keys, line);
                return RemoteOutcome{std::move(got.received), got.failure, std::move(got.text),
                                     std::move(got.warnings)};
            },
            out);
    }
    if (!status) return {{"direct", true}};
    return {{"status", *status}, {"out", out.str()}, {"err", err.str()}};
}

// Why a config is refused; "" when it reads.
template <typename Load>
std::string check_config(const Load& load) {
    try {
        load();
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

int run(const std::string& config_file) {
    const auto load = [&config_file] { return parse_serve_config(read_text(config_file)); };
    ServeConfig config;
    try {
        config = load();
    } catch (const std::exception& e) {
        std::cerr << "varnok serve: " << config_file << ": " << e.what() << "\n";
        return 1;
    }
    // The signals are taken on this thread only, so they are blocked before any other starts.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    SessionPool pool(config.idle_timeout, config.keepalive, config.max_concurrent_logins);
    std::unique_ptr<SocketServer> server;
    std::unique_ptr<HttpServer> http;
    try {
        server = std::make_unique<SocketServer>(
            config.socket_path, group_id(config.socket_group),
            [&pool](const nlohmann::json& r) { return answer(pool, r); });
        if (!config.http_listen.empty()) http = std::make_unique<HttpServer>(pool, config, load);
    } catch (const std::exception& e) {
        std::cerr << "varnok serve: " << e.what() << "\n";
        return 1;
    }
    std::thread accepting([&server] { server->serve(); });
    std::cerr << "varnok serve: listening on " << config.socket_path;
    if (http) std::cerr << (http->tls() ? " and https://" : " and http://") << config.http_listen;
    std::cerr << std::endl;
    for (;;) {
        const timespec second{1, 0};
        const int signal = sigtimedwait(&signals, nullptr, &second);
        if (signal == SIGTERM || signal == SIGINT) break;
        if (signal == SIGHUP) {
            // The HTTP side keeps the modules; it reads the file again itself and keeps its old
            // config when the new one is refused, as POST /-/reload does.
            std::string error;
            if (http ? http->reload(&error) : (error = check_config(load), error.empty())) {
                std::cerr << "varnok serve: reloaded " << config_file
                          << " (the sockets and the session limits change at a restart)"
                          << std::endl;
            } else {
                std::cerr << "varnok serve: " << config_file << ": " << error
                          << "; the old config stays" << std::endl;
            }
        }
        pool.tend();
    }
    http.reset();
    server->stop();
    accepting.join();
    server.reset();
    std::cerr << "varnok serve: stopped" << std::endl;
    return 0;
}

}  // namespace

Action add_serve_command(CLI::App& cmd) {
    auto config = std::make_shared<std::string>();
    cmd.add_option("--config", *config, "The daemon's YAML config file")->required();
    return {[config] { return run(*config); }};
}

}  // namespace varnok
