// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <libssh/libssh.h>

#include <cstdint>
#include <optional>
#include <string>

#include "listing/ssh_client.h"

namespace varnok {

/// The home folder "~" stands for: the effective user's passwd entry, as the OpenSSH client
/// reads it; $HOME only when the entry has none; "/" when neither is set.
std::string home_directory();

/// path with a leading "~" or "~/" replaced by home_directory().
std::string expand_home(const std::string& path);

/// The file a policy looks host keys up in and records them to: its own, or ~/.ssh/known_hosts.
std::string known_hosts_path(const HostKeyPolicy& policy);

/// "FILE line N" for the first line of path that holds a key for host and port; a general
/// pointer to both known_hosts files when none does.
std::string recorded_at(const std::string& path, const std::string& host, uint16_t port);

/// Records the key session's server presented in path, under the file's lock so that checks of
/// the same host at once record it once; missing folders are made 0700 and the file 0600.
/// nullopt when the key is recorded; else what went wrong (": reason", or empty).
std::optional<std::string> record_host_key(const std::string& path, ssh_session session);

}  // namespace varnok
