// SPDX-License-Identifier: Apache-2.0
#include "app/cmd_demo.h"

#include <iostream>

#include "app/demo_server.h"
#include "app/plugin_output.h"

namespace varnok {
namespace {

int run() {
    try {
        DemoServer server;
        const std::string param =
            "#ENC=T#USR=" + server.user() + "#PWD=#PROTO=A#PORT=" + std::to_string(server.port()) +
            "#KEYF=" + server.key_file() +
            "#KEYT=RSA#OS=LINUX#COL=5#PRO=sshd#SGN=LT#NUM=1#EOL=LF#FULL=N#WAIT=F#INPL=T#";
        std::cout << "Started a throwaway OpenSSH server on 127.0.0.1:" << server.port()
                  << " that lets " << server.user() << " in with a generated key.\n"
                  << "$ varnok check --host 127.0.0.1 --timeout 10 --param '" << param << "'\n"
                  << std::flush;
        CheckRequest request;
        request.host = "127.0.0.1";
        request.timeout = "10";
        request.param = param;
        // The throwaway server's key is recorded beside it, never in the user's known_hosts.
        const std::string key_dir = server.key_file().substr(0, server.key_file().rfind('/'));
        request.host_keys = {HostKeyCheck::AcceptNew, key_dir + "/known_hosts"};
        const CheckReport report = run_check(request);
        for (const std::string& w : report.warnings) std::cerr << "varnok: warning: " << w << "\n";
        if (report.failure == FailureKind::Call)
            std::cerr << "varnok: " << failure_text(report) << "\n";
        else
            std::cout << report.text << "\n";
        const PluginStatus status = plugin_status(report, {});
        std::cout << "(exit status " << static_cast<int>(status) << ": " << status_name(status)
                  << ")\n";
        return static_cast<int>(status);
    } catch (const std::exception& e) {
        std::cerr << "varnok demo: " << e.what() << "\n";
        return kUnknownExit;
    }
}

}  // namespace

Action add_demo_command(CLI::App&) { return {run}; }

}  // namespace varnok
