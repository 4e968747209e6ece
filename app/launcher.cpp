// SPDX-License-Identifier: Apache-2.0
// The varnok command: a `check --via` it answers itself, through the daemon's socket, loading
// no SSH or crypto library; everything else, and a check the daemon cannot answer, it hands to
// the whole program, installed beside the window module.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/via_client.h"

namespace {

using namespace varnok;

[[noreturn]] void run_whole_program(char* argv0, const std::vector<std::string>& args) {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    // In the build tree the whole program sits beside this one.
    std::string path = self.parent_path() / "varnok-core";
    if (error || ::access(path.c_str(), X_OK) != 0) path = VARNOK_CORE;
    std::vector<char*> argv{argv0};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    std::fprintf(stderr, "varnok: cannot run %s: %s\n", path.c_str(), std::strerror(errno));
    std::_Exit(3);
}

int unknown(const ViaRequest& r, const std::string& text) {
    if (r.nagios)
        std::printf("PROCS UNKNOWN: %s\n", text.c_str());
    else
        std::fprintf(stderr, "varnok: %s\n", text.c_str());
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args.front() != "check") run_whole_program(argv[0], args);
    const std::vector<std::string> words(args.begin() + 1, args.end());
    const std::optional<ViaRequest> request = via_request(words);
    if (!request) run_whole_program(argv[0], args);
    const auto start = std::chrono::steady_clock::now();
    const ViaAnswer answer = ask_daemon(*request);
    if (answer.kind == ViaAnswer::Kind::Answered) {
        std::fwrite(answer.err.data(), 1, answer.err.size(), stderr);
        std::fwrite(answer.out.data(), 1, answer.out.size(), stdout);
        return answer.status;
    }
    if (answer.kind == ViaAnswer::Kind::Direct) run_whole_program(argv[0], args);
    if (request->no_fallback)
        return unknown(*request, "varnok serve at " + request->socket + " did not answer");
    // The direct check gets what is left of the same time limit.
    const auto spent =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    const int left = request->seconds - static_cast<int>(spent);
    if (left < 1)
        return unknown(*request, "varnok serve at " + request->socket + " did not answer within " +
                                     std::to_string(request->seconds) + " seconds");
    std::vector<std::string> direct{"check"};
    const std::vector<std::string> limited = spent > 0 ? with_time_limit(words, left) : words;
    direct.insert(direct.end(), limited.begin(), limited.end());
    run_whole_program(argv[0], direct);
}
