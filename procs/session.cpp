// SPDX-License-Identifier: Apache-2.0
#include "procs/session.h"

#include <unordered_map>

namespace varnok::procs {
namespace {

using Index = std::unordered_map<long long, size_t>;

// sshd's per-connection processes carry titles such as "sshd: user@notty" and "sshd: user
// [priv]", or (OpenSSH 9.8 on) run as sshd-session; Solaris' and Cygwin's show the program's
// path for every sshd.
bool is_sshd(const ProcRow& row) {
    return row.name == "sshd" || row.name == "sshd-session" || row.name == "sshd-auth" ||
           row.name == "sshd.exe" || row.args.starts_with("sshd:") ||
           row.args.starts_with("sshd-session:");
}

bool is_listener(const ProcRow& row) {
    return row.args.find("[listener]") != std::string_view::npos;
}

bool titled_per_connection(const ProcRow& row) {
    return (row.args.starts_with("sshd: ") || row.args.starts_with("sshd-session: ")) &&
           !is_listener(row);
}

std::optional<size_t> parent_of(const std::vector<ProcRow>& rows, const Index& index, size_t i) {
    const auto it = index.find(rows[i].ppid);
    if (it == index.end() || it->second == i) return std::nullopt;
    return it->second;
}

// The sshd processes right above the shell. Without titles the topmost of them is taken for
// the listener, which every connection's sshd descends from.
void mark_ancestors(const std::vector<ProcRow>& rows, const Index& index, size_t shell,
                    std::vector<bool>& own) {
    std::vector<size_t> chain;
    bool listener_above = false;
    for (auto up = parent_of(rows, index, shell); up && chain.size() < 64 && !own[*up];
         up = parent_of(rows, index, *up)) {
        if (!is_sshd(rows[*up])) break;
        if (is_listener(rows[*up])) {
            listener_above = true;
            break;
        }
        chain.push_back(*up);
    }
    for (size_t i = 0; i < chain.size(); ++i) {
        const bool top = i + 1 == chain.size();
        own[chain[i]] = !top || listener_above || titled_per_connection(rows[chain[i]]);
    }
}

}  // namespace

std::vector<bool> own_session(const std::vector<ProcRow>& rows,
                              std::optional<long long> shell_pid) {
    std::vector<bool> own(rows.size(), false);
    if (!shell_pid) return own;
    Index index;
    index.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].kind == ProcRow::Kind::Process) index.emplace(rows[i].pid, i);

    // Each process is below the shell when its chain of parents reaches it; a chain is walked
    // once, and a loop in a hostile listing ends the walk.
    enum : signed char { kUnknown = -1, kOther = 0, kBelow = 1, kOnPath = 2 };
    std::vector<signed char> state(rows.size(), kUnknown);
    std::vector<size_t> path;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].kind != ProcRow::Kind::Process) continue;
        path.clear();
        signed char verdict = kOther;
        for (size_t at = i;;) {
            if (state[at] == kOther || state[at] == kBelow) {
                verdict = state[at];
                break;
            }
            if (state[at] == kOnPath) break;
            state[at] = kOnPath;
            path.push_back(at);
            if (rows[at].pid == *shell_pid || rows[at].ppid == *shell_pid) {
                verdict = kBelow;
                break;
            }
            const auto up = parent_of(rows, index, at);
            if (!up) break;
            at = *up;
        }
        for (size_t p : path) state[p] = verdict;
    }
    for (size_t i = 0; i < rows.size(); ++i) own[i] = state[i] == kBelow;

    const auto shell = index.find(*shell_pid);
    if (shell != index.end()) mark_ancestors(rows, index, shell->second, own);
    return own;
}

}  // namespace varnok::procs
