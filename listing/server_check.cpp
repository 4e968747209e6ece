// SPDX-License-Identifier: Apache-2.0
#include "listing/server_check.h"

#include "listing/host_key_policy.h"
#include "listing/known_hosts_file.h"

namespace varnok {

std::optional<Refusal> check_server(SshClient& client, SshSession& session,
                                    const HostKeyPolicy& policy, const std::string& host,
                                    uint16_t port) {
    const std::string where = remote_words(host, port);
    bool accept = true;
    const Negotiated n = session.negotiated();
    if (client.CryptoInformation) {
        client.CryptoInformation("SSH-2.0", n.banner, n.cipher_in, n.cipher_out, n.kex, accept);
    }
    if (!accept) {
        return Refusal{FailureKind::Connect,
                       "The algorithms negotiated with " + where + " were not accepted"};
    }
    const std::string path = known_hosts_path(policy);
    const std::string print = session.fingerprint();
    const HostKeyDecision decision =
        decide_host_key(session.known_host(), policy.check,
                        {host, port, print, path, [&] { return recorded_at(path, host, port); }});
    accept = decision.action != HostKeyAction::Refuse;
    if (client.HostFingerprint) client.HostFingerprint(print, accept);
    if (decision.action == HostKeyAction::Refuse) {
        return Refusal{FailureKind::HostKey, decision.refusal};
    }
    if (!accept) {
        return Refusal{FailureKind::HostKey,
                       "The host key of " + where + " (" + print + ") was not accepted"};
    }
    if (decision.action == HostKeyAction::AcceptAndRecord) {
        // A file that cannot be written costs a warning, not the check.
        const auto problem = record_host_key(path, session.handle());
        if (problem && client.Warning) {
            client.Warning("the host key of " + where + " could not be recorded in " + path +
                           *problem);
        }
    }
    return std::nullopt;
}

}  // namespace varnok
