// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "listing/failure.h"
#include "listing/ssh_client.h"
#include "state/state.h"

namespace varnok {

/// What one command line run over a login gave.
struct RemoteOutcome {
    std::string received;                     ///< the command's standard output
    FailureKind failure = FailureKind::None;  ///< why it did not run to its end
    std::string text;                         ///< the failure's text
    std::vector<std::string> warnings;        ///< the login's (a host key that was not recorded)
};

/// Runs command on the login of the settings (host, port, user, password, key file, time
/// limit) under the host-key policy.
using RemoteRun = std::function<RemoteOutcome(const CheckSettingsRecord&, const HostKeyPolicy&,
                                              const std::string& command)>;

/// A RemoteRun that is also given the key file's contents (the daemon's, which opens no file).
using KeyedRemoteRun = std::function<RemoteOutcome(const CheckSettingsRecord&, const HostKeyPolicy&,
                                                   const std::string& command,
                                                   const std::optional<std::string>& key_text)>;

/// A RemoteRun over a connection of its own: logs in, runs the command, disconnects.
RemoteOutcome run_remote(const CheckSettingsRecord& login, const HostKeyPolicy& host_keys,
                         const std::string& command);

}  // namespace varnok
