// SPDX-License-Identifier: Apache-2.0
#include "app/via_client.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "automation/file_descriptor.h"
#include "automation/variant.h"
#include "serve/frames.h"
#include "serve/secret_file.h"
#include "settings/param_string.h"

namespace varnok {
namespace {

// The value of an option given as "--name value", "--name=value" or, for a short one, "-nvalue".
bool option_value(const std::vector<std::string>& args, size_t& i, const std::string& name,
                  std::string& value) {
    const std::string& a = args[i];
    if (a == name && i + 1 < args.size()) {
        value = args[++i];
        return true;
    }
    if (name.size() > 2 && a.starts_with(name + "=")) {
        value = a.substr(name.size() + 1);
        return true;
    }
    if (name.size() == 2 && a.size() > 2 && a.starts_with(name)) {
        value = a.substr(2);
        return true;
    }
    return false;
}

// Sets a socket's send or receive timeout to what is left until deadline (at least 1 ms: zero
// would mean no timeout at all).
bool set_timeout(int fd, int option, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::max<long>(
        1, std::chrono::ceil<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now())
               .count());
    const timeval limit{left / 1000000, left % 1000000};
    return ::setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit) == 0;
}

std::chrono::milliseconds ack_wait(int seconds) {
    // A live daemon acknowledges before it does any network work, so at once; the wait only
    // rides out a loaded machine's scheduling. A frozen daemon costs this much of
    // the limit, which leaves at least four fifths of it to the direct check.
    return std::clamp(std::chrono::milliseconds(seconds) * 200, std::chrono::milliseconds(200),
                      std::chrono::milliseconds(1000));
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

std::optional<ViaRequest> via_request(const std::string& command,
                                      const std::vector<std::string>& args) {
    ViaRequest r;
    r.command = command;
    r.nagios = command == "procs";
    if (const char* env = std::getenv("VARNOK_VIA")) r.socket = env;
    bool known_hosts = false;
    std::vector<std::string> params, keys;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string value;
        if (a == "-h" || a == "--help" || a == "--hosts" || a.starts_with("--hosts=") ||
            a == "--passive" || a.starts_with("--passive="))
            return std::nullopt;
        if (a == "--no-fallback") {
            r.no_fallback = true;
        } else if (option_value(args, i, "--via", value)) {
            r.socket = value;
        } else if (option_value(args, i, "--param-file", value)) {
            // Standard input can be read once: a run that may fall back reads it itself.
            const std::optional<std::string> text = value == "-" ? std::nullopt : read_file(value);
            if (!text) return std::nullopt;
            r.files.emplace_back(value, *text);
            params.push_back(*text);
        } else if (option_value(args, i, "--param", value)) {
            params.push_back(value);
        } else if (command == "procs" && (option_value(args, i, "--identity", value) ||
                                          option_value(args, i, "-i", value))) {
            keys.push_back(value);
        } else if (option_value(args, i, "--timeout", value) ||
                   option_value(args, i, "-t", value)) {
            r.seconds = time_limit_seconds(value);
        } else if (option_value(args, i, "--format", value)) {
            r.nagios = value == "nagios";
            r.json = value == "json";
        } else if (option_value(args, i, "--known-hosts", value)) {
            known_hosts = true;
        }
    }
    if (r.socket.empty()) return std::nullopt;
    for (const std::string& param : params)
        if (std::string key = GetParamValue(param, "KEYF"); !key.empty()) keys.push_back(key);
    add_key_files(r, keys);
    // --via and --no-fallback go along: the daemon's check and procs take and ignore them.
    r.args = args;
    // The daemon has an environment of its own: the client's known_hosts goes along.
    const char* env_known_hosts = std::getenv("VARNOK_KNOWN_HOSTS");
    if (!known_hosts && env_known_hosts != nullptr && *env_known_hosts != '\0')
        r.args.insert(r.args.end(), {"--known-hosts", env_known_hosts});
    return r;
}

std::string untrusted_socket(const std::string& path) {
    struct stat socket_stat {};
    if (::lstat(path.c_str(), &socket_stat) != 0)
        return errno == EACCES ? "permission denied" : "no such socket";
    if (!S_ISSOCK(socket_stat.st_mode)) return "not a socket";
    // Whoever may write the folder may have put the socket there, to hear the password.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    struct stat folder_stat {};
    if (::stat(folder.c_str(), &folder_stat) != 0) return "permission denied";
    if (folder_stat.st_uid != 0 && folder_stat.st_uid != socket_stat.st_uid) {
        return folder + " belongs to uid " + std::to_string(folder_stat.st_uid) +
               ", neither root nor the socket's owner";
    }
    if ((folder_stat.st_mode & S_IWOTH) != 0) return folder + " is writable by others";
    if ((folder_stat.st_mode & S_IWGRP) != 0) return folder + " is writable by its group";
    return "";
}

void add_key_files(ViaRequest& r, const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
        const auto sent = std::find_if(r.files.begin(), r.files.end(),
                                       [&key](const auto& file) { return file.first == key; });
        if (key.empty() || sent != r.files.end() || !r.direct_reason.empty()) continue;
        if (std::optional<std::string> text = read_key_file(key, r.direct_reason))
            r.files.emplace_back(key, std::move(*text));
    }
}

std::optional<int> seconds_left(int seconds, std::chrono::steady_clock::time_point start) {
    const long left_ms = seconds * 1000L - std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count();
    if (left_ms < 500) return std::nullopt;
    return static_cast<int>((left_ms + 500) / 1000);
}

ViaAnswer ask_daemon(const ViaRequest& request) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    ViaAnswer answer;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (request.socket.size() >= sizeof address.sun_path) {
        answer.reason = "the path is too long for a socket";
        return answer;
    }
    answer.reason = untrusted_socket(request.socket);
    if (!answer.reason.empty()) return answer;
    std::memcpy(address.sun_path, request.socket.c_str(), request.socket.size() + 1);
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = socket.get();
    answer.reason = "did not answer";
    if (fd < 0) return answer;
    const auto ack_deadline = start + ack_wait(request.seconds);
    // The daemon's own limit starts when it has the request, a moment after ours: the grace
    // lets its answer (a timeout that says what it was doing) arrive rather than none.
    const auto answer_deadline =
        start + std::chrono::seconds(request.seconds) + std::chrono::seconds(1);
    // SO_SNDTIMEO bounds connect too, when the backlog of a daemon that stopped accepting is full.
    set_timeout(fd, SO_SNDTIMEO, ack_deadline);
    nlohmann::json files = nlohmann::json::object();
    for (const auto& [path, text] : request.files) files[path] = text;
    nlohmann::json body{{"args", request.args}, {"files", files}};
    if (request.command != "check") body["command"] = request.command;
    if (request.reports) body["reports"] = true;
    const std::string sent = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const auto read_json = [fd] {
        return nlohmann::json::parse(read_frame(fd).value_or(""), nullptr, false);
    };
    nlohmann::json said(nlohmann::json::value_t::discarded);  // the daemon's last frame
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EACCES || errno == EPERM) answer.reason = "permission denied";
        if (errno == ECONNREFUSED) answer.reason = "nothing listens on it";
    } else if (set_timeout(fd, SO_RCVTIMEO, ack_deadline)) {
        // A daemon that refuses the peer says so and closes, maybe before the request is all
        // sent: its word is still there to read.
        write_frame(fd, sent);
        said = read_json();
        answer.accepted = said.is_object() && said.contains("accepted") && said["accepted"] == true;
        if (answer.accepted) {
            answer.reason = "stopped before answering";
            said = set_timeout(fd, SO_RCVTIMEO, answer_deadline)
                       ? read_json()
                       : nlohmann::json(nlohmann::json::value_t::discarded);
        }
    }
    if (!said.is_object()) return answer;
    try {
        if (const auto error = said.find("error"); error != said.end()) {
            answer.reason = error->is_string() ? error->get<std::string>() : error->dump();
        } else if (said.value("direct", false)) {
            answer.kind = ViaAnswer::Kind::Direct;
            answer.reason = said.value("reason", "it sent the check back");
        } else if (request.reports && said.contains("reports")) {
            answer.reports = said.at("reports").dump();
            answer.kind = ViaAnswer::Kind::Answered;
            answer.reason.clear();
        } else if (!request.reports && said.contains("status")) {
            answer.status = said.at("status").get<int>();
            answer.out = said.value("out", "");
            answer.err = said.value("err", "");
            answer.kind = ViaAnswer::Kind::Answered;
            answer.reason.clear();
        } else {
            answer.reason = "its answer could not be read";
        }
    } catch (const nlohmann::json::exception&) {
        answer.kind = ViaAnswer::Kind::NoAnswer;
        answer.reason = "its answer could not be read";
    }
    return answer;
}

std::vector<std::string> with_time_limit(std::vector<std::string> args, int seconds) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        const size_t at = i;
        if (option_value(args, i, "--timeout", value) || option_value(args, i, "-t", value)) {
            args.erase(args.begin() + static_cast<long>(at),
                       args.begin() + static_cast<long>(i) + 1);
            break;
        }
    }
    args.insert(args.end(), {"--timeout", std::to_string(seconds)});
    return args;
}

}  // namespace varnok
