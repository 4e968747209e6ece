// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "check/check_report.h"
#include "settings/ranges.h"

namespace varnok {

/// Plugin statuses, which are also the exit codes.
enum class PluginStatus { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

/// The exit status of a run that could not check at all.
inline constexpr int kUnknownExit = static_cast<int>(PluginStatus::Unknown);

/// The name of a status: "OK", "WARNING", "CRITICAL" or "UNKNOWN".
const char* status_name(PluginStatus status);

/// UNKNOWN when the report failed; else the ranges when any is set (CRITICAL before WARNING);
/// else OK when the rule passed and CRITICAL when it did not.
PluginStatus plugin_status(const CheckReport& report, const Thresholds& thresholds);

/// The report's text, "error N: " in front for a numbered automation error.
std::string failure_text(const CheckReport& report);

/// One line of plugin output: "PROCS OK: text | procs=N;;;0 matches=M;WARN;CRIT;0", the
/// performance data only when the listing was counted.
std::string nagios_line(const CheckReport& report, const Thresholds& thresholds);

/// One JSON object for the report; with verbose also its listing's entries, each marked counted
/// or not.
std::string json_line(const CheckReport& report, const Thresholds& thresholds,
                      bool verbose = false);

/// The explain view of a counted report: "counted: NAME" or "not counted: NAME" per entry of the
/// listing, in its order, then "totals: C counted; N not counted; E entries". Empty when the
/// report failed.
std::vector<std::string> explain_lines(const CheckReport& report);

/// The output formats of a check.
enum class OutputFormat { Text, Nagios, Json };

/// Writes a failure the check could not start with: "PROCS UNKNOWN: text" on standard output
/// for plugin output, else "varnok: text" on standard error, and a warning, if any, after it
/// as the writer's; returns the UNKNOWN exit status.
int fail(bool plugin_output, const std::string& text, const std::string& warning = "");

/// Writes reports as a check run prints them. Plugin output (Nagios) writes nothing to err:
/// warnings and notes become long output after every result line. In the other formats they go
/// to err as "varnok: warning: ..." and "varnok: ...", and so does a lone text check's
/// automation error.
class ReportWriter {
  public:
    /// with_host puts each report's host in front, with_rule its rule name.
    ReportWriter(OutputFormat format, bool with_host, bool with_rule, Thresholds thresholds,
                 std::ostream& out, std::ostream& err);

    /// Writes one line per report (and, outside plugin output, warnings not heard yet).
    void write(const std::vector<CheckReport>& reports);
    /// Writes what follows every result line in plugin output: the warnings and notes as long
    /// output, then, when the lines were marked by host or rule, a last line "| DATA" with every
    /// result's performance data, each label marked the same way ("HOST_RULE_procs=...").
    void finish();
    /// A note on the run as a whole: on err at once, in plugin output written by finish.
    void note(const std::string& text);
    /// A warning, each text once: on err at once as "varnok: warning: text", in plugin output
    /// written by finish as "warning: text".
    void warn(const std::string& text);
    /// The worst status written so far.
    PluginStatus worst() const { return worst_; }
    /// With verbose, each result line is followed by its explain lines (JSON: its entries).
    void set_verbose(bool verbose) { verbose_ = verbose; }

  private:
    OutputFormat format_;
    bool with_host_;
    bool with_rule_;
    Thresholds thresholds_;
    std::ostream& out_;
    std::ostream& err_;
    PluginStatus worst_ = PluginStatus::Ok;
    bool verbose_ = false;
    std::vector<std::string> warnings_;  ///< every warning heard, each once
    std::vector<std::string> notes_;
    std::string perfdata_;  ///< the labelled performance data of marked lines
};

}  // namespace varnok
