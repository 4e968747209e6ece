// SPDX-License-Identifier: Apache-2.0
#include "app/cmd_check.h"

#include <CLI/CLI.hpp>
#include <ctime>
#include <iostream>
#include <memory>

#include "app/host_runner.h"
#include "app/passive.h"
#include "app/plugin_output.h"
#include "app/rule_options.h"
#include "app/via_checks.h"
#include "app/via_client.h"
#include "settings/codes.h"
#include "state/defaults.h"

namespace varnok {
namespace {

struct CheckOptions : HostOptions {
    std::string format = "text";
    std::string warning;
    std::string critical;
    std::string passive;
    std::string passive_host;
    std::string via;
    bool no_fallback = false;
    bool verbose = false;
    RuleOptions rules;
    std::string fell_back;  ///< why --via did not answer this run, for its output
};

std::string joined(const std::vector<std::string>& words, const std::string& separator) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : separator) + w;
    return text;
}

std::string footer() {
    return "\nParameter string fields (#KEY=VALUE, keys in any case):\n"
           "  USR user   PWD password in Base64 (also the key's pass phrase)   KEYF private key "
           "file\n"
           "  PORT (0: " +
           std::to_string(kDefaultSshPort) + ")   OS " + joined(codes_of(kSystemCodes), "|") +
           "   COL column of the name\n"
           "  PRO process name   SGN LT (alert when less than) | AL (alert when at least)   NUM "
           "count\n"
           "  EOL LF|CR|CRLF   FULL=T exact match   INPL=T list matches   WAIT=T   DEBUG=T "
           "varnokcom.log\n"
           "Compose one with `varnok param`. Each --param/--param-file is a rule (named by the "
           "file,\n"
           "or 'rule N'); rules with the same host, time limit, USR, PWD, PROTO, PORT, KEYF, KEYT, "
           "OS\n"
           "and WAIT share one login, and several rules print NAME<TAB>STATUS<TAB>text lines.\n"
           "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (the worst of all rules and "
           "hosts).";
}

// Under the daemon (o.rules.served) the run of a client's request: it may not write the engine's
// pipe nor read a hosts file, and leaves whatever stops it before checking to the client.
int run(const CheckOptions& o, const HostCheck& check, std::ostream& out, std::ostream& err) {
    const bool nagios = o.format == "nagios";
    const bool served = o.rules.served != nullptr;
    if (served && !o.passive.empty()) throw DirectOnly("--passive results are the client's");
    if (served && !o.hosts_file.empty()) throw DirectOnly("--hosts runs are the client's");
    Thresholds thresholds;
    std::vector<CheckRequest> rules;
    std::vector<HostEntry> hosts;
    try {
        thresholds = read_thresholds(o.warning, o.critical);
        rules = read_requests(o.rules);
        hosts = o.hosts_file.empty() ? std::vector<HostEntry>{{o.host, o.rules.timeout}}
                                     : parse_hosts(read_text(o.hosts_file), o.rules.timeout);
    } catch (const DirectOnly&) {
        throw;
    } catch (const std::exception& e) {
        if (served) throw DirectOnly(e.what());
        return fail(nagios, e.what(), o.fell_back);
    }
    if (hosts.empty()) return fail(nagios, o.hosts_file + " names no host");
    const OutputFormat format = nagios               ? OutputFormat::Nagios
                                : o.format == "json" ? OutputFormat::Json
                                                     : OutputFormat::Text;
    ReportWriter writer(format, !o.hosts_file.empty(), rules.size() > 1, thresholds, out, err);
    writer.set_verbose(o.verbose);
    if (!o.fell_back.empty()) writer.warn(o.fell_back);
    std::string passive;
    const auto emit = [&](const std::vector<CheckReport>& reports) {
        writer.write(reports);
        if (o.passive.empty()) return;
        for (const CheckReport& r : reports) {
            passive += passive_result_line(
                o.passive_host.empty() ? r.host : o.passive_host, r.rule_name,
                static_cast<int>(plugin_status(r, thresholds)), nagios_line(r, thresholds),
                static_cast<long long>(std::time(nullptr)));
        }
    };
    if (o.hosts_file.empty())
        emit(check(requests_for(hosts.front(), rules)));
    else
        run_hosts(hosts, rules, o.jobs, check, emit);
    int status = static_cast<int>(writer.worst());
    if (!o.passive.empty()) {
        // The engine's pipe gets the session's time limit of its own.
        const auto deadline = std::chrono::steady_clock::now() + time_limit(o.rules.timeout);
        if (const std::string error = write_passive(o.passive, passive, deadline); !error.empty()) {
            writer.note("passive results not delivered: " + error);
            status = kUnknownExit;
        }
    }
    writer.finish();
    return status;
}

void add_check_options(CLI::App& cmd, const std::shared_ptr<CheckOptions>& o) {
    const std::function<void()> require_host = add_host_options(cmd, *o, "-H,--host,--hostname");
    cmd.add_option("--format", o->format,
                   "Output: text, nagios (plugin line with performance data) or json")
        ->capture_default_str()
        ->check(CLI::IsMember({"text", "nagios", "json"}));
    cmd.add_option("-w,--warning", o->warning,
                   "WARNING when the match count is outside RANGE ([@][start:][end], ~ for minus "
                   "infinity, @ for inside), e.g. 1:3");
    cmd.add_option("-c,--critical", o->critical,
                   "CRITICAL when the match count is outside RANGE, e.g. 1:. With -w or -c the "
                   "ranges decide the status instead of the parameter string's rule");
    cmd.add_option(
        "--passive", o->passive,
        "Also write each result as PROCESS_SERVICE_CHECK_RESULT;HOST;RULE NAME;CODE;OUTPUT "
        "to FILE, an engine's external command file ('-': standard output)");
    cmd.add_option("--passive-host", o->passive_host,
                   "The engine's name of the host in passive results (default: the --host given)");
    cmd.add_option("--via", o->via,
                   "Send the check to `varnok serve` listening on SOCKET, which runs it on a "
                   "session it holds open; when SOCKET is missing or does not answer, check "
                   "directly within the same time limit. With --hosts each host is a request of "
                   "its own; --passive results are written here, never by the daemon")
        ->envname("VARNOK_VIA");
    cmd.add_flag("--no-fallback", o->no_fallback,
                 "With --via: UNKNOWN instead of a direct check when the daemon does not answer");
    cmd.add_flag("-v,--verbose", o->verbose,
                 "After each result, every entry of the listing, counted by the rule or not, then "
                 "the totals");
    add_rule_options(cmd, o->rules, true);
    cmd.footer(footer());
    cmd.final_callback(require_host);
}

}  // namespace

Action add_check_command(CLI::App& cmd) {
    auto o = std::make_shared<CheckOptions>();
    add_check_options(cmd, o);
    return {[o] {
                o->fell_back = via_fell_back();
                // The varnok command sends a lone check itself and leaves a run of many hosts,
                // or one that writes the engine's pipe, to this program: its hosts ride the
                // daemon one request each. A run that fell back here does not ask again.
                if (!o->via.empty() && o->fell_back.empty())
                    return run(*o, via_host_check(o->via, o->no_fallback, run_checks), std::cout,
                               std::cerr);
                return run(*o, run_checks, std::cout, std::cerr);
            },
            [o] { return o->format == "nagios"; }};
}

int run_check_words(const std::vector<std::string>& args, const ServedContext& served,
                    const HostCheck& check, std::ostream& out, std::ostream& err) {
    CLI::App cmd;
    auto o = std::make_shared<CheckOptions>();
    add_check_options(cmd, o);
    parse_sent_words(cmd, args, o->rules, served);
    return run(*o, check, out, err);
}

}  // namespace varnok
