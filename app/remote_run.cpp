// SPDX-License-Identifier: Apache-2.0
#include "app/remote_run.h"

#include "listing/event_pump.h"
#include "listing/session_driver.h"
#include "state/defaults.h"

namespace varnok {

RemoteOutcome run_remote(const CheckSettingsRecord& s, const HostKeyPolicy& host_keys,
                         const std::string& command) {
    RemoteOutcome out;
    SshClient ssh;
    SshKeys keys;
    bool done = false;
    ssh.Connected = [&out](int16_t code, const std::string& text) {
        if (code == 0) return;
        out.failure = static_cast<FailureKind>(code);
        out.text = text;
    };
    ssh.Received = [&](int16_t count) { out.received += ssh.fetch(count); };
    ssh.Disconnected = [&done] { done = true; };
    ssh.Warning = [&out](const std::string& text) { out.warnings.push_back(text); };
    try {
        ssh.set_remote_host(s.Hostname);
        ssh.set_remote_port(port_or_default(s.Port));
        set_login(ssh, keys, s, std::nullopt);
        ssh.set_command_text(command);
        ssh.set_time_limit(s.TimeoutSeconds);
        ssh.set_host_key_policy(host_keys);
        ssh.connect();
    } catch (const SshError& e) {
        out.failure = e.kind();
        out.text = e.what();
        return out;
    }
    while (!done) DoEvents();
    if (out.failure == FailureKind::None && ssh.end_failure() != FailureKind::None) {
        out.failure = ssh.end_failure();
        out.text = ssh.end_error();
    }
    return out;
}

}  // namespace varnok
