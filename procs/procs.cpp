// SPDX-License-Identifier: Apache-2.0
#include "procs/procs.h"

#include <algorithm>

#include "procs/filters.h"
#include "procs/interval.h"
#include "procs/listing.h"
#include "procs/remote_output.h"
#include "procs/report.h"
#include "procs/session.h"
#include "settings/ranges.h"

namespace varnok::procs {
namespace {

int range_status(const ProcsQuery& query, double value) {
    if (query.critical && range_alerts(*query.critical, value)) return 2;
    if (query.warning && range_alerts(*query.warning, value)) return 1;
    return 0;
}

double metric_value(Metric metric, const ProcRow& row) {
    switch (metric) {
        case Metric::Vsz:
            return static_cast<double>(row.vsz);
        case Metric::Rss:
            return static_cast<double>(row.rss);
        case Metric::Cpu:
            return row.pcpu;
        case Metric::Elapsed:
            return static_cast<double>(row.elapsed);
        case Metric::Threads:
            return static_cast<double>(row.threads);
        case Metric::Procs:
            break;
    }
    return 0;
}

std::string first_line_of(const std::vector<std::string_view>& lines) {
    return lines.empty() ? std::string("no output") : std::string(lines.front().substr(0, 200));
}

// Which system's listing the output holds: the one asked for, or for Auto the one that
// uname -s names; empty with the text of an UNKNOWN otherwise.
std::string pick_system(const RemoteOutput& out, ProcsSystem& system) {
    const auto reported = system_from_uname(out.os);
    const std::string os(out.os.substr(0, 100));
    if (system == ProcsSystem::Auto) {
        if (out.unsupported || (!reported && !os.empty()))
            return "no process listing is known for the system '" + os + "' (uname -s)";
        if (!reported)
            return "the remote command printed no system name: " + first_line_of(out.lines);
        system = *reported;
    } else if (reported && *reported != system) {
        return "the host runs " + os + " (uname -s), not " + std::string(system_info(system).name) +
               ": choose its system or auto";
    }
    return {};
}

}  // namespace

Extras extras_for(const ProcsQuery& query) {
    return {query.interval > 0, query.metric == Metric::Threads};
}

std::string ProcsResult::output() const {
    std::string text = status_line;
    if (!perfdata.empty()) text += " | " + perfdata;
    text += '\n';
    for (const auto& lines : {&warnings, &explain})
        for (const std::string& line : *lines) text += line + '\n';
    return text;
}

ProcsResult evaluate(const ProcsQuery& query, const std::string& remote_output,
                     ProcsSystem system) {
    ProcsResult r;
    const auto unknown = [&](const std::string& text) {
        r.status = 3;
        r.status_line = "PROCS UNKNOWN: " + text;
        if (query.json) r.json = json_for(r, query, nullptr);
        return r;
    };
    Filters filters(query);
    if (!filters.error().empty()) return unknown(filters.error());
    const RemoteOutput out = split_remote_output(remote_output);
    if (std::string why = pick_system(out, system); !why.empty()) return unknown(why);
    r.system = system;
    const SystemInfo& info = system_info(system);
    if (std::string why = refusal(query, info); !why.empty()) return unknown(why);
    const bool interval = query.interval > 0;
    const auto failed = [&](const std::optional<int>& status,
                            const std::vector<std::string_view>& lines) -> std::string {
        if (!status) return "the listing ended before its end mark: the output was cut short";
        if (*status == 0) return {};
        return "the listing command failed with exit status " + std::to_string(*status) + ": " +
               first_line_of(lines);
    };
    if (interval && !out.again) {
        const std::string why = failed(out.exit_status, out.lines);
        return unknown(why.empty() ? "the second listing never began: the output was cut short"
                                   : why);
    }
    if (interval) {
        if (std::string why = failed(out.earlier_exit_status, out.earlier); !why.empty())
            return unknown(why);
    }
    if (std::string why = failed(out.exit_status, out.lines); !why.empty()) return unknown(why);
    std::vector<ProcRow> rows = parse_listing(out.lines, system, extras_for(query));
    read_ticks(rows, out.ticks, out.ticks_per_second);
    if (std::none_of(rows.begin(), rows.end(),
                     [](const ProcRow& row) { return row.kind == ProcRow::Kind::Process; }))
        return unknown("Unable to read output: " + first_line_of(out.lines));

    const std::vector<bool> own = own_session(rows, out.shell_pid);
    std::vector<IntervalCpu> cpu;
    size_t ended = 0;
    if (interval) {
        std::vector<ProcRow> earlier = parse_listing(out.earlier, system, extras_for(query));
        read_ticks(earlier, out.earlier_ticks, out.earlier_ticks_per_second);
        cpu = interval_cpu(earlier, rows, query.interval);
        ended = ended_processes(earlier, rows, own_session(earlier, out.shell_pid));
    }
    filters.learn(rows);
    std::vector<RowVerdict> verdicts(rows.size());
    std::string alerting;  // the names check_procs lists with -v under -m
    int worst = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        RowVerdict& v = verdicts[i];
        if (rows[i].kind != ProcRow::Kind::Process) {
            v.verdict = rows[i].kind == ProcRow::Kind::Header ? Verdict::Header : Verdict::Unparsed;
            continue;
        }
        if (own[i]) {
            v.verdict = Verdict::OwnSession;
            continue;
        }
        ++r.total;
        // Under --interval -P and -m CPU read the CPU used between the listings.
        const ProcRow* row = &rows[i];
        ProcRow now;
        if (interval) {
            v.interval_cpu = cpu[i].percent;
            v.appeared = cpu[i].appeared;
            now = rows[i];
            now.pcpu = cpu[i].percent;
            row = &now;
        }
        v.filter = filters.first_failing(*row);
        v.verdict = v.filter < 0 ? Verdict::Counted : Verdict::Filtered;
        if (v.verdict != Verdict::Counted) continue;
        ++r.count;
        if (query.metric == Metric::Procs) continue;
        v.status = range_status(query, metric_value(query.metric, *row));
        r.warn += v.status == 1;
        r.crit += v.status == 2;
        worst = std::max(worst, v.status);
        if (v.status > 0) alerting += (alerting.empty() ? "" : ", ") + std::string(rows[i].name);
    }

    const bool procs = query.metric == Metric::Procs;
    r.status = procs ? range_status(query, static_cast<double>(r.count)) : worst;
    r.status_line = std::string(metric_name(query.metric)) + " " + kStatusWords[r.status] + ": ";
    if (!procs && r.status == 1) r.status_line += std::to_string(r.warn) + " warn out of ";
    if (!procs && r.status == 2) {
        r.status_line +=
            std::to_string(r.crit) + " crit, " + std::to_string(r.warn) + " warn out of ";
    }
    r.status_line += std::to_string(r.count) + (r.count == 1 ? " process" : " processes");
    if (const std::string with = filters.description(); !with.empty())
        r.status_line += " with " + with;
    if (query.verbose && !alerting.empty()) r.status_line += " [" + alerting + "]";

    const std::string n = std::to_string(r.count);
    if (procs) {
        r.perfdata = "procs=" + n + ";" + (query.warning ? query.warning->text : "") + ";" +
                     (query.critical ? query.critical->text : "") + ";0;";
    } else {
        r.perfdata = "procs=" + n + ";;;0; procs_warn=" + std::to_string(r.warn) +
                     ";;;0; procs_crit=" + std::to_string(r.crit) + ";;;0;";
    }
    const Judged judged{query, info, filters, rows, verdicts, out.shell_pid.has_value(), ended};
    r.warnings = warnings_for(judged);
    if (query.verbose) r.explain = explain_lines(judged);
    if (query.json) r.json = json_for(r, query, &judged);
    return r;
}

}  // namespace varnok::procs
