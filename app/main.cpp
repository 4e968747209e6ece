#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "app/demo_server.h"
#include "check/automation_error.h"
#include "check/varnok_com.h"
#include "gui/frmmain.h"
#include "listing/event_pump.h"
#include "listing/lines.h"
#include "settings/param_string.h"
#include "state/state.h"

namespace {

using varnok::AutomationError;
using varnok::Variant;
using varnok::VarnokCom;

// Nagios plugin exit codes.
constexpr int kOk = 0;
constexpr int kCritical = 2;
constexpr int kUnknown = 3;

struct Target {
    std::string host;
    std::string timeout = "0";
    std::string param;
    std::string param_file;
};

void add_target_options(CLI::App& cmd, Target& t) {
    cmd.add_option("--host", t.host, "Name or address of the remote machine")->required();
    cmd.add_option("--timeout", t.timeout,
                   "Time limit of the SSH session in seconds (0: 30 seconds)")
        ->capture_default_str();
    auto* param = cmd.add_option("--param", t.param,
                                 "Parameter string, e.g. '#USR=monitor#PWD=...#OS=LINUX#PRO=sshd#'");
    auto* file = cmd.add_option("--param-file", t.param_file,
                                "Read the parameter string from FILE ('-' for standard input), so "
                                "no password shows in a process list");
    param->excludes(file);
    file->excludes(param);
    cmd.callback([param, file] {
        if (param->count() == 0 && file->count() == 0) {
            throw CLI::RequiredError("--param or --param-file");
        }
    });
}

std::string read_param(const Target& t) {
    if (t.param_file.empty()) return t.param;
    std::string text;
    if (t.param_file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream in(t.param_file, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read " + t.param_file);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void load(VarnokCom& com, const Target& t) {
    com.put_xc_hostname(Variant(t.host));
    com.put_xc_timeout(Variant(t.timeout));
    com.put_xc_parameter(Variant(read_param(t)));
}

int report_error(const AutomationError& e) {
    std::cerr << "varnok: error " << e.number() << ": " << e.what() << "\n";
    return kUnknown;
}

int run_check(const Target& t) {
    VarnokCom com;
    load(com, t);
    try {
        const bool passed = com.xc_docheck();
        const std::string text = varnok::variant_to_text(com.get_xc_result());
        std::cout << text << "\n";
        if (passed) return kOk;
        // A false result without a listing means the check could not run.
        const bool ran = text.rfind("ERR: ", 0) != 0 && varnok::SessionState.ConnectError.empty();
        return ran ? kCritical : kUnknown;
    } catch (const AutomationError& e) {
        return report_error(e);
    }
}

int run_list(const Target& t) {
    VarnokCom com;
    load(com, t);
    try {
        varnok::fill_check_settings(com.get_xc_timeout(), com.get_xc_hostname(),
                                    com.get_xc_parameter());
    } catch (const AutomationError& e) {
        return report_error(e);
    }
    const auto& s = varnok::CheckSettings;
    if (s.Username.empty() || (s.Password.empty() && s.KeyFile.empty())) {
        std::cerr << "varnok: the parameter string needs USR and PWD or KEYF\n";
        return kUnknown;
    }
    com.form().Get_Process_list();
    while (!varnok::SessionState.Disconnected) varnok::DoEvents();
    if (!varnok::SessionState.ConnectError.empty()) {
        std::cerr << "varnok: " << varnok::SessionState.ConnectError << "\n";
        return kUnknown;
    }
    varnok::SortWords();
    for (int i = 0; i < varnok::SessionState.LineCount; ++i) {
        std::cout << varnok::SessionState.Lines[static_cast<size_t>(i)] << "\n";
    }
    return kOk;
}

int run_gui(const Target& t) {
    VarnokCom com;
    load(com, t);
    try {
        com.xc_showGUI();
    } catch (const AutomationError& e) {
        return report_error(e);
    }
    std::cout << varnok::variant_to_text(com.get_xc_parameter()) << "\n";
    return com.form().closed_by_ok() ? 0 : 1;
}

int run_demo() {
    try {
        varnok::DemoServer server;
        Target t;
        t.host = "127.0.0.1";
        t.timeout = "10";
        t.param = "#ENC=T#USR=" + server.user() + "#PWD=#PROTO=A#PORT=" + std::to_string(server.port()) +
                  "#KEYF=" + server.key_file() + "#KEYT=RSA#OS=LINUX#COL=5#PRO=sshd#SGN=LT#NUM=1" +
                  "#EOL=LF#FULL=N#WAIT=F#INPL=T#";
        std::cout << "Started a throwaway OpenSSH server on 127.0.0.1:" << server.port()
                  << " that lets " << server.user() << " in with a generated key.\n"
                  << "$ varnok check --host " << t.host << " --timeout " << t.timeout
                  << " --param '" << t.param << "'\n"
                  << std::flush;
        const int status = run_check(t);
        std::cout << "(exit status " << status << ": "
                  << (status == kOk ? "OK" : status == kCritical ? "CRITICAL" : "UNKNOWN") << ")\n";
        return status;
    } catch (const std::exception& e) {
        std::cerr << "varnok demo: " << e.what() << "\n";
        return kUnknown;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "varnok: an agentless process check. It logs into a host over SSH, lists its processes,\n"
        "counts those with a name and says whether the alert rule is met. Exit status: 0 OK,\n"
        "2 CRITICAL (the rule's alert condition is met), 3 UNKNOWN (the check could not run)."};
    app.require_subcommand(1);
    Target target;

    auto* check = app.add_subcommand("check", "Run one check and print its result text");
    add_target_options(*check, target);
    auto* list = app.add_subcommand("list", "List the remote processes, sorted, one per line");
    add_target_options(*list, target);
    auto* gui = app.add_subcommand(
        "gui", "Edit the parameter string in the settings dialog and print it (exit 0 after OK, "
               "1 after the close box)");
    add_target_options(*gui, target);
    auto* demo = app.add_subcommand(
        "demo", "Start a throwaway sshd on 127.0.0.1 and check it for sshd processes");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUnknown;
    }
    try {
        if (check->parsed()) return run_check(target);
        if (list->parsed()) return run_list(target);
        if (gui->parsed()) return run_gui(target);
        if (demo->parsed()) return run_demo();
    } catch (const std::exception& e) {
        std::cerr << "varnok: " << e.what() << "\n";
        return kUnknown;
    }
    return kUnknown;
}
