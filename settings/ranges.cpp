// SPDX-License-Identifier: Apache-2.0
#include "settings/ranges.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace varnok {
namespace {

// A plain decimal number of a range; nothing else may stand around it.
bool range_number(const std::string& text, double& value) {
    if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string::npos) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

}  // namespace

ThresholdRange parse_range(const std::string& text) {
    ThresholdRange r;
    r.text = text;
    std::string body = text;
    if (!body.empty() && body.front() == '@') {
        r.inside = true;
        body.erase(0, 1);
    }
    const size_t colon = body.find(':');
    const std::string start = colon == std::string::npos ? "" : body.substr(0, colon);
    const std::string end = colon == std::string::npos ? body : body.substr(colon + 1);
    const double infinity = std::numeric_limits<double>::infinity();
    bool ok = !body.empty() &&
              body.find(':', colon == std::string::npos ? 0 : colon + 1) == std::string::npos;
    if (start == "~")
        r.start = -infinity;
    else if (!start.empty())
        ok = ok && range_number(start, r.start);
    if (end.empty())
        r.end = infinity;
    else
        ok = ok && range_number(end, r.end);
    if (!ok || r.start > r.end) {
        throw std::invalid_argument("the range '" + text +
                                    "' is not [@][start:][end] with start <= end "
                                    "(e.g. 1:3, 2:, ~:5, @0:1)");
    }
    return r;
}

bool range_alerts(const ThresholdRange& r, double value) {
    const bool inside = value >= r.start && value <= r.end;
    return r.inside ? inside : !inside;
}

Thresholds read_thresholds(const std::string& warning, const std::string& critical) {
    Thresholds t;
    if (!warning.empty()) t.warning = parse_range(warning);
    if (!critical.empty()) t.critical = parse_range(critical);
    return t;
}

std::string nagios_range(const std::string& rule_sign, int instances) {
    if (rule_sign == "LT") return std::to_string(instances) + ":";
    return "~:" + std::to_string(instances - 1);
}

std::string labelled_perfdata(const std::string& perfdata, const std::string& prefix) {
    // A label may hold neither '=' nor a quote, and a blank would end it.
    std::string label = prefix + '_';
    std::replace_if(
        label.begin(), label.end(),
        [](char c) { return c == '=' || c == '\'' || c == ' ' || c == '\t'; }, '_');
    std::string out;
    std::istringstream items(perfdata);
    for (std::string item; items >> item;) out += (out.empty() ? "" : " ") + label + item;
    return out;
}

}  // namespace varnok
