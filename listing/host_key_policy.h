// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <libssh/libssh.h>

#include <cstdint>
#include <functional>
#include <string>

#include "listing/ssh_client.h"
#include "state/defaults.h"

namespace varnok {

/// What to do with the host key a server presented.
enum class HostKeyAction { Accept, AcceptAndRecord, Refuse };

/// The decision on a host key; refusal says why when the action is Refuse.
struct HostKeyDecision {
    HostKeyAction action = HostKeyAction::Accept;
    std::string refusal;
};

/// What the refusal texts name.
struct HostKeySubject {
    std::string host;
    uint16_t port = kDefaultSshPort;
    std::string fingerprint;  ///< "ssh-ed25519 SHA256:..."
    std::string known_hosts;  ///< the file the policy looks keys up in and records them to
    /// Where the file holds another key for the host; asked only for a changed key.
    std::function<std::string()> recorded_at;
};

/// "'host' port N", as every connection text names the remote end.
std::string remote_words(const std::string& host, uint16_t port);

/// Decides on a host key from what libssh found in known_hosts and the policy's check: a key
/// that contradicts the file is refused, an unknown one refused under Yes and recorded under
/// AcceptNew; a known one, or one the files could not be read for, is accepted.
HostKeyDecision decide_host_key(ssh_known_hosts_e known, HostKeyCheck check,
                                const HostKeySubject& subject);

}  // namespace varnok
