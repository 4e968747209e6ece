// SPDX-License-Identifier: Apache-2.0
#include "procs/remote_output.h"

#include <charconv>
#include <utility>

#include "procs/listing.h"
#include "procs/system.h"

namespace varnok::procs {
namespace {

// Digits only, at most 18 of them, so that the value fits.
bool read_count(std::string_view s, long long& value) {
    if (s.empty() || s.size() > 18 || s.front() < '0' || s.front() > '9') return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

RemoteOutput split_remote_output(std::string_view text) {
    RemoteOutput out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (skip_blanks(line, 0) == line.size()) continue;
        const auto marker = [&line](std::string_view name, std::string_view& value) {
            if (!line.starts_with(name) || (line.size() > name.size() && line[name.size()] != ' '))
                return false;
            value = rtrim(line.substr(skip_blanks(line, name.size())));
            return true;
        };
        std::string_view value;
        long long n = 0;
        if (marker(kOsMarker, value)) {
            if (out.os.empty()) out.os = value;
        } else if (marker(kPidMarker, value)) {
            if (!out.shell_pid && read_count(value, n)) out.shell_pid = n;
        } else if (marker(kEndMarker, value)) {
            if (read_count(value, n) && n < 256) out.exit_status = static_cast<int>(n);
        } else if (marker(kUnsupportedMarker, value)) {
            out.unsupported = true;
        } else if (marker(kTicksMarker, value)) {
            // The stat lines follow even when getconf printed no rate (-1: none to divide by).
            out.ticks_per_second = read_count(value, n) && n > 0 ? n : -1;
        } else if (marker(kAgainMarker, value)) {
            if (out.again) continue;  // a third listing is none of ours: its lines join the second
            out.again = true;
            out.earlier = std::move(out.lines);
            out.lines.clear();
            out.earlier_exit_status = out.exit_status;
            out.exit_status.reset();
            out.earlier_ticks = std::move(out.ticks);
            out.ticks.clear();
            out.earlier_ticks_per_second = std::exchange(out.ticks_per_second, 0);
        } else if (out.ticks_per_second != 0) {
            out.ticks.push_back(line);
        } else {
            out.lines.push_back(line);
        }
    }
    return out;
}

}  // namespace varnok::procs
