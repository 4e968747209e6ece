#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <iterator>

#include "app/check_runner.h"
#include "app/demo_server.h"
#include "app/param_command.h"
#include "automation/automation_error.h"
#include "check/varnok_com.h"
#include "check/frmmain.h"
#include "listing/event_pump.h"
#include "listing/lines.h"
#include "state/state.h"
#include "state/version.h"

namespace {

using namespace varnok;

constexpr int kUnknown = 3;

struct Target {
    std::string host;
    std::string hosts_file;
    std::string timeout = "0";
    std::string param;
    std::string param_file;
    std::string format = "text";
    int jobs = 8;
};

std::string read_text(const std::string& file) {
    std::string text;
    if (file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read " + file);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    return text;
}

// A file written by an editor or echo ends in a line end that is no part of the string.
std::string without_line_end(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string read_param(const Target& t) {
    return t.param_file.empty() ? t.param : without_line_end(read_text(t.param_file));
}

void add_param_options(CLI::App& cmd, Target& t) {
    cmd.add_option("--timeout", t.timeout, "Time limit of the SSH session in seconds (0: 30 seconds)")
        ->capture_default_str();
    auto* param = cmd.add_option("--param", t.param,
                                 "Parameter string, e.g. '#USR=monitor#PWD=...#OS=LINUX#PRO=sshd#'");
    auto* file = cmd.add_option("--param-file", t.param_file,
                                "Read the parameter string from FILE ('-': standard input), so that "
                                "no password shows in a process list");
    param->excludes(file);
    cmd.callback([param, file] {
        if (param->count() == 0 && file->count() == 0) throw CLI::RequiredError("--param or --param-file");
    });
}

int report_error(const AutomationError& e) {
    std::cerr << "varnok: error " << e.number() << ": " << e.what() << "\n";
    return kUnknown;
}

std::string format_outcome(const CheckOutcome& o, const std::string& format, bool with_host) {
    if (format == "json") return json_line(o);
    if (format == "nagios") return (with_host ? o.host + "\t" : "") + nagios_line(o);
    if (with_host) {
        const std::string text = o.error_number != 0
                                     ? "error " + std::to_string(o.error_number) + ": " + o.error_text
                                     : o.text;
        return o.host + "\t" + status_name(o.status) + "\t" + text;
    }
    return o.text;
}

int run_check_command(const Target& t) {
    const std::string param = read_param(t);
    if (!t.hosts_file.empty()) {
        const auto hosts = parse_hosts(read_text(t.hosts_file), t.timeout);
        if (hosts.empty()) {
            std::cerr << "varnok: " << t.hosts_file << " names no host\n";
            return kUnknown;
        }
        int worst = 0;
        run_many(hosts, param, t.jobs, [&](const CheckOutcome& o) {
            std::cout << format_outcome(o, t.format, true) << std::endl;
            worst = std::max(worst, static_cast<int>(o.status));
        });
        return worst;
    }
    const CheckOutcome o = run_check(t.host, t.timeout, param);
    if (o.error_number != 0 && t.format == "text") {
        std::cerr << "varnok: error " << o.error_number << ": " << o.error_text << "\n";
    } else {
        std::cout << format_outcome(o, t.format, false) << "\n";
    }
    return static_cast<int>(o.status);
}

int run_list(const Target& t) {
    VarnokCom com;
    try {
        fill_check_settings(Variant(t.timeout), Variant(t.host), Variant(read_param(t)));
    } catch (const AutomationError& e) {
        return report_error(e);
    }
    const auto& s = CheckSettings;
    if (s.Username.empty() || (s.Password.empty() && s.KeyFile.empty())) {
        std::cerr << "varnok: the parameter string needs USR and PWD or KEYF\n";
        return kUnknown;
    }
    com.form().Get_Process_list();
    while (!SessionState.Disconnected) DoEvents();
    if (!SessionState.ConnectError.empty()) {
        std::cerr << "varnok: " << SessionState.ConnectError << "\n";
        return kUnknown;
    }
    SortWords();
    for (int i = 0; i < SessionState.LineCount; ++i) std::cout << SessionState.Lines[static_cast<size_t>(i)] << "\n";
    return 0;
}

int run_gui(const Target& t) {
    VarnokCom com;
    com.put_xc_hostname(Variant(t.host));
    com.put_xc_timeout(Variant(t.timeout));
    com.put_xc_parameter(Variant(read_param(t)));
    try {
        com.xc_showGUI();
    } catch (const AutomationError& e) {
        return report_error(e);
    }
    std::cout << variant_to_text(com.get_xc_parameter()) << "\n";
    return com.form().closed_by_ok() ? 0 : 1;
}

int run_param(ParamOptions& o, bool password_stdin, const std::string& show) {
    if (!show.empty()) {
        try {
            std::cout << show_parameter_string(without_line_end(show == "-" ? read_text("-") : show));
        } catch (const AutomationError& e) {
            return report_error(e);
        }
        return 0;
    }
    if (password_stdin) {
        std::getline(std::cin, o.password);
        if (!o.password.empty() && o.password.back() == '\r') o.password.pop_back();
    }
    std::cout << write_parameter_string(form_values(o)) << "\n";
    return 0;
}

int run_demo() {
    try {
        DemoServer server;
        const std::string param = "#ENC=T#USR=" + server.user() + "#PWD=#PROTO=A#PORT=" +
                                  std::to_string(server.port()) + "#KEYF=" + server.key_file() +
                                  "#KEYT=RSA#OS=LINUX#COL=5#PRO=sshd#SGN=LT#NUM=1#EOL=LF#FULL=N#WAIT=F#INPL=T#";
        std::cout << "Started a throwaway OpenSSH server on 127.0.0.1:" << server.port() << " that lets "
                  << server.user() << " in with a generated key.\n"
                  << "$ varnok check --host 127.0.0.1 --timeout 10 --param '" << param << "'\n"
                  << std::flush;
        const CheckOutcome o = run_check("127.0.0.1", "10", param);
        if (o.error_number != 0) std::cerr << "varnok: error " << o.error_number << ": " << o.error_text << "\n";
        else std::cout << o.text << "\n";
        std::cout << "(exit status " << static_cast<int>(o.status) << ": " << status_name(o.status) << ")\n";
        return static_cast<int>(o.status);
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
    app.set_version_flag("-V,--version", std::string("varnok ") + kVersionText);
    app.require_subcommand(1);
    Target target;

    auto* check = app.add_subcommand("check", "Run one check (or one per host) and print the result");
    auto* host = check->add_option("--host", target.host, "Name or address of the remote machine");
    auto* hosts = check->add_option("--hosts", target.hosts_file,
                                    "Check every host of FILE (one a line, an optional time limit "
                                    "after it; blank lines and # comments skipped)");
    host->excludes(hosts);
    check->add_option("--jobs", target.jobs, "Checks run at once with --hosts")
        ->capture_default_str()
        ->check(CLI::Range(1, 1024));
    check->add_option("--format", target.format, "Output: text, nagios (plugin line with performance "
                                                  "data) or json")
        ->capture_default_str()
        ->check(CLI::IsMember({"text", "nagios", "json"}));
    add_param_options(*check, target);
    check->footer(
        "\nParameter string fields (#KEY=VALUE, keys in any case):\n"
        "  USR user   PWD password in Base64 (also the key's pass phrase)   KEYF private key file\n"
        "  PORT (0: 22)   OS LINUX|BSD|SOLARIS|HPUX|AIX|OPENSSHCYGWIN   COL column of the name\n"
        "  PRO process name   SGN LT (alert when less than) | AL (alert when at least)   NUM count\n"
        "  EOL LF|CR|CRLF   FULL=T exact match   INPL=T list matches   WAIT=T   DEBUG=T varnokcom.log\n"
        "Compose one with `varnok param`. Exit status: 0 OK, 2 CRITICAL, 3 UNKNOWN.");
    check->final_callback([host, hosts] {
        if (host->count() == 0 && hosts->count() == 0) throw CLI::RequiredError("--host or --hosts");
    });

    auto* list = app.add_subcommand("list", "List the remote processes, sorted, one per line");
    list->add_option("--host", target.host, "Name or address of the remote machine")->required();
    add_param_options(*list, target);

    auto* gui = app.add_subcommand("gui", "Edit the parameter string in the settings dialog and print "
                                          "it (exit 0 after OK, 1 after the close box)");
    gui->add_option("--host", target.host, "Name or address of the remote machine")->required();
    add_param_options(*gui, target);

    ParamOptions popt;
    bool password_stdin = false;
    std::string show;
    auto* param = app.add_subcommand("param", "Compose a parameter string (the dialog's defaults "
                                              "where an option is not given), or --show one");
    param->add_option("--user", popt.user, "Login name");
    param->add_flag("--password-stdin", password_stdin, "Read the password from the first line of "
                                                        "standard input");
    param->add_option("--key-file", popt.key_file, "Private key file (the password is its pass phrase)");
    param->add_option("--key-type", popt.key_type)->check(CLI::IsMember({"RSA", "DSA"}))->capture_default_str();
    param->add_option("--protocol", popt.protocol, "1, 2 or A (automatic)")
        ->check(CLI::IsMember({"1", "2", "A"}))->capture_default_str();
    param->add_option("--port", popt.port)->capture_default_str();
    param->add_option("--os", popt.os)
        ->check(CLI::IsMember({"LINUX", "BSD", "SOLARIS", "HPUX", "AIX", "OPENSSHCYGWIN"}))
        ->capture_default_str();
    param->add_option("--column", popt.column, "Column of the process name (default: the system's)")
        ->check(CLI::Range(1, 15));
    param->add_option("--process", popt.process, "Process name to count");
    param->add_option("--rule", popt.rule, "LT: alert when less than; AL: alert when at least")
        ->check(CLI::IsMember({"LT", "AL"}))->capture_default_str();
    param->add_option("--instances", popt.instances)->check(CLI::Range(1, 150))->capture_default_str();
    param->add_option("--eol", popt.eol)->check(CLI::IsMember({"CR", "LF", "CRLF"}))->capture_default_str();
    param->add_flag("--wait", popt.wait, "Add a wait command to the listing");
    param->add_flag("--include-matches", popt.include_matches, "List the matching processes in the result");
    param->add_option("--show", show, "Print the settings of a parameter string ('-': standard "
                                      "input), the password masked");

    auto* demo = app.add_subcommand("demo", "Start a throwaway sshd on 127.0.0.1 and check it for sshd processes");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUnknown;
    }
    try {
        if (check->parsed()) return run_check_command(target);
        if (list->parsed()) return run_list(target);
        if (gui->parsed()) return run_gui(target);
        if (param->parsed()) return run_param(popt, password_stdin, show);
        if (demo->parsed()) return run_demo();
    } catch (const std::exception& e) {
        std::cerr << "varnok: " << e.what() << "\n";
        return kUnknown;
    }
    return kUnknown;
}
