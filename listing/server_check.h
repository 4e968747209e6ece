// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "listing/ssh_client.h"
#include "listing/ssh_session.h"

namespace varnok {

/// Why the client will not log in to a server.
struct Refusal {
    FailureKind kind;
    std::string text;
};

/// Decides on the server once the key exchange is done: raises client's CryptoInformation and
/// HostFingerprint (either may refuse), applies policy to the host key and records a new one,
/// raising Warning when it cannot; nullopt when the login may go on.
std::optional<Refusal> check_server(SshClient& client, SshSession& session,
                                    const HostKeyPolicy& policy, const std::string& host,
                                    uint16_t port);

}  // namespace varnok
