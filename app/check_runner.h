#pragma once

#include <functional>
#include <string>
#include <vector>

namespace varnok {

/// Nagios plugin statuses, which are also the exit codes.
enum class PluginStatus { Ok = 0, Critical = 2, Unknown = 3 };

/// The name of a status: "OK", "CRITICAL" or "UNKNOWN".
const char* status_name(PluginStatus status);

/// What one check gave, with the figures for plugin output.
struct CheckOutcome {
    std::string host;
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
};

/// Runs one check on the calling thread with a fresh check object.
CheckOutcome run_check(const std::string& host, const std::string& timeout, const std::string& param);

/// The Nagios threshold range that alerts exactly when the rule does.
std::string nagios_range(const std::string& rule, int instances);

/// One line of plugin output: "PROCS OK: text | procs=..;;;0 matches=..;;range;0".
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

/// Checks every host, up to jobs at a time, each on its own thread; calls emit with each outcome
/// in the order of hosts, as soon as it and all before it are done.
void run_many(const std::vector<HostEntry>& hosts, const std::string& param, int jobs,
              const std::function<void(const CheckOutcome&)>& emit);

}  // namespace varnok
