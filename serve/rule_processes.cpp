// SPDX-License-Identifier: Apache-2.0
#include "serve/rule_processes.h"

#include <charconv>
#include <cmath>

#include "automation/variant.h"
#include "procs/interval.h"
#include "procs/listing.h"
#include "procs/remote_output.h"
#include "procs/session.h"
#include "procs/system.h"
#include "serve/exposition.h"
#include "settings/param_string.h"

namespace varnok {
namespace {

using procs::ProcRow;

// Every system's listing with the CPU time, and the threads where its ps has them.
constexpr procs::Extras kExtras{true, true};

procs::ProcsSystem asked_system(const std::string& os_type) {
    return procs::system_from_name(os_type).value_or(procs::ProcsSystem::Auto);
}

bool holds_name(const CheckSettingsRecord& rule, std::string_view args) {
    if (rule.ProcessName.empty()) return true;
    return rule.FullOutput ? args == rule.ProcessName
                           : args.find(rule.ProcessName) != std::string_view::npos;
}

}  // namespace

std::string process_listing_command(const std::string& os_type) {
    return procs::procs_command(asked_system(os_type), kExtras);
}

RuleProcesses rule_processes(const std::string& output, const std::string& os_type,
                             const std::vector<CheckSettingsRecord>& rules, double now_unix) {
    RuleProcesses got;
    const procs::RemoteOutput out = procs::split_remote_output(output);
    procs::ProcsSystem system = asked_system(os_type);
    if (const auto named = procs::system_from_uname(out.os)) system = *named;
    if (system == procs::ProcsSystem::Auto || out.unsupported)
        return {"no process listing is known for the system '" +
                    std::string(out.os.substr(0, 100)) + "'",
                false,
                {}};
    const procs::SystemInfo& info = procs::system_info(system);
    if (!info.has(procs::Column::CpuTime))
        return {std::string(info.name) + "'s ps shows no CPU time", false, {}};
    if (!out.exit_status || *out.exit_status != 0)
        return {"the process listing failed or was cut short", false, {}};
    std::vector<ProcRow> rows = procs::parse_listing(out.lines, system, kExtras);
    procs::read_ticks(rows, out.ticks, out.ticks_per_second);
    const std::vector<bool> own = procs::own_session(rows, out.shell_pid);
    got.threads = info.has(procs::Column::Threads);
    got.rules.resize(rules.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const ProcRow& row = rows[i];
        if (row.kind != ProcRow::Kind::Process || own[i]) continue;
        for (size_t r = 0; r < rules.size(); ++r)
            if (holds_name(rules[r], row.args))
                got.rules[r].push_back({row.pid, now_unix - static_cast<double>(row.elapsed),
                                        row.cpu_time, row.threads});
    }
    return got;
}

ProcessProbe probe_processes(SessionPool& pool, ProcessHistory& history, const ServeConfig& config,
                             const ProbeModule& module, const std::string& target,
                             std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 1) return {{}, "process metrics: no time left for the listing\n"};
    std::vector<CheckSettingsRecord> rules;
    try {
        for (const ModuleRule& rule : module.rules)
            rules.push_back(decode_check_settings(Variant(std::to_string(left.count())),
                                                  Variant(target), Variant(rule.param)));
    } catch (const std::exception& e) {
        return {{}, std::string("process metrics: a rule's parameter string: ") + e.what() + "\n"};
    }
    // One listing serves every rule: ps shows the host's processes whoever logs in.
    CheckSettingsRecord login = rules.front();
    const procs::ProcsSystem asked = asked_system(login.OSType);
    if (asked != procs::ProcsSystem::Auto && !procs::system_info(asked).has(procs::Column::CpuTime))
        return {{},
                "process metrics: " + std::string(procs::system_info(asked).name) +
                    "'s ps shows no CPU time\n"};
    login.TimeoutSeconds = static_cast<int16_t>(std::min<long long>(left.count(), 32767));
    const RawOutcome raw =
        pool.run_raw(login, config.host_keys, process_listing_command(login.OSType),
                     module.rules.front().key_text);
    if (raw.failure != FailureKind::None) return {{}, "process metrics: " + raw.text + "\n"};
    const double now_unix =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const RuleProcesses listed = rule_processes(raw.received, login.OSType, rules, now_unix);
    if (!listed.error.empty()) return {{}, "process metrics: " + listed.error + "\n"};

    std::string cpu, started, oldest, threads;
    history.set_idle(config.idle_timeout);
    for (size_t r = 0; r < rules.size(); ++r) {
        const std::string name = "{rule=\"" + label_value(module.rules[r].name) + "\"} ";
        const RuleFigures f = history.update(target, module.name, module.rules[r].name,
                                             listed.rules[r], std::chrono::steady_clock::now());
        // Hundredths are what the listings count: the sums' binary noise goes.
        cpu += "varnok_process_cpu_seconds_total" + name +
               metric_number(std::round(f.cpu_seconds_total * 100) / 100) + "\n";
        started += "varnok_processes_started_total" + name + std::to_string(f.started_total) + "\n";
        if (f.oldest_start_time)
            oldest += "varnok_oldest_start_time_seconds" + name +
                      metric_number(*f.oldest_start_time) + "\n";
        if (listed.threads) threads += "varnok_threads" + name + std::to_string(f.threads) + "\n";
    }
    const auto family = [](const char* metric, const char* type, const char* help,
                           const std::string& lines) {
        if (lines.empty()) return std::string();
        return std::string("# HELP ") + metric + " " + help + "\n# TYPE " + metric + " " + type +
               "\n" + lines;
    };
    return {family("varnok_process_cpu_seconds_total", "counter",
                   "CPU time of the rule's processes, kept as processes end.", cpu) +
                family("varnok_processes_started_total", "counter",
                       "Processes of the rule that appeared since the first probe.", started) +
                family("varnok_oldest_start_time_seconds", "gauge",
                       "Start time of the rule's oldest process, Unix seconds.", oldest) +
                family("varnok_threads", "gauge", "Threads of the rule's processes.", threads),
            {}};
}

}  // namespace varnok
