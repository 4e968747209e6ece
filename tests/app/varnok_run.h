// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace varnok::testing {

/// What one run of the varnok binary gave.
struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

/// VARNOK_KNOWN_HOSTS=the fixture's file, so no test records a key in a real user's file.
inline std::string fixture_known_hosts() {
    const char* fixture = std::getenv("VARNOK_FIXTURE");
    return fixture == nullptr
               ? std::string()
               : "VARNOK_KNOWN_HOSTS='" + std::string(fixture) + "/home/.ssh/known_hosts'";
}

/// Runs `varnok args` through the shell with stdin_text on standard input and no display but
/// what env ("NAME=value ...") sets; runner goes in front of it all (e.g. to run as another user),
/// binary is the varnok to run. Host keys go to the fixture's known_hosts unless env sets
/// VARNOK_KNOWN_HOSTS (empty: the default file).
inline CliRun varnok(const std::string& args, const std::string& stdin_text = "",
                     const std::string& env = "", const std::string& runner = "",
                     const std::string& binary = VARNOK_BINARY) {
    const std::string err =
        std::string(::testing::TempDir()) + "varnok-err-" + std::to_string(getpid());
    const std::string command = (stdin_text.empty() ? "" : "printf '%s' '" + stdin_text + "' | ") +
                                runner + " env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY " +
                                fixture_known_hosts() + " " + env + " '" + binary + "' " + args +
                                " 2>'" + err + "'";
    CliRun run;
    FILE* pipe = popen(command.c_str(), "r");
    char buf[65536];
    while (size_t n = fread(buf, 1, sizeof buf, pipe)) run.out.append(buf, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(err);
    run.err.assign(std::istreambuf_iterator<char>(in), {});
    std::remove(err.c_str());
    return run;
}

/// Succeeds when part occurs in text; the failure shows both.
inline ::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "'" << part << "' is not in:\n" << text;
}

}  // namespace varnok::testing
