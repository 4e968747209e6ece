// SPDX-License-Identifier: Apache-2.0
#include "app/cmd_procs.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "app/host_runner.h"
#include "app/rule_options.h"
#include "app/via_client.h"
#include "procs/procs.h"
#include "procs/report.h"
#include "settings/param_string.h"
#include "settings/ranges.h"
#include "state/defaults.h"

namespace varnok {
namespace {

using procs::FilterKind;

struct ProcsOptions : HostOptions {
    std::string format = "nagios";
    std::string os;
    std::string login;
    std::string identity;
    int port = 0;
    std::string warning;
    std::string critical;
    std::string metric = "PROCS";
    std::string interval;  ///< --interval as given ("": one listing)
    int verbose = 0;
    bool no_kthreads = false;
    std::map<FilterKind, std::vector<std::string>> values;  ///< each filter option's values
    std::vector<procs::ProcsFilter> filters;                ///< in command-line order
    RuleOptions rules;
    std::string via;
    bool no_fallback = false;
    std::string fell_back;  ///< why --via did not answer this run, for its output
};

// The login and the remote system, from the parameter string and the options over it.
struct Target {
    CheckSettingsRecord settings;
    procs::ProcsSystem system = procs::ProcsSystem::Auto;
};

std::string failure_text(FailureKind kind, const std::string& text) {
    if (!text.empty()) return text;
    return std::string("the SSH session failed (") + failure_name(kind) + ")";
}

Target read_target(const ProcsOptions& o, const std::string& param, const HostEntry& host) {
    Target t;
    t.settings = decode_check_settings(Variant(host.timeout), Variant(host.host), Variant(param));
    CheckSettingsRecord& s = t.settings;
    if (!o.login.empty()) s.Username = o.login;
    if (!o.identity.empty()) s.KeyFile = o.identity;
    if (o.port != 0) s.Port = static_cast<int16_t>(o.port);
    const std::string os = !o.os.empty() ? o.os : !s.OSType.empty() ? s.OSType : "auto";
    const auto system = procs::system_from_name(os);
    if (!system) {
        throw std::runtime_error("no process listing is known for the system '" + os +
                                 "' (auto, linux, bsd, solaris, aix, hpux, cygwin)");
    }
    t.system = *system;
    if (s.Username.empty())
        throw std::runtime_error("no user to log in as: give -l/--logname or USR in --param");
    if (s.Password.empty() && s.KeyFile.empty()) {
        throw std::runtime_error(
            "no password or key: give -i/--identity, or PWD or KEYF in --param");
    }
    return t;
}

procs::ProcsQuery read_query(const ProcsOptions& o) {
    procs::ProcsQuery q;
    q.filters = o.filters;
    q.verbose = o.verbose > 0;
    q.json = o.format == "json";
    if (!o.warning.empty()) q.warning = parse_range(o.warning);
    if (!o.critical.empty()) q.critical = parse_range(o.critical);
    return q;
}

procs::ProcsResult unknown_result(const procs::ProcsQuery& query, const std::string& text,
                                  std::vector<std::string> warnings = {}) {
    procs::ProcsResult r;
    r.status_line = "PROCS UNKNOWN: " + text;
    r.warnings = std::move(warnings);
    if (query.json) r.json = procs::json_for(r, query, nullptr);
    return r;
}

// The seconds of --interval, which the session's time limit must leave room for; throws with
// the refusal's text.
int read_interval(const std::string& text, const CheckSettingsRecord& login) {
    int seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size() || seconds <= 0)
        throw std::runtime_error("--interval must be a whole number of seconds above 0, not '" +
                                 text + "'");
    const int limit = login.TimeoutSeconds > 0 ? login.TimeoutSeconds : 30;
    if (seconds >= limit)
        throw std::runtime_error("--interval " + text + " leaves no time for the listings: the " +
                                 "time limit (-t) is " + std::to_string(limit) + " seconds");
    return seconds;
}

procs::ProcsResult check_host(const procs::ProcsQuery& query, const Target& target,
                              const HostKeyPolicy& host_keys, const RemoteRun& remote) {
    const RemoteOutcome out =
        remote(target.settings, host_keys,
               procs::procs_command(target.system, procs::extras_for(query), query.interval));
    std::vector<std::string> warnings;
    for (const std::string& w : out.warnings) warnings.push_back("warning: " + w);
    if (out.failure != FailureKind::None)
        return unknown_result(query, failure_text(out.failure, out.text), warnings);
    procs::ProcsResult r = procs::evaluate(query, out.received, target.system);
    r.warnings.insert(r.warnings.begin(), warnings.begin(), warnings.end());
    return r;
}

// A warning goes first among the result's, in the long output or in the JSON's "warnings".
int print(procs::ProcsResult r, bool json, std::ostream& out, const std::string& warning) {
    if (!warning.empty()) {
        r.warnings.insert(r.warnings.begin(), "warning: " + warning);
        if (json) {
            auto j = nlohmann::ordered_json::parse(r.json);
            auto& warnings = j["warnings"];
            if (!warnings.is_array()) warnings = nlohmann::ordered_json::array();
            warnings.insert(warnings.begin(), r.warnings.front());
            r.json = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        }
    }
    out << (json ? r.json + "\n" : r.output()) << std::flush;
    return r.status;
}

// Every host of the file on threads of their own, written in file order as each is done: a
// line per host marked with its name, and after them all one line of every host's performance
// data, so that a monitoring engine reads the lines before it as long output.
int run_many(const ProcsOptions& o, const procs::ProcsQuery& query, const std::string& param,
             const std::vector<HostEntry>& hosts, const RemoteRun& remote, std::ostream& out) {
    const HostKeyPolicy host_keys = host_key_policy(o.rules);
    std::vector<procs::ProcsResult> results(hosts.size());
    int worst = 0;
    std::string perfdata;
    run_in_order(
        hosts.size(), o.jobs,
        [&](size_t i) {
            results[i] = check_host(query, read_target(o, param, hosts[i]), host_keys, remote);
        },
        [&](size_t i, const std::string& text) { results[i] = unknown_result(query, text); },
        [&](size_t i) {
            const procs::ProcsResult& r = results[i];
            worst = std::max(worst, r.status);
            if (query.json) {
                out << procs::host_json(r, hosts[i].host) << "\n" << std::flush;
            } else {
                out << procs::host_output(r, hosts[i].host) << std::flush;
                const std::string labelled = procs::labelled_perfdata(r, hosts[i].host);
                perfdata += (perfdata.empty() || labelled.empty() ? "" : " ") + labelled;
            }
            results[i] = {};  // a long run keeps only the hosts not yet written
        });
    if (!perfdata.empty()) out << "| " << perfdata << "\n" << std::flush;
    return worst;
}

int run(const ProcsOptions& o, const RemoteRun& remote, std::ostream& out) {
    procs::ProcsQuery query;
    query.json = o.format == "json";
    const auto unknown = [&](const std::string& text) {
        return print(unknown_result(query, text), query.json, out, o.fell_back);
    };
    std::string param;
    std::vector<HostEntry> hosts;
    Target target;
    try {
        query = read_query(o);
        const auto metric = procs::metric_from_name(o.metric);
        if (!metric) return unknown(std::string(procs::kMetricError));
        query.metric = *metric;
        param = o.rules.sources.empty() ? std::string() : o.rules.sources.front().second();
        hosts = o.hosts_file.empty() ? std::vector<HostEntry>{{o.host, o.rules.timeout}}
                                     : parse_hosts(read_text(o.hosts_file), o.rules.timeout);
        if (hosts.empty()) return unknown(o.hosts_file + " names no host");
        // What is wrong for every host is one UNKNOWN; a host's own time limit is its own.
        target = read_target(o, param, {hosts.front().host, o.rules.timeout});
        if (!o.interval.empty()) query.interval = read_interval(o.interval, target.settings);
    } catch (const DirectOnly&) {
        throw;
    } catch (const std::exception& e) {
        return unknown(e.what());
    }
    if (!o.hosts_file.empty()) return run_many(o, query, param, hosts, remote, out);
    return print(check_host(query, target, host_key_policy(o.rules), remote), query.json, out,
                 o.fell_back);
}

struct FilterOption {
    const char* names;
    FilterKind kind;
    const char* help;
};

const FilterOption kFilterOptions[] = {
    {"-s,--state", FilterKind::State,
     "Only processes whose state contains STATUSFLAGS as one piece (e.g. Z, Ss)"},
    {"-p,--ppid", FilterKind::Ppid, "Only children of the parent process id PPID"},
    {"-u,--user", FilterKind::User, "Only processes of USER (a name, or a numeric user id)"},
    {"-r,--rss", FilterKind::Rss, "Only processes with a resident set size of at least RSS KiB"},
    {"-z,--vsz", FilterKind::Vsz, "Only processes with a virtual size of at least VSZ KiB"},
    {"-P,--pcpu", FilterKind::Pcpu, "Only processes using at least PCPU percent of a CPU"},
    {"-a,--argument-array", FilterKind::Args, "Only processes whose arguments contain STRING"},
    {"--ereg-argument-array", FilterKind::ArgsRegex,
     "Only processes whose arguments match the POSIX extended regular expression"},
    {"-C,--command", FilterKind::Command,
     "Only processes whose command name (without its path) is COMMAND"},
    {"-X,--exclude-process", FilterKind::Exclude,
     "Leave out processes named in the comma-separated list"},
};

void add_procs_options(CLI::App& cmd, const std::shared_ptr<ProcsOptions>& o) {
    const std::function<void()> require_host = add_host_options(cmd, *o, "-H,--hostname,--host");
    cmd.add_option("-w,--warning", o->warning,
                   "WARNING when the count (or with -m each process's value) is outside RANGE "
                   "([@][start:][end])");
    cmd.add_option("-c,--critical", o->critical, "CRITICAL when outside RANGE, as -w");
    cmd.add_option("-m,--metric", o->metric,
                   "What -w/-c check: PROCS (the count), VSZ, RSS, CPU, ELAPSED or THREADS (per "
                   "process)")
        ->capture_default_str();
    cmd.add_option("--interval", o->interval,
                   "List twice, SECONDS apart, in one login: -m CPU and -P then read each "
                   "process's share of one CPU between the listings (100 = one full CPU) "
                   "instead of ps's %CPU; below the time limit");
    std::vector<std::pair<CLI::Option*, FilterKind>> filter_options;
    for (const FilterOption& f : kFilterOptions) {
        auto* option = cmd.add_option(f.names, o->values[f.kind], f.help)->allow_extra_args(false);
        filter_options.emplace_back(option, f.kind);
    }
    auto* kthreads =
        cmd.add_flag("-k,--no-kthreads", o->no_kthreads, "Leave out kernel threads (Linux)");
    cmd.add_flag("-v,--verbose", o->verbose,
                 "After the status line, why each listed process was counted or not");
    cmd.add_option("--format", o->format, "Output: nagios (check_procs's lines) or json")
        ->capture_default_str()
        ->check(CLI::IsMember({"nagios", "json"}));
    cmd.add_option("--os", o->os,
                   "The remote system: auto (uname -s picks the listing), linux, bsd, solaris, "
                   "aix, hpux, cygwin (default: the parameter string's OS, else auto)");
    cmd.add_option("-l,--logname", o->login, "User to log in as (over the parameter string's USR)");
    cmd.add_option("-i,--identity", o->identity,
                   "Private key file to log in with (over the parameter string's KEYF)");
    cmd.add_option("--port", o->port,
                   "SSH port (over the parameter string's PORT; default " +
                       std::to_string(kDefaultSshPort) + ")")
        ->check(CLI::Range(1, 32767));
    add_rule_options(cmd, o->rules, false, true);
    cmd.add_option("--via", o->via,
                   "Send the check to `varnok serve` listening on SOCKET, which runs it on a "
                   "session it holds open; when SOCKET is missing or does not answer, check "
                   "directly within the same time limit. Not used with --hosts")
        ->envname("VARNOK_VIA");
    cmd.add_flag("--no-fallback", o->no_fallback,
                 "With --via: UNKNOWN instead of a direct check when the daemon does not answer");
    cmd.footer(
        "\nThe parameter string gives the login only (USR, PWD, KEYF, KEYT, PORT, OS); its rule "
        "fields\nare ignored. With --hosts each line starts with its host and a tab, and a last "
        "line\n\"| ...\" holds every host's performance data, each label after HOST_ (json: "
        "one object\na line, its host first). Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 "
        "UNKNOWN (with\n--hosts the worst of all hosts; a host that fails is UNKNOWN).");
    // The status line names the filters in the order given, so keep that order.
    cmd.final_callback([o, filter_options, kthreads, require_host, &cmd] {
        require_host();
        std::map<const CLI::Option*, size_t> used;
        for (const CLI::Option* option : cmd.parse_order()) {
            if (option == kthreads) o->filters.push_back({FilterKind::NoKernelThreads, ""});
            for (const auto& [filter, kind] : filter_options) {
                if (option == filter)
                    o->filters.push_back({kind, o->values[kind].at(used[filter]++)});
            }
        }
    });
}

}  // namespace

Action add_procs_command(CLI::App& cmd) {
    auto o = std::make_shared<ProcsOptions>();
    add_procs_options(cmd, o);
    return {[o] {
                o->fell_back = via_fell_back();
                return run(*o, run_remote, std::cout);
            },
            [o] { return o->format == "nagios"; }};
}

int run_procs_words(const std::vector<std::string>& args, const ServedContext& served,
                    const KeyedRemoteRun& remote, std::ostream& out) {
    CLI::App cmd;
    auto o = std::make_shared<ProcsOptions>();
    add_procs_options(cmd, o);
    parse_sent_words(cmd, args, o->rules, served);
    if (!o->hosts_file.empty()) throw DirectOnly("--hosts runs are the client's");
    if (o->host.empty()) throw DirectOnly("no host");
    // The login's key comes as the text the client sent, never from the path.
    return run(
        *o,
        [&](const CheckSettingsRecord& login, const HostKeyPolicy& keys,
            const std::string& command) {
            return remote(login, keys, command,
                          login.KeyFile.empty()
                              ? std::nullopt
                              : std::optional(file_text(o->rules, login.KeyFile)));
        },
        out);
}

}  // namespace varnok
