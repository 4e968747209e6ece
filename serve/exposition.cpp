// SPDX-License-Identifier: Apache-2.0
#include "serve/exposition.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>

#include "settings/ranges.h"
#include "state/version.h"

namespace varnok {
namespace {

/// The failure reasons a probe reports, always all of them so that a query can sum over them.
constexpr FailureKind kReasons[] = {FailureKind::Connect, FailureKind::Auth, FailureKind::HostKey,
                                    FailureKind::Timeout, FailureKind::Listing};

void head(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

std::string metric_number(double value) {
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
    return std::string(buf, end);
}

std::string label_value(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

int rule_status(const CheckReport& report) {
    if (!report.counted()) return 3;
    return report.passed ? 0 : 2;
}

std::string probe_exposition(const std::vector<CheckReport>& reports, double duration_seconds,
                             const SessionFacts& session) {
    const CheckReport* failed = nullptr;
    const CheckReport* counted = nullptr;
    for (const CheckReport& r : reports) {
        if (!r.counted() && !failed) failed = &r;
        if (r.counted() && !counted) counted = &r;
    }
    std::string out;
    head(out, "probe_success", "gauge", "Whether every rule of the module was checked.");
    out += std::string("probe_success ") + (failed || reports.empty() ? "0" : "1") + "\n";
    head(out, "probe_duration_seconds", "gauge", "How long the probe took.");
    out += "probe_duration_seconds " + metric_number(duration_seconds) + "\n";
    if (counted) {
        head(out, "varnok_processes", "gauge", "Entries of the target's process listing.");
        out += "varnok_processes " + std::to_string(counted->processes) + "\n";
        head(out, "varnok_matching_processes", "gauge", "Entries the rule counted.");
        for (const CheckReport& r : reports)
            if (r.counted())
                out += "varnok_matching_processes{rule=\"" + label_value(r.rule_name) + "\"} " +
                       std::to_string(r.matches) + "\n";
    }
    head(out, "varnok_rule_status", "gauge",
         "The rule's plugin status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.");
    for (const CheckReport& r : reports)
        out += "varnok_rule_status{rule=\"" + label_value(r.rule_name) + "\"} " +
               std::to_string(rule_status(r)) + "\n";
    head(out, "varnok_failure", "gauge",
         "Why the probe failed: 1 for its reason, 0 for the others.");
    for (FailureKind kind : kReasons)
        out += std::string("varnok_failure{reason=\"") + failure_name(kind) + "\"} " +
               (failed && failed->failure == kind ? "1" : "0") + "\n";
    head(out, "varnok_session_reused", "gauge",
         "1 when the probe rode an SSH session that was open before it.");
    out += std::string("varnok_session_reused ") + (session.reused ? "1" : "0") + "\n";
    head(out, "varnok_session_age_seconds", "gauge", "Age of the SSH session the probe used.");
    out += "varnok_session_age_seconds " + metric_number(session.age_seconds) + "\n";
    head(out, "varnok_login_backoff_seconds", "gauge",
         "Seconds before a refused login is tried again (0: none).");
    out += "varnok_login_backoff_seconds " + metric_number(session.backoff_seconds) + "\n";
    return out;
}

std::string probe_log(const std::vector<CheckReport>& reports) {
    std::string out;
    for (const CheckReport& r : reports) {
        out += "rule " + r.rule_name + " on " + r.host + ": " +
               kStatusWords[static_cast<size_t>(rule_status(r))];
        if (!r.counted()) out += std::string(" (") + failure_name(r.failure) + ")";
        out += ": " + r.text + "\n";
        for (const std::string& w : r.warnings) out += "warning: " + w + "\n";
    }
    return out;
}

std::string daemon_exposition(const PoolFigures& pool, const DaemonState& state) {
    std::string out;
    head(out, "varnok_sessions_open", "gauge", "SSH sessions held open.");
    out += "varnok_sessions_open " + std::to_string(pool.sessions_open) + "\n";
    head(out, "varnok_logins_total", "counter", "SSH logins attempted, by result.");
    for (const char* result : {"ok", "auth", "hostkey", "connect", "timeout"}) {
        const auto it = pool.logins.find(result);
        out += std::string("varnok_logins_total{result=\"") + result + "\"} " +
               std::to_string(it == pool.logins.end() ? 0 : it->second) + "\n";
    }
    head(out, "varnok_sessions_evicted_total", "counter",
         "Idle sessions closed to stay under max_sessions.");
    out += "varnok_sessions_evicted_total " + std::to_string(pool.evicted) + "\n";
    head(out, "varnok_requests_total", "counter",
         "Checks answered, each rule and each procs check once.");
    out += "varnok_requests_total " + std::to_string(pool.requests) + "\n";
    head(out, "varnok_probes_total", "counter", "Probes answered over HTTP.");
    out += "varnok_probes_total " + std::to_string(state.probes) + "\n";
    head(out, "varnok_failures_total", "counter", "Checks that failed, by reason.");
    for (FailureKind kind : kReasons) {
        const auto it = pool.failures.find(failure_name(kind));
        out += std::string("varnok_failures_total{reason=\"") + failure_name(kind) + "\"} " +
               std::to_string(it == pool.failures.end() ? 0 : it->second) + "\n";
    }
    head(out, "varnok_config_last_reload_successful", "gauge",
         "Whether the last config reload succeeded.");
    out += std::string("varnok_config_last_reload_successful ") +
           (state.last_reload_ok ? "1" : "0") + "\n";
    head(out, "varnok_config_last_reload_success_timestamp_seconds", "gauge",
         "Time of the last successful config reload.");
    out += "varnok_config_last_reload_success_timestamp_seconds " +
           metric_number(state.last_reload_success_time) + "\n";
    return out;
}

std::string process_exposition() {
    // /proc/self/stat: the fields after the command's closing parenthesis, from the third on.
    std::ifstream stat_file("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(stat_file)), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f{"", "", ""};
    for (std::string word; fields >> word;) f.push_back(word);
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const auto field = [&f](size_t n) { return n < f.size() ? std::atof(f[n].c_str()) : 0.0; };
    double boot = 0;
    std::ifstream proc_stat("/proc/stat");
    for (std::string line; std::getline(proc_stat, line);)
        if (line.rfind("btime ", 0) == 0) boot = std::atof(line.c_str() + 6);
    size_t fds = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') ++fds;
        ::closedir(dir);
        --fds;  // the folder's own descriptor
    }
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    std::string out;
    head(out, "process_cpu_seconds_total", "counter",
         "Total user and system CPU time spent in seconds.");
    out += "process_cpu_seconds_total " + metric_number((field(14) + field(15)) / ticks) + "\n";
    head(out, "process_open_fds", "gauge", "Number of open file descriptors.");
    out += "process_open_fds " + std::to_string(fds) + "\n";
    head(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
    out += "process_max_fds " + metric_number(static_cast<double>(files.rlim_cur)) + "\n";
    head(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    out += "process_resident_memory_bytes " +
           metric_number(field(24) * static_cast<double>(::sysconf(_SC_PAGESIZE))) + "\n";
    head(out, "process_start_time_seconds", "gauge",
         "Start time of the process since unix epoch in seconds.");
    out += "process_start_time_seconds " + metric_number(boot + field(22) / ticks) + "\n";
    head(out, "varnok_build_info", "gauge", "The daemon's version; always 1.");
    out += std::string("varnok_build_info{version=\"") + kVersionText + "\"} 1\n";
    return out;
}

}  // namespace varnok
