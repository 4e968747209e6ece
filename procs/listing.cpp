// SPDX-License-Identifier: Apache-2.0
#include "procs/listing.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace varnok::procs {
namespace {

using Kind = ProcRow::Kind;

// A token and where it ends in its line.
struct Token {
    std::string_view text;
    size_t end = 0;
};

Token next_token(std::string_view line, size_t& pos) {
    const size_t start = skip_blanks(line, pos);
    size_t end = start;
    while (end < line.size() && !blank(line[end])) ++end;
    pos = end;
    return {line.substr(start, end - start), end};
}

// Digits only, at most 18 of them, so that the value fits.
bool read_count(std::string_view s, long long& value) {
    if (s.empty() || s.size() > 18) return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && s.front() != '-' && s.front() != '+';
}

// "-" is what ps prints for a value it cannot tell (a zombie's size, say).
bool read_count_or_dash(std::string_view s, long long& value) {
    if (s == "-") return value = 0, true;
    return read_count(s, value);
}

bool read_percent(std::string_view s, double& value) {
    if (s == "-") return value = 0, true;
    std::array<char, 24> buffer{};
    if (s.empty() || s.size() >= buffer.size() || s.front() == '-' || s.front() == '+')
        return false;
    std::copy(s.begin(), s.end(), buffer.begin());
    std::replace(buffer.begin(), buffer.begin() + s.size(), ',', '.');  // a decimal comma
    const auto [end, ec] = std::from_chars(buffer.data(), buffer.data() + s.size(), value);
    return ec == std::errc() && end == buffer.data() + s.size() && std::isfinite(value);
}

std::string_view base_name(std::string_view comm, bool windows_paths) {
    const size_t slash = comm.find_last_of(windows_paths ? "/\\" : "/");
    return slash == std::string_view::npos ? comm : comm.substr(slash + 1);
}

// Where the command name column starts and how far it is from the arguments column, as the
// header shows them: text columns start where their header does. A line whose earlier column
// overflowed is pushed right, and its name then starts one blank after its last fixed column.
struct Layout {
    bool from_header = false;
    size_t comm_pos = 0;
    size_t stride = 0;               // comm column plus separator; 0: read the name as one word
    std::vector<size_t> label_ends;  // where each fixed column's header label ends
};

// AIX's global environment marks the uid and user of a workload partition's process with "+".
std::string_view without_plus(std::string_view text) {
    return text.size() > 1 && text.front() == '+' ? text.substr(1) : text;
}

bool read_field(Column column, std::string_view text, ProcRow& row) {
    long long n = 0;
    switch (column) {
        case Column::State:
            row.state = text;
            return true;
        case Column::User:
            row.user = without_plus(text);
            return true;
        case Column::Uid:
            text = without_plus(text);
            if (!read_count_or_dash(text, n)) return false;
            if (text != "-") row.uid = n;
            return true;
        case Column::Pid:
            return read_count(text, row.pid);
        case Column::Ppid:
            return read_count_or_dash(text, row.ppid);
        case Column::Vsz:
            return read_count_or_dash(text, row.vsz);
        case Column::Rss:
            return read_count_or_dash(text, row.rss);
        case Column::Pcpu:
            return read_percent(text, row.pcpu);
        case Column::Elapsed: {
            if (text == "-") return true;
            const auto seconds = parse_elapsed(text);
            if (seconds) row.elapsed = *seconds;
            return seconds.has_value();
        }
        case Column::CpuTime: {
            if (text == "-") return true;
            const auto seconds = parse_cpu_time(text);
            if (seconds) row.cpu_time = *seconds;
            return seconds.has_value();
        }
        case Column::Threads:
            return read_count_or_dash(text, row.threads);
    }
    return false;
}

// AIX prints a zombie's uid, size and %CPU blank: such a line is read by where its words stand.
// A word that starts after a column's label has ended belongs to a later column, and the column
// stays blank. Returns where the last fixed word ends, 0 when the line does not read.
size_t read_by_position(std::string_view line, const std::vector<Column>& columns,
                        const Layout& layout, ProcRow& row) {
    size_t pos = 0;
    size_t fixed_end = 0;
    for (size_t i = 0; i < columns.size(); ++i) {
        size_t next = pos;
        const Token t = next_token(line, next);
        if (t.text.empty()) return 0;
        if (t.end - t.text.size() >= layout.label_ends[i] && columns[i] != Column::Pid) continue;
        if (!read_field(columns[i], t.text, row)) return 0;
        pos = next;
        fixed_end = t.end;
    }
    return fixed_end;
}

// Command name and arguments from where the name column starts.
void read_command(std::string_view line, size_t start, size_t stride, ProcRow& row) {
    if (start >= line.size()) return;
    const size_t separator = start + stride - 1;
    if (stride > 0 && (separator >= line.size() || blank(line[separator]))) {
        row.comm = rtrim(line.substr(start, stride - 1));
        row.args = separator >= line.size() ? std::string_view() : line.substr(separator + 1);
        return;
    }
    size_t pos = start;  // the name overflowed its column: it ends at the first blank
    row.comm = next_token(line, pos).text;
    row.args = line.substr(skip_blanks(line, pos));
}

ProcRow parse_ps_line(std::string_view line, const SystemInfo& info,
                      const std::vector<Column>& columns, Layout& layout) {
    ProcRow row;
    row.raw = line;
    const size_t fixed = columns.size();
    const size_t pid_index =
        std::find(columns.begin(), columns.end(), Column::Pid) - columns.begin();
    std::array<Token, 16> tokens{};
    size_t pos = 0;
    size_t read = 0;
    for (; read < fixed; ++read) {
        tokens[read] = next_token(line, pos);
        if (tokens[read].text.empty()) break;
    }
    if (read > pid_index && tokens[pid_index].text == "PID") {
        if (read < fixed) return row;
        row.kind = Kind::Header;
        const Token comm = next_token(line, pos);
        const Token args = next_token(line, pos);
        if (!layout.from_header && !args.text.empty()) {
            const size_t comm_pos = comm.end - comm.text.size();
            layout = {true, comm_pos, args.end - args.text.size() - comm_pos, {}};
            for (size_t i = 0; i < fixed; ++i) layout.label_ends.push_back(tokens[i].end);
        }
        return row;
    }
    size_t fixed_end = 0;
    bool fields = read == fixed;
    for (size_t i = 0; fields && i < fixed; ++i)
        fields = read_field(columns[i], tokens[i].text, row);
    if (fields) {
        fixed_end = tokens[fixed - 1].end;
    } else {
        if (!layout.from_header || info.system != ProcsSystem::Aix) return row;
        row = ProcRow{};
        row.raw = line;
        fixed_end = read_by_position(line, columns, layout, row);
        if (fixed_end == 0) return row;
    }
    const size_t start = layout.from_header ? std::max(layout.comm_pos, fixed_end + 1)
                                            : skip_blanks(line, fixed_end);
    read_command(line, start, layout.stride, row);
    if (row.args.empty()) row.args = row.comm;
    if (!row.args.empty()) row.kind = Kind::Process;
    return row;
}

// Cygwin's long form: a status letter in the first column, then pid, ppid, pgid, Windows pid,
// tty, uid, the start ("hh:mm:ss", or "Mon dd" in two words) and the program's path, which may
// hold blanks ("C:\Program Files\...").
ProcRow parse_cygwin_line(std::string_view line) {
    ProcRow row;
    row.raw = line;
    size_t pos = 0;
    if (line.size() >= 2 && !blank(line[0]) && (line[0] < '0' || line[0] > '9') && blank(line[1]))
        pos = 1;  // the status letter is no process state (I: waiting for input, and so on)
    std::array<Token, 6> tokens{};
    for (Token& t : tokens) t = next_token(line, pos);
    if (tokens[0].text == "PID") return row.kind = Kind::Header, row;
    long long pgid = 0;
    long long winpid = 0;
    long long uid = 0;
    if (!read_count(tokens[0].text, row.pid) || !read_count(tokens[1].text, row.ppid) ||
        !read_count(tokens[2].text, pgid) || !read_count(tokens[3].text, winpid) ||
        tokens[4].text.empty() || !read_count(tokens[5].text, uid))
        return row;
    row.uid = uid;
    if (next_token(line, pos).text.find(':') == std::string_view::npos) next_token(line, pos);
    row.args = rtrim(line.substr(skip_blanks(line, pos)));
    row.comm = row.args;
    if (!row.args.empty()) row.kind = Kind::Process;
    return row;
}

}  // namespace

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view rtrim(std::string_view s) {
    while (!s.empty() && (blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

size_t skip_blanks(std::string_view s, size_t pos) {
    while (pos < s.size() && blank(s[pos])) ++pos;
    return pos;
}

std::vector<ProcRow> parse_listing(const std::vector<std::string_view>& lines, ProcsSystem system,
                                   Extras extras) {
    const SystemInfo& info = system_info(system);
    const bool cygwin = info.columns.empty();
    const std::vector<Column> columns = info.columns_with(extras);
    Layout layout;
    std::vector<ProcRow> rows;
    rows.reserve(lines.size());
    for (std::string_view line : lines) {
        ProcRow row = cygwin ? parse_cygwin_line(line) : parse_ps_line(line, info, columns, layout);
        if (row.kind == Kind::Process) {
            row.name = base_name(row.comm, cygwin);
            const auto at = [](size_t size, int width) {
                return width > 0 && size >= size_t(width);
            };
            row.cut = (at(row.comm.size(), info.name_width) ? kNameAtWidth : 0u) |
                      (at(row.args.size(), info.args_width) ? kArgsAtWidth : 0u) |
                      (at(line.size(), info.line_width) ? kLineAtWidth : 0u);
        }
        rows.push_back(row);
    }
    return rows;
}

std::optional<long long> parse_elapsed(std::string_view text) {
    long long days = 0;
    const size_t dash = text.find('-');
    if (dash != std::string_view::npos) {
        if (dash > 9 || !read_count(text.substr(0, dash), days)) return std::nullopt;
        text.remove_prefix(dash + 1);
    }
    std::array<long long, 3> parts{};
    size_t count = 0;
    while (count < parts.size()) {
        const size_t colon = text.find(':');
        const std::string_view part = text.substr(0, colon);
        if (part.size() > 9 || !read_count(part, parts[count++])) return std::nullopt;
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
        if (count == parts.size()) return std::nullopt;
    }
    if (dash != std::string_view::npos && count < 2) return std::nullopt;
    const long long hours = count == 3 ? parts[0] : 0;
    const long long minutes = count >= 2 ? parts[count - 2] : 0;
    return ((days * 24 + hours) * 60 + minutes) * 60 + parts[count - 1];
}

std::optional<double> parse_cpu_time(std::string_view text) {
    const size_t point = text.find('.');
    long long fraction = 0;
    const std::string_view digits = point == std::string_view::npos ? "" : text.substr(point + 1);
    if (point != std::string_view::npos && (digits.size() > 3 || !read_count(digits, fraction)))
        return std::nullopt;
    const auto whole = parse_elapsed(text.substr(0, point));
    if (!whole) return std::nullopt;
    double scale = 1;
    for (size_t i = 0; i < digits.size(); ++i) scale *= 10;
    return static_cast<double>(*whole) + static_cast<double>(fraction) / scale;
}

}  // namespace varnok::procs
