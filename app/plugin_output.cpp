// SPDX-License-Identifier: Apache-2.0
#include "app/plugin_output.h"

#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>

namespace varnok {

const char* status_name(PluginStatus status) {
    return kStatusWords.at(static_cast<size_t>(status));
}

PluginStatus plugin_status(const CheckReport& r, const Thresholds& t) {
    if (!r.counted()) return PluginStatus::Unknown;
    if (!t.any()) return r.passed ? PluginStatus::Ok : PluginStatus::Critical;
    const auto alerts = [&r](const std::optional<ThresholdRange>& range) {
        return range && range_alerts(*range, r.matches);
    };
    return alerts(t.critical)  ? PluginStatus::Critical
           : alerts(t.warning) ? PluginStatus::Warning
                               : PluginStatus::Ok;
}

std::string failure_text(const CheckReport& r) {
    if (r.failure == FailureKind::Call && r.error_number != 0)
        return "error " + std::to_string(r.error_number) + ": " + r.text;
    return r.text;
}

namespace {

std::string nagios_text(const CheckReport& r, const Thresholds& t) {
    return std::string("PROCS ") + status_name(plugin_status(r, t)) + ": " + failure_text(r);
}

std::string nagios_perfdata(const CheckReport& r, const Thresholds& t) {
    if (!r.counted()) return "";
    return "procs=" + std::to_string(r.processes) + ";;;0 matches=" + std::to_string(r.matches) +
           ";" +
           (t.any()
                ? (t.warning ? t.warning->text : "") + ";" + (t.critical ? t.critical->text : "")
                : ";" + nagios_range(r.rule_sign, r.instances)) +
           ";0";
}

}  // namespace

std::string nagios_line(const CheckReport& r, const Thresholds& t) {
    const std::string perfdata = nagios_perfdata(r, t);
    return nagios_text(r, t) + (perfdata.empty() ? "" : " | " + perfdata);
}

std::vector<std::string> explain_lines(const CheckReport& r) {
    std::vector<std::string> lines;
    if (!r.counted()) return lines;
    size_t counted = 0;
    for (size_t i = 0; i < r.entries.size(); ++i) {
        const bool hit = i < r.matched.size() && r.matched[i];
        counted += hit;
        lines.push_back((hit ? "counted: " : "not counted: ") + r.entries[i]);
    }
    lines.push_back("totals: " + std::to_string(counted) + " counted; " +
                    std::to_string(r.entries.size() - counted) + " not counted; " +
                    std::to_string(r.entries.size()) + " entries");
    return lines;
}

std::string json_line(const CheckReport& r, const Thresholds& t, bool verbose) {
    nlohmann::json j;
    j["host"] = r.host;
    if (!r.rule_name.empty()) j["rule"] = r.rule_name;
    j["passed"] = r.passed;
    j["status"] = status_name(plugin_status(r, t));
    if (r.failure == FailureKind::Call && r.error_number != 0) {
        j["error"] = {{"number", r.error_number}, {"description", r.text}};
    } else {
        j["result"] = r.text;
        j["processes"] = r.counted() ? r.processes : 0;
        j["matches"] = r.counted() ? r.matches : 0;
        if (verbose && r.counted()) {
            j["entries"] = nlohmann::json::array();
            for (size_t i = 0; i < r.entries.size(); ++i) {
                j["entries"].push_back(
                    {{"entry", r.entries[i]}, {"counted", i < r.matched.size() && r.matched[i]}});
            }
        }
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int fail(bool plugin_output, const std::string& text, const std::string& warning) {
    if (plugin_output)
        std::cout << "PROCS UNKNOWN: " << text << "\n";
    else
        std::cerr << "varnok: " << text << "\n";
    if (!warning.empty() && plugin_output) std::cout << "warning: " << warning << "\n";
    if (!warning.empty() && !plugin_output) std::cerr << "varnok: warning: " << warning << "\n";
    return kUnknownExit;
}

ReportWriter::ReportWriter(OutputFormat format, bool with_host, bool with_rule,
                           Thresholds thresholds, std::ostream& out, std::ostream& err)
    : format_(format),
      with_host_(with_host),
      with_rule_(with_rule),
      thresholds_(std::move(thresholds)),
      out_(out),
      err_(err) {}

void ReportWriter::write(const std::vector<CheckReport>& reports) {
    for (const CheckReport& r : reports) {
        for (const std::string& w : r.warnings) warn(w);
        const PluginStatus status = plugin_status(r, thresholds_);
        worst_ = std::max(worst_, status);
        const std::string prefix =
            (with_host_ ? r.host + "\t" : "") + (with_rule_ ? r.rule_name + "\t" : "");
        if (format_ == OutputFormat::Json) {
            CheckReport named = r;
            if (!with_rule_) named.rule_name.clear();
            out_ << json_line(named, thresholds_, verbose_) << "\n";
        } else if (format_ == OutputFormat::Nagios && prefix.empty()) {
            out_ << nagios_line(r, thresholds_) << "\n";
        } else if (format_ == OutputFormat::Nagios) {
            // An engine reads everything after the first '|' of the long output as
            // performance data: the lines carry none, the last line carries everyone's.
            out_ << prefix << nagios_text(r, thresholds_) << "\n";
            const std::string labelled =
                labelled_perfdata(nagios_perfdata(r, thresholds_), with_host_ && with_rule_
                                                                       ? r.host + "_" + r.rule_name
                                                                   : with_host_ ? r.host
                                                                                : r.rule_name);
            if (!labelled.empty()) perfdata_ += (perfdata_.empty() ? "" : " ") + labelled;
        } else if (prefix.empty() && r.failure == FailureKind::Call) {
            err_ << "varnok: " << failure_text(r) << "\n";
        } else if (prefix.empty()) {
            out_ << r.text << "\n";
        } else {
            out_ << prefix << status_name(status) << "\t" << failure_text(r) << "\n";
        }
        if (verbose_ && format_ != OutputFormat::Json)
            for (const std::string& line : explain_lines(r)) out_ << prefix << line << "\n";
    }
    out_ << std::flush;
}

void ReportWriter::warn(const std::string& text) {
    if (std::find(warnings_.begin(), warnings_.end(), text) != warnings_.end()) return;
    warnings_.push_back(text);
    if (format_ != OutputFormat::Nagios) err_ << "varnok: warning: " << text << "\n";
}

void ReportWriter::finish() {
    if (format_ != OutputFormat::Nagios) return;
    for (const std::string& w : warnings_) out_ << "warning: " << w << "\n";
    for (const std::string& n : notes_) out_ << n << "\n";
    if (!perfdata_.empty()) out_ << "| " << perfdata_ << "\n";
    out_ << std::flush;
}

void ReportWriter::note(const std::string& text) {
    if (format_ == OutputFormat::Nagios)
        notes_.push_back(text);
    else
        err_ << "varnok: " << text << "\n";
}

}  // namespace varnok
