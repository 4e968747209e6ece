#include "listing/event_pump.h"

#include <poll.h>

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <vector>

#include "listing/ssh_client.h"

namespace varnok {
namespace {

// Short enough that a Qt window stays responsive while a listing runs.
constexpr int kMaxWaitMs = 10;

thread_local std::vector<SshClient*> live_clients;

}  // namespace

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
    // Qt's events belong to the thread that runs the application; checks on other threads
    // only pump their own sockets.
    if (const QCoreApplication* app = QCoreApplication::instance();
        app != nullptr && app->thread() == QThread::currentThread()) {
        QCoreApplication::processEvents();
    }

    std::vector<pollfd> fds;
    int timeout_ms = kMaxWaitMs;
    // A handler may end or replace a client, so work on a snapshot and re-check membership.
    const std::vector<SshClient*> clients = live_clients;
    for (SshClient* c : clients) c->prepare_poll(fds, timeout_ms);
    ::poll(fds.data(), fds.size(), std::max(0, timeout_ms));
    for (SshClient* c : clients) {
        if (std::find(live_clients.begin(), live_clients.end(), c) != live_clients.end()) {
            c->advance(fds);
        }
    }
}

}  // namespace varnok
