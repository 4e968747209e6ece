#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "listing/ssh_client.h"

namespace varnok {

/// Nagios plugin statuses, which are also the exit codes.
enum class PluginStatus { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

/// The name of a status: "OK", "WARNING", "CRITICAL" or "UNKNOWN".
const char* status_name(PluginStatus status);

/// A threshold range of the plugin guidelines: [@][start:][end], "~" for minus infinity.
struct ThresholdRange {
    std::string text;  ///< as given, for the performance data
    double start = 0;
    double end = 0;
    bool inside = false;  ///< "@": alert inside the range instead of outside it
};

/// Reads a range; throws std::invalid_argument with a text that names it when it is malformed.
ThresholdRange parse_range(const std::string& text);

/// True when value alerts: outside the range, or inside it with "@".
bool range_alerts(const ThresholdRange& range, double value);

/// Warning and critical ranges on the match count; when either is set it decides the status.
struct Thresholds {
    std::optional<ThresholdRange> warning;
    std::optional<ThresholdRange> critical;
    bool any() const { return warning || critical; }
};

/// One rule to check: a parameter string and the name it is reported under.
struct Rule {
    std::string name;
    std::string param;
};

/// What one check gave, with the figures for plugin output.
struct CheckOutcome {
    std::string host;
    std::string rule_name;
    PluginStatus status = PluginStatus::Unknown;
    bool passed = false;
    bool listing_ran = false;
    std::string text;
    int processes = 0;
    int matches = 0;
    int error_number = 0;  ///< non-zero when the call failed
    std::string error_text;
    std::string rule;   ///< RuleSign of the check
    int instances = 0;  ///< Instances of the check
    Thresholds thresholds;
};

/// Runs one check on the calling thread with a fresh check object.
CheckOutcome run_check(const std::string& host, const std::string& timeout,
                       const std::string& param, const Thresholds& thresholds = {},
                       const HostKeyPolicy& host_keys = {});

/// Checks every rule against one host on the calling thread, in order: rules whose connection
/// settings agree share one listing (one login), each then gives what a check of its own gives.
std::vector<CheckOutcome> run_rules(const std::string& host, const std::string& timeout,
                                    const std::vector<Rule>& rules, const Thresholds& thresholds,
                                    const HostKeyPolicy& host_keys = {});

/// The Nagios threshold range that alerts exactly when the rule does.
std::string nagios_range(const std::string& rule, int instances);

/// One line of plugin output: "PROCS OK: text | procs=..;;;0 matches=..;WARN;CRIT;0".
std::string nagios_line(const CheckOutcome& outcome);

/// One JSON object for the outcome.
std::string json_line(const CheckOutcome& outcome);

/// One host of a hosts file.
struct HostEntry {
    std::string host;
    std::string timeout;
};

/// Reads a hosts file: one host a line, an optional time limit after white space, blank lines
/// and "#" comments skipped.
std::vector<HostEntry> parse_hosts(const std::string& text, const std::string& default_timeout);

/// Checks every rule on every host, up to jobs hosts at a time, each on its own thread with one
/// login per host for rules that share connection settings; calls emit with each host's
/// outcomes in the order of hosts, as soon as they and all before them are done.
void run_many(const std::vector<HostEntry>& hosts, const std::vector<Rule>& rules,
              const Thresholds& thresholds, const HostKeyPolicy& host_keys, int jobs,
              const std::function<void(const std::vector<CheckOutcome>&)>& emit);

/// One line of an engine's external command file: "[TIME] PROCESS_SERVICE_CHECK_RESULT;HOST;
/// SERVICE;CODE;OUTPUT", OUTPUT the plugin line; a line end in a text becomes a space.
std::string passive_result_line(const CheckOutcome& outcome, const std::string& host,
                                long long unix_time);

}  // namespace varnok
