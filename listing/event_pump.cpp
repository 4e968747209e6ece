// SPDX-License-Identifier: Apache-2.0
#include "listing/event_pump.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "listing/ssh_client.h"

namespace varnok {
namespace {

// Short enough that a window stays responsive while a listing runs.
constexpr int kWindowWaitMs = 10;
// Every client lowers this to its next deadline; the cap only bounds a wait on clients that
// all wait for their sockets.
constexpr int kIdleWaitMs = 1000;

std::atomic<WindowEventsHook> window_events_hook{nullptr};

thread_local std::vector<SshClient*> live_clients;

}  // namespace

void set_window_events_hook(WindowEventsHook hook) { window_events_hook.store(hook); }

void register_live_client(SshClient* client) {
    if (std::find(live_clients.begin(), live_clients.end(), client) == live_clients.end()) {
        live_clients.push_back(client);
    }
}

void unregister_live_client(SshClient* client) {
    live_clients.erase(std::remove(live_clients.begin(), live_clients.end(), client),
                       live_clients.end());
}

int live_client_count() { return static_cast<int>(live_clients.size()); }

void DoEvents() {
    const WindowEventsHook hook = window_events_hook.load();
    const bool has_window = hook != nullptr && hook();

    std::vector<pollfd> fds;
    // A handler may end or replace a client, so work on a snapshot and re-check membership.
    const std::vector<SshClient*> clients = live_clients;
    // With nothing to wait for, there is nothing to sleep for either.
    int timeout_ms = has_window ? kWindowWaitMs : clients.empty() ? 0 : kIdleWaitMs;
    for (SshClient* c : clients) c->prepare_poll(fds, timeout_ms);
    ::poll(fds.data(), fds.size(), std::max(0, timeout_ms));
    for (SshClient* c : clients) {
        if (std::find(live_clients.begin(), live_clients.end(), c) != live_clients.end()) {
            c->advance(fds);
        }
    }
}

}  // namespace varnok
