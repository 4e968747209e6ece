// SPDX-License-Identifier: Apache-2.0
#include "app/cmd_serve.h"

#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "app/cmd_check.h"
#include "app/cmd_procs.h"
#include "app/report_json.h"
#include "app/rule_options.h"
#include "serve/http_server.h"
#include "serve/secret_file.h"
#include "serve/serve_config.h"
#include "serve/session_pool.h"
#include "serve/socket_server.h"
#include "serve/web_config.h"

namespace varnok {
namespace {

gid_t group_id(const std::string& name) {
    if (name.empty()) return static_cast<gid_t>(-1);
    const group* g = ::getgrnam(name.c_str());
    if (g == nullptr) throw std::runtime_error("no group " + name);
    return g->gr_gid;
}

// A request is the words after `varnok check` (or, with "command":"procs", after `varnok
// procs`) and the contents of the files they name; the answer what the command prints and its
// exit status, or "direct" with the reason for a run the client must make itself. A check's
// request with "reports":true is answered with its reports instead, for a client that formats
// many hosts' output, or writes the engine's pipe, itself.
nlohmann::json answer(SessionPool& pool, const std::string& known_hosts,
                      const nlohmann::json& request) {
    const ServedContext served{request.value("files", std::map<std::string, std::string>()),
                               known_hosts};
    const auto args = request.at("args").get<std::vector<std::string>>();
    const std::string command = request.value("command", "check");
    const bool structured = request.value("reports", false);
    std::optional<std::vector<CheckReport>> reports;
    std::ostringstream out, err;
    int status = 3;
    try {
        if (command == "check") {
            status = run_check_words(
                args, served,
                [&pool, &reports](const std::vector<CheckRequest>& r) {
                    return *(reports = pool.run(r));
                },
                out, err);
            if (structured && !reports) throw DirectOnly("the words named no check to run");
            if (structured) return {{"reports", *reports}};
        } else if (command == "procs") {
            status = run_procs_words(
                args, served,
                [&pool](const CheckSettingsRecord& login, const HostKeyPolicy& keys,
                        const std::string& line, const std::optional<std::string>& key_text) {
                    RawOutcome got = pool.run_raw(login, keys, line, key_text);
                    return RemoteOutcome{std::move(got.received), got.failure, std::move(got.text),
                                         std::move(got.warnings)};
                },
                out);
        } else {
            throw DirectOnly("the daemon runs no " + command);
        }
    } catch (const DirectOnly& e) {
        return {{"direct", true}, {"reason", e.what()}};
    }
    return {{"status", status}, {"out", out.str()}, {"err", err.str()}};
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

// A loaded config, its warnings told.
ServeConfig load_config(const std::string& config_file, bool quiet) {
    ServeConfig c = load_serve_config(config_file);
    // As `varnok check` does, so that a daemon and its clients agree on one file.
    const char* env = std::getenv("VARNOK_KNOWN_HOSTS");
    if (c.host_keys.known_hosts.empty() && env != nullptr) c.host_keys.known_hosts = env;
    // The listener's TLS key is a secret too; a web config that does not read is the listener's
    // to refuse.
    try {
        const WebConfig web =
            c.web_config_file.empty() ? WebConfig{} : load_web_config(c.web_config_file);
        if (web.tls()) {
            const SecretFile key = read_secret_file(web.key_file, 1u << 20);
            if (key.text && key.open_to_others())
                c.warnings.push_back(key.open_text(web.key_file) + " and holds a secret");
        }
    } catch (const std::exception&) {
    }
    if (!quiet)
        for (const std::string& w : c.warnings) std::cerr << "varnok serve: warning: " << w << "\n";
    return c;
}

// --check-config: the config and the web config it names, only errors printed.
int check_only(const std::string& config_file) {
    try {
        const ServeConfig config = load_config(config_file, true);
        if (!config.web_config_file.empty()) load_web_config(config.web_config_file);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << config_file << ": " << e.what() << "\n";
        return 1;
    }
}

// Each session and client socket is a file: a fleet needs more than the usual soft limit of
// 1024, and the hard limit is the operator's to set (LimitNOFILE=).
void raise_file_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Ends the process when an orderly stop takes longer than a monitoring system waits for it:
// a login or a listing in flight may hold its thread for the whole time limit.
class StopDeadline {
  public:
    StopDeadline(std::chrono::milliseconds grace, std::string socket)
        : thread_([this, grace, socket = std::move(socket)] {
              std::unique_lock lock(mutex_);
              if (done_cv_.wait_for(lock, grace, [this] { return done_; })) return;
              ::unlink(socket.c_str());
              std::cerr << "varnok serve: stopped with requests in flight" << std::endl;
              std::_Exit(0);
          }) {}
    ~StopDeadline() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

int run(const std::string& config_file) {
    const auto load = [&config_file] { return load_config(config_file, false); };
    ServeConfig config;
    try {
        config = load();
    } catch (const std::exception& e) {
        std::cerr << "varnok serve: " << config_file << ": " << e.what() << "\n";
        return 1;
    }
    raise_file_limit();
    // The signals are taken on this thread only, so they are blocked before any other starts.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    SessionPool pool({config.idle_timeout, config.keepalive, config.max_concurrent_logins,
                      config.http_logins, config.max_sessions, config.login_backoff,
                      config.max_session_age, config.max_channels_per_session});
    std::unique_ptr<SocketServer> server;
    std::unique_ptr<HttpServer> http;
    try {
        server =
            std::make_unique<SocketServer>(config.socket_path, group_id(config.socket_group),
                                           [&pool, &config](const nlohmann::json& r) {
                                               return answer(pool, config.host_keys.known_hosts, r);
                                           });
        if (!config.http_listen.empty()) http = std::make_unique<HttpServer>(pool, config, load);
    } catch (const std::exception& e) {
        std::cerr << "varnok serve: " << e.what() << "\n";
        return 1;
    }
    std::thread accepting([&server] { server->serve(); });
    std::cerr << "varnok serve: listening on " << config.socket_path;
    if (http) {
        // The port bound, which port 0 leaves to the system.
        const std::string listen = config.http_listen;
        std::cerr << (http->tls() ? " and https://" : " and http://")
                  << listen.substr(0, listen.rfind(':') + 1) << http->port();
    }
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
    const StopDeadline deadline(std::chrono::milliseconds(1500), config.socket_path);
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
    auto check = std::make_shared<bool>(false);
    cmd.add_option("--config", *config, "The daemon's YAML config file")->required();
    cmd.add_flag("--check-config", *check,
                 "Read the config, the files it names and its web config, print only what is "
                 "wrong, and exit 0 (it reads) or 1");
    return {[config, check] { return *check ? check_only(*config) : run(*config); }};
}

}  // namespace varnok
