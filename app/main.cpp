#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>

#include "app/check_runner.h"
#include "app/demo_server.h"
#include "app/param_command.h"
#include "automation/automation_error.h"
#include "check/frmmain.h"
#include "check/varnok_com.h"
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
    std::vector<std::string> params;
    std::vector<std::string> param_files;
    std::string format = "text";
    std::string warning;
    std::string critical;
    std::string passive;
    std::string passive_host;
    int jobs = 8;
    std::string known_hosts;
    std::string host_key_check = "accept-new";
    /// --param and --param-file in the order given: a name, and a string or the file to read it
    /// from.
    std::vector<std::pair<std::string, std::function<std::string()>>> sources;
};

std::string read_text(const std::string& file) {
    std::string text;
    if (file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    return text;
}

// A file written by an editor or echo ends in a line end that is no part of the string.
std::string without_line_end(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

HostKeyPolicy host_key_policy(const Target& t) {
    HostKeyPolicy p;
    p.known_hosts = t.known_hosts;
    p.check = t.host_key_check == "yes"  ? HostKeyCheck::Yes
              : t.host_key_check == "no" ? HostKeyCheck::No
                                         : HostKeyCheck::AcceptNew;
    return p;
}

void add_param_options(CLI::App& cmd, Target& t, bool many) {
    cmd.add_option(
        "--known-hosts", t.known_hosts,
        "Host keys are looked up in (and recorded to) FILE, OpenSSH's known_hosts format "
        "(default: ~/.ssh/known_hosts, shared with ssh)");
    cmd.add_option(
           "--host-key-check", t.host_key_check,
           "accept-new: record an unknown host's key, refuse a changed one; yes: refuse unknown "
           "hosts too; no: record nothing, refuse only a key that contradicts the file")
        ->capture_default_str()
        ->check(CLI::IsMember({"yes", "accept-new", "no"}));
    cmd.add_option("-t,--timeout", t.timeout,
                   "Time limit of the SSH session in seconds (0: 30 seconds)")
        ->capture_default_str();
    auto* param =
        cmd.add_option("--param", t.params,
                       "Parameter string, e.g. '#USR=monitor#PWD=...#OS=LINUX#PRO=sshd#'" +
                           std::string(many ? "; give it again for each further rule" : ""));
    auto* file =
        cmd.add_option("--param-file", t.param_files,
                       "Read the parameter string from FILE ('-': standard input), so that "
                       "no password shows in a process list" +
                           std::string(many ? "; give it again for each further rule" : ""));
    cmd.parse_complete_callback([param, file, many, &cmd, &t] {
        const size_t count = param->count() + file->count();
        if (count == 0) throw CLI::RequiredError("--param or --param-file");
        if (!many && count > 1)
            throw CLI::ValidationError("--param/--param-file", "give one parameter string");
        // The rules in the order given, --param and --param-file mixed.
        size_t next_param = 0, next_file = 0;
        for (const CLI::Option* o : cmd.parse_order()) {
            const std::string numbered = "rule " + std::to_string(t.sources.size() + 1);
            if (o == param) {
                std::string text = t.params.at(next_param++);
                t.sources.emplace_back(numbered, [text] { return text; });
            } else if (o == file) {
                const std::string path = t.param_files.at(next_file++);
                const std::string stem = std::filesystem::path(path).stem().string();
                // Read when the check runs, so that an unreadable file reaches its output.
                t.sources.emplace_back(path == "-" || stem.empty() ? numbered : stem,
                                       [path] { return without_line_end(read_text(path)); });
            }
        }
    });
}

std::vector<Rule> read_rules(const Target& t) {
    std::vector<Rule> rules;
    for (const auto& [name, read] : t.sources) rules.push_back({name, read()});
    return rules;
}

std::string read_param(const Target& t) { return read_rules(t).at(0).param; }

int report_error(const AutomationError& e) {
    std::cerr << "varnok: error " << e.number() << ": " << e.what() << "\n";
    return kUnknown;
}

// Nothing failed to read or parse may end a plugin run without its one line of output.
int fail(const Target& t, const std::string& text) {
    if (t.format == "nagios")
        std::cout << "PROCS UNKNOWN: " << text << "\n";
    else
        std::cerr << "varnok: " << text << "\n";
    return kUnknown;
}

// One line for an outcome: the host in front with --hosts, the rule's name with several rules.
std::string format_outcome(CheckOutcome o, const std::string& format, bool with_host,
                           bool with_rule) {
    if (!with_rule) o.rule_name.clear();
    if (format == "json") return json_line(o);
    const std::string prefix =
        (with_host ? o.host + "\t" : "") + (with_rule ? o.rule_name + "\t" : "");
    if (format == "nagios") return prefix + nagios_line(o);
    if (!with_host && !with_rule) return o.text;
    const std::string text = o.error_number != 0
                                 ? "error " + std::to_string(o.error_number) + ": " + o.error_text
                                 : o.text;
    return prefix + status_name(o.status) + "\t" + text;
}

// Appends lines to an engine's external command file, or standard output for "-". A FIFO
// whose reader is away is retried, and a full one waited for, only until the deadline.
std::string write_passive(const std::string& path, const std::string& lines,
                          std::chrono::steady_clock::time_point deadline) {
    if (path == "-") {
        std::cout << lines << std::flush;
        return {};
    }
    const auto ms_left = [deadline] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    };
    int fd;
    while ((fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC)) < 0) {
        if (errno != ENXIO || ms_left() == 0)
            return "cannot open " + path + ": " + std::strerror(errno);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min(50, ms_left())));  // no reader yet
    }
    size_t done = 0;
    std::string error;
    while (done < lines.size() && error.empty()) {
        const ssize_t n = ::write(fd, lines.data() + done, lines.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, ms_left()) == 0) error = "timed out writing to " + path;
        } else if (!(n < 0 && errno == EINTR)) {
            error = "cannot write to " + path + ": " + std::strerror(errno);
        }
    }
    ::close(fd);
    return error;
}

int run_check_command(const Target& t) {
    std::vector<Rule> rules;
    Thresholds thresholds;
    std::vector<HostEntry> hosts;
    try {
        if (!t.warning.empty()) thresholds.warning = parse_range(t.warning);
        if (!t.critical.empty()) thresholds.critical = parse_range(t.critical);
        rules = read_rules(t);
        hosts = t.hosts_file.empty() ? std::vector<HostEntry>{{t.host, t.timeout}}
                                     : parse_hosts(read_text(t.hosts_file), t.timeout);
    } catch (const std::exception& e) {
        return fail(t, e.what());
    }
    if (hosts.empty()) return fail(t, t.hosts_file + " names no host");
    const bool with_host = !t.hosts_file.empty();
    const bool with_rule = rules.size() > 1;
    int worst = 0;
    std::string passive;
    const auto emit = [&](const std::vector<CheckOutcome>& outcomes) {
        for (const CheckOutcome& o : outcomes) {
            if (o.error_number != 0 && t.format == "text" && !with_host && !with_rule) {
                std::cerr << "varnok: error " << o.error_number << ": " << o.error_text << "\n";
            } else {
                std::cout << format_outcome(o, t.format, with_host, with_rule) << "\n";
            }
            worst = std::max(worst, static_cast<int>(o.status));
            if (!t.passive.empty()) {
                passive += passive_result_line(o, t.passive_host.empty() ? o.host : t.passive_host,
                                               static_cast<long long>(std::time(nullptr)));
            }
        }
        std::cout << std::flush;
    };
    if (with_host)
        run_many(hosts, rules, thresholds, host_key_policy(t), t.jobs, emit);
    else
        emit(run_rules(t.host, t.timeout, rules, thresholds, host_key_policy(t)));
    if (!t.passive.empty()) {
        // The engine's pipe gets the session's time limit of its own.
        const double seconds = std::atof(t.timeout.c_str());
        const auto deadline =
            std::chrono::steady_clock::now() +
            std::chrono::milliseconds(static_cast<long long>((seconds > 0 ? seconds : 30) * 1000));
        if (const std::string error = write_passive(t.passive, passive, deadline); !error.empty()) {
            std::cerr << "varnok: passive results not delivered: " << error << "\n";
            return kUnknown;
        }
    }
    return worst;
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
    com.form().host_keys = host_key_policy(t);
    com.form().run_listing();
    if (!SessionState.ConnectError.empty()) {
        std::cerr << "varnok: " << SessionState.ConnectError << "\n";
        return kUnknown;
    }
    SortWords();
    for (int i = 0; i < SessionState.LineCount; ++i)
        std::cout << SessionState.Lines[static_cast<size_t>(i)] << "\n";
    return 0;
}

int run_gui(const Target& t) {
    VarnokCom com;
    com.form().host_keys = host_key_policy(t);
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
            std::cout << show_parameter_string(
                without_line_end(show == "-" ? read_text("-") : show));
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
        const std::string param =
            "#ENC=T#USR=" + server.user() + "#PWD=#PROTO=A#PORT=" + std::to_string(server.port()) +
            "#KEYF=" + server.key_file() +
            "#KEYT=RSA#OS=LINUX#COL=5#PRO=sshd#SGN=LT#NUM=1#EOL=LF#FULL=N#WAIT=F#INPL=T#";
        std::cout << "Started a throwaway OpenSSH server on 127.0.0.1:" << server.port()
                  << " that lets " << server.user() << " in with a generated key.\n"
                  << "$ varnok check --host 127.0.0.1 --timeout 10 --param '" << param << "'\n"
                  << std::flush;
        // The throwaway server's key is recorded beside it, never in the user's known_hosts.
        const std::string key_dir = server.key_file().substr(0, server.key_file().rfind('/'));
        const CheckOutcome o = run_check("127.0.0.1", "10", param, {},
                                         {HostKeyCheck::AcceptNew, key_dir + "/known_hosts"});
        if (o.error_number != 0)
            std::cerr << "varnok: error " << o.error_number << ": " << o.error_text << "\n";
        else
            std::cout << o.text << "\n";
        std::cout << "(exit status " << static_cast<int>(o.status) << ": " << status_name(o.status)
                  << ")\n";
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
        "1 WARNING (with --warning), 2 CRITICAL (the rule's alert condition is met, or the count "
        "is\n"
        "outside --critical), 3 UNKNOWN (the check could not run)."};
    app.set_version_flag("-V,--version", std::string("varnok ") + kVersionText);
    app.require_subcommand(1);
    Target target;

    auto* check =
        app.add_subcommand("check", "Run one check (or one per host) and print the result");
    auto* host = check->add_option("-H,--host,--hostname", target.host,
                                   "Name or address of the remote machine");
    auto* hosts = check->add_option("--hosts", target.hosts_file,
                                    "Check every host of FILE (one a line, an optional time limit "
                                    "after it; blank lines and # comments skipped)");
    host->excludes(hosts);
    check->add_option("--jobs", target.jobs, "Checks run at once with --hosts")
        ->capture_default_str()
        ->check(CLI::Range(1, 1024));
    check
        ->add_option("--format", target.format,
                     "Output: text, nagios (plugin line with performance "
                     "data) or json")
        ->capture_default_str()
        ->check(CLI::IsMember({"text", "nagios", "json"}));
    check->add_option(
        "-w,--warning", target.warning,
        "WARNING when the match count is outside RANGE ([@][start:][end], ~ for minus "
        "infinity, @ for inside), e.g. 1:3");
    check->add_option("-c,--critical", target.critical,
                      "CRITICAL when the match count is outside RANGE, e.g. 1:. With -w or -c the "
                      "ranges decide the status instead of the parameter string's rule");
    check->add_option(
        "--passive", target.passive,
        "Also write each result as PROCESS_SERVICE_CHECK_RESULT;HOST;RULE NAME;CODE;OUTPUT "
        "to FILE, an engine's external command file ('-': standard output)");
    check->add_option(
        "--passive-host", target.passive_host,
        "The engine's name of the host in passive results (default: the --host given)");
    add_param_options(*check, target, true);
    check->footer(
        "\nParameter string fields (#KEY=VALUE, keys in any case):\n"
        "  USR user   PWD password in Base64 (also the key's pass phrase)   KEYF private key file\n"
        "  PORT (0: 22)   OS LINUX|BSD|SOLARIS|HPUX|AIX|OPENSSHCYGWIN   COL column of the name\n"
        "  PRO process name   SGN LT (alert when less than) | AL (alert when at least)   NUM "
        "count\n"
        "  EOL LF|CR|CRLF   FULL=T exact match   INPL=T list matches   WAIT=T   DEBUG=T "
        "varnokcom.log\n"
        "Compose one with `varnok param`. Each --param/--param-file is a rule (named by the file,\n"
        "or 'rule N'); rules with the same host, time limit, USR, PWD, PROTO, PORT, KEYF, KEYT, "
        "OS\n"
        "and WAIT share one login, and several rules print NAME<TAB>STATUS<TAB>text lines.\n"
        "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (the worst of all rules and hosts).");
    check->final_callback([host, hosts] {
        if (host->count() == 0 && hosts->count() == 0)
            throw CLI::RequiredError("--host or --hosts");
    });

    auto* list = app.add_subcommand("list", "List the remote processes, sorted, one per line");
    list->add_option("-H,--host,--hostname", target.host, "Name or address of the remote machine")
        ->required();
    add_param_options(*list, target, false);

    auto* gui = app.add_subcommand("gui",
                                   "Edit the parameter string in the settings dialog and print "
                                   "it (exit 0 after OK, 1 after the close box)");
    gui->add_option("-H,--host,--hostname", target.host, "Name or address of the remote machine")
        ->required();
    add_param_options(*gui, target, false);

    ParamOptions popt;
    bool password_stdin = false;
    std::string show;
    auto* param = app.add_subcommand("param",
                                     "Compose a parameter string (the dialog's defaults "
                                     "where an option is not given), or --show one");
    param->add_option("--user", popt.user, "Login name");
    param->add_flag("--password-stdin", password_stdin,
                    "Read the password from the first line of "
                    "standard input");
    param->add_option("--key-file", popt.key_file,
                      "Private key file (the password is its pass phrase)");
    param->add_option("--key-type", popt.key_type)
        ->check(CLI::IsMember({"RSA", "DSA"}))
        ->capture_default_str();
    param->add_option("--protocol", popt.protocol, "1, 2 or A (automatic)")
        ->check(CLI::IsMember({"1", "2", "A"}))
        ->capture_default_str();
    param->add_option("--port", popt.port)->capture_default_str();
    param->add_option("--os", popt.os)
        ->check(CLI::IsMember({"LINUX", "BSD", "SOLARIS", "HPUX", "AIX", "OPENSSHCYGWIN"}))
        ->capture_default_str();
    param->add_option("--column", popt.column, "Column of the process name (default: the system's)")
        ->check(CLI::Range(1, 15));
    param->add_option("--process", popt.process, "Process name to count");
    param->add_option("--rule", popt.rule, "LT: alert when less than; AL: alert when at least")
        ->check(CLI::IsMember({"LT", "AL"}))
        ->capture_default_str();
    param->add_option("--instances", popt.instances)
        ->check(CLI::Range(1, 150))
        ->capture_default_str();
    param->add_option("--eol", popt.eol)
        ->check(CLI::IsMember({"CR", "LF", "CRLF"}))
        ->capture_default_str();
    param->add_flag("--wait", popt.wait, "Add a wait command to the listing");
    param->add_flag("--include-matches", popt.include_matches,
                    "List the matching processes in the result");
    param->add_option("--show", show,
                      "Print the settings of a parameter string ('-': standard "
                      "input), the password masked");

    auto* demo = app.add_subcommand(
        "demo", "Start a throwaway sshd on 127.0.0.1 and check it for sshd processes");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (target.format == "nagios" && e.get_exit_code() != 0) return fail(target, e.what());
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
        return fail(target, e.what());
    }
    return kUnknown;
}
