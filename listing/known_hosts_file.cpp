// SPDX-License-Identifier: Apache-2.0
#include "listing/known_hosts_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "automation/file_descriptor.h"
#include "state/defaults.h"

namespace varnok {

std::string home_directory() {
    // Checks run on many threads at once: the reentrant lookup.
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        pw.pw_dir != nullptr && *pw.pw_dir != '\0') {
        return pw.pw_dir;
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    return "/";
}

std::string expand_home(const std::string& path) {
    if (path == "~" || path.rfind("~/", 0) == 0) return home_directory() + path.substr(1);
    return path;
}

std::string known_hosts_path(const HostKeyPolicy& policy) {
    return policy.known_hosts.empty() ? home_directory() + "/.ssh/known_hosts"
                                      : expand_home(policy.known_hosts);
}

std::string recorded_at(const std::string& path, const std::string& host, uint16_t port) {
    const std::string name =
        port == kDefaultSshPort ? host : "[" + host + "]:" + std::to_string(port);
    std::ifstream in(path);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        ssh_knownhosts_entry* entry = nullptr;
        if (line.empty() || line[0] == '#' ||
            ssh_known_hosts_parse_line(name.c_str(), line.c_str(), &entry) != SSH_OK) {
            continue;
        }
        ssh_knownhosts_entry_free(entry);
        return path + " line " + std::to_string(number);
    }
    return "known_hosts (" + path + " or /etc/ssh/ssh_known_hosts)";
}

std::optional<std::string> record_host_key(const std::string& path, ssh_session session) {
    // Folders that are missing are made private, as ssh makes ~/.ssh.
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    }
    const FileDescriptor file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!file) return std::string(": ") + std::strerror(errno);
    // The first check to hold the lock writes; the others find the key recorded. Unlocked, two
    // checks of a new host could both append its key.
    int locked = -1;
    do {
        locked = ::flock(file.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) return std::string(": cannot lock it: ") + std::strerror(errno);
    const bool written = ssh_session_is_known_server(session) == SSH_KNOWN_HOSTS_OK ||
                         ssh_session_update_known_hosts(session) == SSH_OK;
    if (!written) return std::string();
    return std::nullopt;
}

}  // namespace varnok
