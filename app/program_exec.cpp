// SPDX-License-Identifier: Apache-2.0
#include "app/program_exec.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace varnok {

void exec_program(const char* name, const char* argv0, const std::vector<std::string>& args) {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::string path = self.parent_path() / name;
    if (error || ::access(path.c_str(), X_OK) != 0)
        path = std::string(VARNOK_PROGRAM_DIR) + "/" + name;
    std::vector<char*> argv{const_cast<char*>(argv0)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    std::fprintf(stderr, "varnok: cannot run %s: %s\n", path.c_str(), std::strerror(errno));
    std::_Exit(3);
}

}  // namespace varnok
