// SPDX-License-Identifier: Apache-2.0
// The varnok command: a `check --via` or `procs --via` it answers itself, through the daemon's
// socket, loading no SSH or crypto library; `serve` it hands to the daemon's program, and
// everything else, and a check the daemon cannot answer, to the whole program, both installed
// beside the window module.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/program_exec.h"
#include "app/via_client.h"

namespace {

using namespace varnok;

[[noreturn]] void run_whole_program(char* argv0, const std::vector<std::string>& args) {
    exec_program("varnok-core", argv0, args);
}

// The direct run, told why for its output.
[[noreturn]] void fall_back(char* argv0, const std::string& why,
                            const std::vector<std::string>& args) {
    ::setenv(kViaFallbackVariable, (why + "; checked directly").c_str(), 1);
    run_whole_program(argv0, args);
}

// As the direct run words a failure it could not check with: procs's JSON is an object.
int unknown(const ViaRequest& r, const std::string& text) {
    if (r.command == "procs" && r.json) {
        const nlohmann::ordered_json j{
            {"status", "UNKNOWN"}, {"exit", 3}, {"text", "PROCS UNKNOWN: " + text}};
        std::printf("%s\n",
                    j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else if (r.nagios) {
        std::printf("PROCS UNKNOWN: %s\n", text.c_str());
    } else {
        std::fprintf(stderr, "varnok: %s\n", text.c_str());
    }
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    // Only a run that fell back here tells the direct run so.
    ::unsetenv(kViaFallbackVariable);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args.front() == "serve") exec_program("varnok-serve", argv[0], args);
    if (args.empty() || (args.front() != "check" && args.front() != "procs"))
        run_whole_program(argv[0], args);
    const std::vector<std::string> words(args.begin() + 1, args.end());
    const std::optional<ViaRequest> request = via_request(args.front(), words);
    if (!request) run_whole_program(argv[0], args);
    // A key the client will not send is the client's to use, as a run the daemon sends back;
    // --no-fallback asked for none.
    if (!request->direct_reason.empty()) {
        const std::string why =
            "varnok serve at " + request->socket + ": " + request->direct_reason;
        if (request->no_fallback) return unknown(*request, why);
        fall_back(argv[0], why, args);
    }
    const auto start = std::chrono::steady_clock::now();
    const ViaAnswer answer = ask_daemon(*request);
    if (answer.kind == ViaAnswer::Kind::Answered) {
        std::fwrite(answer.err.data(), 1, answer.err.size(), stderr);
        std::fwrite(answer.out.data(), 1, answer.out.size(), stdout);
        return answer.status;
    }
    const std::string why = "varnok serve at " + request->socket + ": " + answer.reason;
    if (answer.kind == ViaAnswer::Kind::Direct) fall_back(argv[0], why, args);
    if (request->no_fallback) return unknown(*request, why);
    // The direct check gets what is left of the same time limit. It counts whole seconds: the
    // nearest one may end half a second past the limit, but a short limit is not all lost to the
    // wait for a frozen daemon. A daemon that was not there cost nothing: the words stay.
    const std::optional<int> left = seconds_left(request->seconds, start);
    if (!left)
        return unknown(*request, "varnok serve at " + request->socket + ": did not answer within " +
                                     std::to_string(request->seconds) + " seconds");
    std::vector<std::string> direct{args.front()};
    const std::vector<std::string> limited =
        *left == request->seconds ? words : with_time_limit(words, *left);
    direct.insert(direct.end(), limited.begin(), limited.end());
    fall_back(argv[0], why, direct);
}
