// SPDX-License-Identifier: Apache-2.0
#include "procs/filters.h"

#include <regex.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace varnok::procs {
namespace {

// A compiled POSIX regular expression; regfree runs once, and only after a regcomp that worked.
class Regex {
  public:
    explicit Regex(const std::string& pattern) {
        const int rc = regcomp(&re_, pattern.c_str(), REG_EXTENDED | REG_NOSUB);
        if (rc == 0) {
            ok_ = true;
            return;
        }
        std::array<char, 256> text{};
        regerror(rc, &re_, text.data(), text.size());
        error_ = text.data();
    }
    ~Regex() {
        if (ok_) regfree(&re_);
    }
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;
    const std::string& error() const { return error_; }
    bool found_in(const char* text) const { return regexec(&re_, text, 0, nullptr, 0) == 0; }

  private:
    regex_t re_{};
    bool ok_ = false;
    std::string error_;
};

bool read_integer(const std::string& s, long long& value) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

bool read_real(const std::string& s, double& value) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && std::isfinite(value);
}

bool all_digits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string two_decimals(double value) {
    std::array<char, 64> text{};
    const auto result =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed, 2);
    return std::string(text.data(), result.ptr);
}

// The option and what a listing lacks when it cannot answer it.
struct Need {
    const char* option;
    Column column;
    const char* missing;
};

Need need_of(FilterKind kind) {
    switch (kind) {
        case FilterKind::State:
            return {"-s (state)", Column::State, "no process state"};
        case FilterKind::Rss:
            return {"-r (RSS)", Column::Rss, "no resident set size"};
        case FilterKind::Vsz:
            return {"-z (VSZ)", Column::Vsz, "no virtual size"};
        case FilterKind::Pcpu:
            return {"-P (PCPU)", Column::Pcpu, "no %CPU"};
        default:
            return {"", Column::Pid, ""};
    }
}

Need need_of(Metric metric) {
    switch (metric) {
        case Metric::Vsz:
            return {"-m VSZ", Column::Vsz, "no virtual size"};
        case Metric::Rss:
            return {"-m RSS", Column::Rss, "no resident set size"};
        case Metric::Cpu:
            return {"-m CPU", Column::Pcpu, "no %CPU"};
        case Metric::Elapsed:
            return {"-m ELAPSED", Column::Elapsed, "no elapsed time"};
        case Metric::Threads:
            return {"-m THREADS", Column::Threads, "no thread count"};
        default:
            return {"", Column::Pid, ""};
    }
}

}  // namespace

struct Filters::Compiled {
    FilterKind kind;
    std::string text;
    long long number = 0;
    double real = 0;
    std::unique_ptr<Regex> regex;
    std::vector<std::string> names;  // -X's list
    std::string user_name;           // -u: the name that goes with the id, when known
    std::optional<long long> uid;    // -u: the id that goes with the name, when known
};

std::string refusal(const ProcsQuery& query, const SystemInfo& system) {
    const std::string on = " cannot be answered on " + std::string(system.name) + ": its ps shows ";
    for (const ProcsFilter& f : query.filters) {
        const Need need = need_of(f.kind);
        if (*need.option && !system.has(need.column)) return need.option + on + need.missing;
        const bool args = f.kind == FilterKind::Args || f.kind == FilterKind::ArgsRegex;
        if (args && system.system == ProcsSystem::Cygwin) {
            return std::string(f.kind == FilterKind::Args ? "-a (args)" : "--ereg-argument-array") +
                   on + "the program's path and no arguments";
        }
        if (f.kind == FilterKind::User && !all_digits(f.value) && !system.has(Column::User))
            return "-u " + f.value + on + "numeric user ids only";
        if (f.kind == FilterKind::NoKernelThreads && system.system != ProcsSystem::Linux)
            return "-k (no kernel threads) works on Linux only";
    }
    const Need need = need_of(query.metric);
    if (*need.option && !system.has(need.column)) return need.option + on + need.missing;
    if (query.interval > 0 && !system.has(Column::CpuTime))
        return "--interval" + on + "no CPU time";
    return {};
}

Filters::Filters(const ProcsQuery& query) {
    for (const ProcsFilter& f : query.filters) {
        auto c = std::make_unique<Compiled>();
        c->kind = f.kind;
        c->text = f.value;
        const char* invalid = nullptr;
        switch (f.kind) {
            case FilterKind::Ppid:
                if (!read_integer(f.value, c->number))
                    invalid = "Parent Process ID must be an integer!";
                break;
            case FilterKind::Rss:
                if (!read_integer(f.value, c->number)) invalid = "RSS must be an integer!";
                break;
            case FilterKind::Vsz:
                if (!read_integer(f.value, c->number)) invalid = "VSZ must be an integer!";
                break;
            case FilterKind::Pcpu:
                if (!read_real(f.value, c->real)) invalid = "PCPU must be a float!";
                break;
            case FilterKind::User:
                // AIX shows a workload partition's users as "+oracle": either spelling matches.
                if (c->text.size() > 1 && c->text.front() == '+') c->text.erase(0, 1);
                if (all_digits(c->text) && !read_integer(c->text, c->number)) c->number = -1;
                break;
            case FilterKind::ArgsRegex:
                c->regex = std::make_unique<Regex>(f.value);
                if (!c->regex->error().empty() && error_.empty())
                    error_ = "Could not compile regular expression - " + c->regex->error();
                break;
            case FilterKind::Exclude:
                for (size_t pos = 0; pos <= f.value.size();) {
                    const size_t comma = std::min(f.value.find(',', pos), f.value.size());
                    if (comma > pos) c->names.push_back(f.value.substr(pos, comma - pos));
                    pos = comma + 1;
                }
                break;
            default:
                break;
        }
        if (invalid && error_.empty()) error_ = invalid;
        filters_.push_back(std::move(c));
    }
}

Filters::~Filters() = default;

void Filters::learn(const std::vector<ProcRow>& rows) {
    for (const ProcRow& row : rows) {
        if (row.kind != ProcRow::Kind::Process) continue;
        if (kthreadd_pid_ < 0 && row.comm == "kthreadd") kthreadd_pid_ = row.pid;
        for (auto& f : filters_) {
            if (f->kind != FilterKind::User || !f->user_name.empty()) continue;
            if (all_digits(f->text)) {
                // A user column that shows a number shows an id, not a name.
                if (row.uid == f->number && !row.user.empty() && !all_digits(row.user))
                    f->user_name = row.user;
            } else if (row.user == f->text && row.uid) {
                f->uid = row.uid;
                f->user_name = f->text;
            }
        }
    }
}

bool Filters::passes(const Compiled& f, const ProcRow& row) const {
    switch (f.kind) {
        case FilterKind::State:
            return row.state.find(f.text) != std::string_view::npos;
        case FilterKind::Ppid:
            return row.ppid == f.number;
        case FilterKind::User:
            if (all_digits(f.text)) return row.uid == f.number;
            return row.user == f.text || (f.uid && row.uid == f.uid);
        case FilterKind::Rss:
            return row.rss >= f.number;
        case FilterKind::Vsz:
            return row.vsz >= f.number;
        case FilterKind::Pcpu:
            return row.pcpu >= f.real;
        case FilterKind::Args:
            return row.args.find(f.text) != std::string_view::npos;
        case FilterKind::ArgsRegex:
            buffer_.assign(row.args);
            return f.regex->found_in(buffer_.c_str());
        case FilterKind::Command:
            return row.name == f.text;
        case FilterKind::Exclude:
            return std::find(f.names.begin(), f.names.end(), row.name) == f.names.end();
        case FilterKind::NoKernelThreads:
            return kthreadd_pid_ < 0 || row.ppid != kthreadd_pid_;
    }
    return true;
}

int Filters::first_failing(const ProcRow& row) const {
    for (size_t i = 0; i < filters_.size(); ++i)
        if (!passes(*filters_[i], row)) return static_cast<int>(i);
    return -1;
}

std::string Filters::describe(size_t i) const {
    const Compiled& f = *filters_[i];
    switch (f.kind) {
        case FilterKind::State:
            return "STATE = " + f.text;
        case FilterKind::Ppid:
            return "PPID = " + std::to_string(f.number);
        case FilterKind::User:
            if (all_digits(f.text))
                return "UID = " + std::to_string(f.number) +
                       (f.user_name.empty() ? "" : " (" + f.user_name + ")");
            if (f.uid) return "UID = " + std::to_string(*f.uid) + " (" + f.text + ")";
            return "user '" + f.text + "'";
        case FilterKind::Rss:
            return "RSS >= " + std::to_string(f.number);
        case FilterKind::Vsz:
            return "VSZ >= " + std::to_string(f.number);
        case FilterKind::Pcpu:
            return "PCPU >= " + two_decimals(f.real);
        case FilterKind::Args:
            return "args '" + f.text + "'";
        case FilterKind::ArgsRegex:
            return "regex args '" + f.text + "'";
        case FilterKind::Command:
            return "command name '" + f.text + "'";
        case FilterKind::Exclude:
            return "exclude progs '" + f.text + "'";
        case FilterKind::NoKernelThreads:
            return {};
    }
    return {};
}

std::string Filters::label(size_t i) const {
    if (filters_[i]->kind == FilterKind::NoKernelThreads) return "kernel thread (-k)";
    return "left out by " + describe(i);
}

std::string Filters::description() const {
    std::string text;
    for (size_t i = 0; i < filters_.size(); ++i) {
        const std::string words = describe(i);
        if (words.empty()) continue;
        text += (text.empty() ? "" : ", ") + words;
    }
    return text;
}

}  // namespace varnok::procs
