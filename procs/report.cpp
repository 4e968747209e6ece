// SPDX-License-Identifier: Apache-2.0
#include "procs/report.h"

#include <cassert>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "settings/ranges.h"

namespace varnok::procs {
namespace {

constexpr size_t kCutLinesShown = 10;

std::string cut_reason(unsigned cut, const SystemInfo& system) {
    std::string text;
    const auto add = [&text](const std::string& part) {
        text += (text.empty() ? "" : ", ") + part;
    };
    if (cut & kNameAtWidth)
        add("command name at " + std::to_string(system.name_width) + " characters");
    if (cut & kArgsAtWidth)
        add("arguments at " + std::to_string(system.args_width) + " characters");
    if (cut & kLineAtWidth) add("line at " + std::to_string(system.line_width) + " characters");
    return text;
}

// A row left out by a text filter whose text may be missing the part that would have matched.
bool left_out_by_cut_text(const ProcsFilter& filter, const ProcRow& row) {
    switch (filter.kind) {
        case FilterKind::Args:
        case FilterKind::ArgsRegex:
            return (row.cut & (kArgsAtWidth | kLineAtWidth)) != 0;
        case FilterKind::Command:
            return (row.cut & kNameAtWidth) && std::string_view(filter.value).starts_with(row.name);
        default:
            return false;
    }
}

std::string processes(size_t n) { return std::to_string(n) + (n == 1 ? " process" : " processes"); }

std::string two_decimals(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// Under --interval both figures: the CPU between the listings and ps's own %CPU.
std::string cpu_figures(const RowVerdict& v, const ProcRow& row) {
    return " (interval CPU " + two_decimals(v.interval_cpu) +
           (v.appeared ? ", started in the interval" : "") + "; ps %CPU " + two_decimals(row.pcpu) +
           ")";
}

}  // namespace

std::vector<std::string> warnings_for(const Judged& j) {
    std::vector<std::string> out;
    if (!j.shell_pid_known)
        out.push_back(
            "warning: the listing gave no shell pid: this check's own processes count too");
    const int width = j.system.name_width;
    unsigned relevant = 0;  // the cut texts that some filter reads
    for (const ProcsFilter& f : j.query.filters) {
        if (f.kind == FilterKind::Command || f.kind == FilterKind::Exclude)
            relevant |= kNameAtWidth;
        if (f.kind == FilterKind::Args || f.kind == FilterKind::ArgsRegex)
            relevant |= kArgsAtWidth | kLineAtWidth;
        if (f.kind == FilterKind::Command && width > 0 && f.value.size() > size_t(width)) {
            out.push_back("warning: " + std::string(j.system.name) + " keeps " +
                          std::to_string(width) + " characters of a command name: -C '" + f.value +
                          "' matches no process there");
        }
    }
    size_t shown = 0;
    size_t more = 0;
    size_t unparsed = 0;
    std::vector<size_t> cut_left_out(j.filters.size());
    for (size_t i = 0; i < j.rows.size(); ++i) {
        const ProcRow& row = j.rows[i];
        const RowVerdict& v = j.verdicts[i];
        unparsed += v.verdict == Verdict::Unparsed;
        if (row.cut == 0) continue;
        if (v.verdict == Verdict::Filtered && left_out_by_cut_text(j.query.filters[v.filter], row))
            ++cut_left_out[v.filter];
        if (v.verdict != Verdict::Counted || (row.cut & relevant) == 0) continue;
        if (shown++ >= kCutLinesShown) {
            ++more;
            continue;
        }
        out.push_back("warning: counted pid " + std::to_string(row.pid) + " (" +
                      std::string(row.name) +
                      ") may be cut: " + cut_reason(row.cut & relevant, j.system));
    }
    if (more > 0) out.push_back("warning: " + processes(more) + " more counted may be cut");
    for (size_t f = 0; f < cut_left_out.size(); ++f) {
        if (cut_left_out[f] == 0) continue;
        out.push_back("warning: " + processes(cut_left_out[f]) + " left out by " +
                      j.filters.describe(f) + " may be cut before the part that would match");
    }
    if (unparsed > 0) {
        out.push_back("warning: " + std::to_string(unparsed) +
                      " listing lines could not be read (-v shows them)");
    }
    return out;
}

std::vector<std::string> explain_lines(const Judged& j) {
    std::vector<std::string> labels;  // one per filter, made once
    for (size_t f = 0; f < j.filters.size(); ++f) labels.push_back(j.filters.label(f));
    const std::string metric = ", " + std::string(metric_name(j.query.metric)) + " ";
    std::vector<size_t> left_out(j.filters.size());
    size_t tally[5] = {};
    std::vector<std::string> out;
    out.reserve(j.rows.size() + 1);
    for (size_t i = 0; i < j.rows.size(); ++i) {
        const ProcRow& row = j.rows[i];
        const RowVerdict& v = j.verdicts[i];
        ++tally[static_cast<int>(v.verdict)];
        std::string line;
        line.reserve(row.raw.size() + 64);
        switch (v.verdict) {
            case Verdict::Counted:
                line = "counted";
                if (v.status > 0) line += metric + kStatusWords[v.status];
                break;
            case Verdict::Filtered:
                line = labels[v.filter];
                ++left_out[v.filter];
                break;
            case Verdict::OwnSession:
                line = "own session";
                break;
            case Verdict::Header:
                line = "header";
                break;
            case Verdict::Unparsed:
                line = "unparsed";
                break;
        }
        if (row.kind == ProcRow::Kind::Process && row.cut)
            line += " (may be cut: " + cut_reason(row.cut, j.system) + ")";
        if (v.interval_cpu >= 0) line += cpu_figures(v, row);
        line += ": ";
        line += row.raw;
        out.push_back(std::move(line));
    }
    std::string totals = "totals: " + std::to_string(tally[0]) + " counted";
    for (size_t f = 0; f < left_out.size(); ++f)
        if (left_out[f] > 0) totals += "; " + std::to_string(left_out[f]) + " " + labels[f];
    totals += "; " + std::to_string(tally[2]) + " own session; " + std::to_string(tally[3]) +
              " header; " + std::to_string(tally[4]) + " unparsed; " +
              std::to_string(j.rows.size()) + " lines";
    if (j.query.interval > 0)
        totals += "; " + processes(j.ended) + " ended during the " +
                  std::to_string(j.query.interval) + " s interval";
    out.push_back(totals);
    return out;
}

std::string json_for(const ProcsResult& r, const ProcsQuery& query, const Judged* j) {
    nlohmann::ordered_json out;
    out["status"] = kStatusWords[r.status];
    out["exit"] = r.status;
    out["text"] = r.status_line;
    if (!j) return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    out["perfdata"] = r.perfdata;
    out["system"] = j->system.name;
    out["metric"] = metric_name(query.metric);
    if (query.interval > 0) {
        out["interval"] = query.interval;
        out["ended"] = j->ended;
    }
    out["count"] = r.count;
    out["total"] = r.total;
    if (query.metric != Metric::Procs) {
        out["warn"] = r.warn;
        out["crit"] = r.crit;
    }
    out["warnings"] = r.warnings;
    auto processes = nlohmann::ordered_json::array();
    for (size_t i = 0; i < j->rows.size(); ++i) {
        if (j->verdicts[i].verdict != Verdict::Counted) continue;
        const ProcRow& row = j->rows[i];
        nlohmann::ordered_json p;
        p["pid"] = row.pid;
        p["ppid"] = row.ppid;
        p["user"] = row.user;
        p["uid"] = row.uid ? nlohmann::ordered_json(*row.uid) : nlohmann::ordered_json();
        p["state"] = row.state;
        p["vsz"] = row.vsz;
        p["rss"] = row.rss;
        p["pcpu"] = row.pcpu;
        if (query.interval > 0) {
            p["interval_cpu"] = j->verdicts[i].interval_cpu;
            p["cpu_time"] = row.cpu_time;
            p["appeared"] = j->verdicts[i].appeared;
        }
        p["elapsed"] = row.elapsed;
        if (query.metric == Metric::Threads) p["threads"] = row.threads;
        p["command"] = row.name;
        p["args"] = row.args;
        if (query.metric != Metric::Procs) p["status"] = kStatusWords[j->verdicts[i].status];
        if (row.cut) p["may_be_cut"] = cut_reason(row.cut, j->system);
        processes.push_back(std::move(p));
    }
    out["processes"] = std::move(processes);
    return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string host_output(const ProcsResult& r, const std::string& host) {
    std::string text = host + '\t' + r.status_line + '\n';
    for (const auto& lines : {&r.warnings, &r.explain})
        for (const std::string& line : *lines) text += host + '\t' + line + '\n';
    return text;
}

std::string labelled_perfdata(const ProcsResult& r, const std::string& host) {
    return varnok::labelled_perfdata(r.perfdata, host);
}

std::string host_json(const ProcsResult& r, const std::string& host) {
    assert(r.json.size() > 2 && r.json.front() == '{');
    return "{\"host\":" +
           nlohmann::json(host).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
           "," + r.json.substr(1);
}

}  // namespace varnok::procs
