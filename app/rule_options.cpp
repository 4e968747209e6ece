// SPDX-License-Identifier: Apache-2.0
#include "app/rule_options.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "settings/param_string.h"
#include "state/defaults.h"

namespace varnok {

std::string read_text(const std::string& file) {
    std::string text;
    if (file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    return text;
}

std::string without_line_end(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

HostKeyPolicy host_key_policy(const RuleOptions& o) {
    HostKeyPolicy p;
    p.known_hosts = o.known_hosts;
    p.check = o.host_key_check == "yes"  ? HostKeyCheck::Yes
              : o.host_key_check == "no" ? HostKeyCheck::No
                                         : HostKeyCheck::AcceptNew;
    return p;
}

std::function<void()> add_host_options(CLI::App& cmd, HostOptions& o,
                                       const std::string& host_names) {
    auto* host = cmd.add_option(host_names, o.host, "Name or address of the remote machine");
    auto* hosts = cmd.add_option("--hosts", o.hosts_file,
                                 "Check every host of FILE (one a line, an optional time limit "
                                 "after it; blank lines and # comments skipped)");
    host->excludes(hosts);
    cmd.add_option("--jobs", o.jobs, "Checks run at once with --hosts")
        ->capture_default_str()
        ->check(CLI::Range(1, 1024));
    return [host, hosts] {
        if (host->count() == 0 && hosts->count() == 0)
            throw CLI::RequiredError(host->get_name() + " or --hosts");
    };
}

void parse_sent_words(CLI::App& cmd, const std::vector<std::string>& words, RuleOptions& o,
                      const ServedContext& served) {
    o.served = &served;
    try {
        // CLI11 takes a vector of words last to first.
        std::vector<std::string> reversed(words.rbegin(), words.rend());
        cmd.parse(reversed);
    } catch (const CLI::ParseError& e) {
        throw DirectOnly(std::string("the daemon cannot read the words: ") + e.what());
    }
    // Another file would be one the request names, and its keys the client's to trust.
    if (!o.known_hosts.empty() && o.known_hosts != served.known_hosts)
        throw DirectOnly("known_hosts " + o.known_hosts + " is not the daemon's");
    o.known_hosts = served.known_hosts;
}

std::string file_text(const RuleOptions& o, const std::string& path) {
    if (!o.served) return read_text(path);
    const auto sent = o.served->files.find(path);
    if (sent == o.served->files.end()) throw DirectOnly(path + " was not sent to the daemon");
    return sent->second;
}

void add_rule_options(CLI::App& cmd, RuleOptions& o, bool many, bool optional) {
    cmd.add_option("--known-hosts", o.known_hosts,
                   "Host keys are looked up in (and recorded to) FILE, OpenSSH's known_hosts "
                   "format (default: ~/.ssh/known_hosts of the user's passwd entry, shared with "
                   "ssh)")
        ->envname("VARNOK_KNOWN_HOSTS");
    cmd.add_option(
           "--host-key-check", o.host_key_check,
           "accept-new: record an unknown host's key, refuse a changed one; yes: refuse unknown "
           "hosts too; no: record nothing, refuse only a key that contradicts the file")
        ->capture_default_str()
        ->check(CLI::IsMember({"yes", "accept-new", "no"}));
    cmd.add_option("-t,--timeout", o.timeout,
                   "Time limit of the SSH session in seconds (0: " +
                       std::to_string(kDefaultTimeLimitSeconds) + " seconds)")
        ->capture_default_str();
    const std::string again = many ? "; give it again for each further rule" : "";
    auto* param =
        cmd.add_option("--param", o.params,
                       "Parameter string, e.g. '#USR=monitor#PWD=...#OS=LINUX#PRO=sshd#'" + again);
    auto* file = cmd.add_option("--param-file", o.param_files,
                                "Read the parameter string from FILE ('-': standard input), so "
                                "that no password shows in a process list" +
                                    again);
    cmd.parse_complete_callback([param, file, many, optional, &cmd, &o] {
        const size_t count = param->count() + file->count();
        if (count == 0 && !optional) throw CLI::RequiredError("--param or --param-file");
        if (!many && count > 1)
            throw CLI::ValidationError("--param/--param-file", "give one parameter string");
        // The rules in the order given, --param and --param-file mixed.
        size_t next_param = 0, next_file = 0;
        for (const CLI::Option* option : cmd.parse_order()) {
            const std::string numbered = "rule " + std::to_string(o.sources.size() + 1);
            if (option == param) {
                std::string text = o.params.at(next_param++);
                o.sources.emplace_back(numbered, [text] { return text; });
            } else if (option == file) {
                const std::string path = o.param_files.at(next_file++);
                const std::string stem = std::filesystem::path(path).stem().string();
                // Read when the check runs, so that an unreadable file reaches its output.
                o.sources.emplace_back(path == "-" || stem.empty() ? numbered : stem,
                                       [path, &o] { return without_line_end(file_text(o, path)); });
            }
        }
    });
}

std::vector<CheckRequest> read_requests(const RuleOptions& o) {
    std::vector<CheckRequest> requests;
    for (const auto& [name, read] : o.sources) {
        CheckRequest r;
        r.timeout = o.timeout;
        r.param = read();
        r.host_keys = host_key_policy(o);
        r.rule_name = name;
        if (const std::string key = GetParamValue(r.param, "KEYF"); o.served && !key.empty())
            r.key_text = file_text(o, key);
        requests.push_back(std::move(r));
    }
    return requests;
}

}  // namespace varnok
