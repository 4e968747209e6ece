// SPDX-License-Identifier: Apache-2.0
#include "procs/interval.h"

#include <algorithm>
#include <charconv>
#include <unordered_map>

namespace varnok::procs {
namespace {

using Index = std::unordered_map<long long, const ProcRow*>;

Index by_pid(const std::vector<ProcRow>& rows) {
    Index index;
    index.reserve(rows.size());
    for (const ProcRow& row : rows)
        if (row.kind == ProcRow::Kind::Process) index.emplace(row.pid, &row);
    return index;
}

// The same process when its pid is listed again and it is not younger than before: a pid
// taken over by a new process in between has a shorter elapsed time.
const ProcRow* same_process(const Index& index, const ProcRow& row) {
    const auto it = index.find(row.pid);
    if (it == index.end() || it->second->elapsed > row.elapsed) return nullptr;
    return it->second;
}

}  // namespace

void read_ticks(std::vector<ProcRow>& rows, const std::vector<std::string_view>& stat_lines,
                long long ticks_per_second) {
    if (ticks_per_second <= 0 || stat_lines.empty()) return;
    std::unordered_map<long long, double> seconds;
    seconds.reserve(stat_lines.size());
    for (std::string_view line : stat_lines) {
        // "pid (comm) state ppid ...": comm may hold blanks and parentheses, the fields after
        // its last ")" do not; utime and stime are the 12th and 13th of them.
        const size_t close = line.rfind(')');
        long long pid = 0;
        if (close == std::string_view::npos ||
            std::from_chars(line.data(), line.data() + line.size(), pid).ec != std::errc())
            continue;
        std::string_view rest = line.substr(close + 1);
        long long ticks[2] = {0, 0};
        bool read = true;
        for (int field = 0; field < 13 && read; ++field) {
            rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
            const size_t end = std::min(rest.find(' '), rest.size());
            const std::string_view word = rest.substr(0, end);
            if (field >= 11)
                read = !word.empty() &&
                       std::from_chars(word.data(), word.data() + word.size(), ticks[field - 11])
                               .ptr == word.data() + word.size();
            rest.remove_prefix(end);
        }
        // A name with a line break can make a line of its own that names another pid: a pid
        // named twice keeps ps's figure (-1).
        if (read) {
            const double value =
                static_cast<double>(ticks[0] + ticks[1]) / static_cast<double>(ticks_per_second);
            const auto [it, fresh] = seconds.emplace(pid, value);
            if (!fresh) it->second = -1;
        }
    }
    for (ProcRow& row : rows) {
        const auto it = row.kind == ProcRow::Kind::Process ? seconds.find(row.pid) : seconds.end();
        if (it != seconds.end() && it->second >= 0) row.cpu_time = it->second;
    }
}

std::vector<IntervalCpu> interval_cpu(const std::vector<ProcRow>& earlier,
                                      const std::vector<ProcRow>& later, double seconds) {
    const Index before = by_pid(earlier);
    std::vector<IntervalCpu> out(later.size());
    for (size_t i = 0; i < later.size(); ++i) {
        if (later[i].kind != ProcRow::Kind::Process) continue;
        const ProcRow* was = same_process(before, later[i]);
        const double used =
            was ? std::max(0.0, later[i].cpu_time - was->cpu_time) : later[i].cpu_time;
        out[i] = {seconds > 0 ? used / seconds * 100 : 0, was == nullptr};
    }
    return out;
}

size_t ended_processes(const std::vector<ProcRow>& earlier, const std::vector<ProcRow>& later,
                       const std::vector<bool>& ignore) {
    const Index after = by_pid(later);
    size_t ended = 0;
    for (size_t i = 0; i < earlier.size(); ++i) {
        if (earlier[i].kind != ProcRow::Kind::Process || ignore[i]) continue;
        const auto it = after.find(earlier[i].pid);
        ended += it == after.end() || it->second->elapsed < earlier[i].elapsed;
    }
    return ended;
}

}  // namespace varnok::procs
