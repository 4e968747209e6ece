// SPDX-License-Identifier: Apache-2.0
#include "listing/host_key_policy.h"

namespace varnok {

std::string remote_words(const std::string& host, uint16_t port) {
    return "'" + host + "' port " + std::to_string(port);
}

HostKeyDecision decide_host_key(ssh_known_hosts_e known, HostKeyCheck check,
                                const HostKeySubject& subject) {
    const std::string where = remote_words(subject.host, subject.port);
    switch (known) {
        case SSH_KNOWN_HOSTS_CHANGED:
        case SSH_KNOWN_HOSTS_OTHER:
            return {HostKeyAction::Refuse,
                    "The host key of " + where + " has changed (" + subject.fingerprint +
                        "): it does not match the key recorded in " + subject.recorded_at() +
                        ", so the connection was refused"};
        case SSH_KNOWN_HOSTS_UNKNOWN:
        case SSH_KNOWN_HOSTS_NOT_FOUND:
            if (check == HostKeyCheck::Yes) {
                return {HostKeyAction::Refuse,
                        "The host key of " + where + " (" + subject.fingerprint +
                            ") is not recorded in " + subject.known_hosts +
                            ": record it with a first run with --host-key-check accept-new, or "
                            "with ssh-keyscan -p " +
                            std::to_string(subject.port) + " " + subject.host + " >> " +
                            subject.known_hosts};
            }
            return {check == HostKeyCheck::AcceptNew ? HostKeyAction::AcceptAndRecord
                                                     : HostKeyAction::Accept,
                    {}};
        default:
            return {HostKeyAction::Accept, {}};
    }
}

}  // namespace varnok
