// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <optional>
#include <string>

namespace varnok {

/// The plugin statuses' words, indexed by their exit codes 0 to 3.
inline constexpr std::array<const char*, 4> kStatusWords{"OK", "WARNING", "CRITICAL", "UNKNOWN"};

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
    /// True when a range is set.
    bool any() const { return warning || critical; }
};

/// The ranges of -w and -c, an empty text setting none; throws as parse_range does.
Thresholds read_thresholds(const std::string& warning, const std::string& critical);

/// The range that alerts exactly when the rule does: rule_sign "LT" (alert below instances) or
/// anything else (alert at instances or more).
std::string nagios_range(const std::string& rule_sign, int instances);

/// Performance data with "PREFIX_" before every label, so that the data of many results can
/// share one line; blanks, '=' and quotes in the prefix become '_'.
std::string labelled_perfdata(const std::string& perfdata, const std::string& prefix);

}  // namespace varnok
