// SPDX-License-Identifier: Apache-2.0
#include "procs/query.h"

#include <array>
#include <utility>

namespace varnok::procs {
namespace {

constexpr std::array<std::pair<std::string_view, Metric>, 6> kMetrics = {{
    {"PROCS", Metric::Procs},
    {"VSZ", Metric::Vsz},
    {"RSS", Metric::Rss},
    {"CPU", Metric::Cpu},
    {"ELAPSED", Metric::Elapsed},
    {"THREADS", Metric::Threads},
}};

}  // namespace

std::optional<Metric> metric_from_name(std::string_view name) {
    for (const auto& [text, metric] : kMetrics)
        if (text == name) return metric;
    return std::nullopt;
}

std::string_view metric_name(Metric metric) {
    for (const auto& [text, m] : kMetrics)
        if (m == metric) return text;
    return "PROCS";
}

}  // namespace varnok::procs
