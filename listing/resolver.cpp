// SPDX-License-Identifier: Apache-2.0
#include "listing/resolver.h"

#include <ares.h>
#include <netdb.h>

#include <algorithm>
#include <cstring>

#include "listing/ssh_client.h"

namespace varnok {

struct Resolver::Channel {
    ares_channel handle = nullptr;
    ~Channel() {
        if (handle != nullptr) ares_destroy(handle);
    }
};

Resolver::Resolver() {
    static const int started = ares_library_init(ARES_LIB_INIT_ALL);
    (void)started;
}

Resolver::~Resolver() = default;

void Resolver::add(const sockaddr* addr, socklen_t length) {
    Address a;
    std::memcpy(&a.storage, addr, std::min<size_t>(length, sizeof a.storage));
    a.length = length;
    addresses_.push_back(a);
}

void Resolver::on_result(void* arg, int status, int, ares_addrinfo* result) {
    auto* self = static_cast<Resolver*>(arg);
    if (status != ARES_EDESTRUCTION) {
        self->done_ = true;
        self->status_ = status;
        if (status == ARES_SUCCESS && result != nullptr) {
            for (ares_addrinfo_node* n = result->nodes; n != nullptr; n = n->ai_next) {
                self->add(n->ai_addr, n->ai_addrlen);
            }
        }
    }
    if (result != nullptr) ares_freeaddrinfo(result);
}

void Resolver::start(const std::string& host, uint16_t port) {
    const std::string service = std::to_string(port);
    // A check by address must not depend on DNS.
    addrinfo numeric_hints{};
    numeric_hints.ai_family = AF_UNSPEC;
    numeric_hints.ai_socktype = SOCK_STREAM;
    numeric_hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* numeric = nullptr;
    if (::getaddrinfo(host.c_str(), service.c_str(), &numeric_hints, &numeric) == 0) {
        for (const addrinfo* n = numeric; n != nullptr; n = n->ai_next)
            add(n->ai_addr, n->ai_addrlen);
        ::freeaddrinfo(numeric);
        done_ = true;
        return;
    }
    auto channel = std::make_unique<Channel>();
    ares_options opts{};
    opts.flags = ARES_FLAG_STAYOPEN;
    if (ares_init_options(&channel->handle, &opts, 0) != ARES_SUCCESS) {
        channel->handle = nullptr;
        throw SshError("The name resolver cannot be started", FailureKind::Connect);
    }
    channel_ = std::move(channel);
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = ARES_AI_NUMERICSERV;
    ares_getaddrinfo(channel_->handle, host.c_str(), service.c_str(), &hints, on_result, this);
}

std::string Resolver::error() const {
    if (status_ != ARES_SUCCESS) return ares_strerror(status_);
    return addresses_.empty() ? "no address" : "";
}

void Resolver::prepare_poll(std::vector<pollfd>& fds, int& timeout_ms, int ms_left) const {
    if (channel_ == nullptr) return;
    ares_socket_t socks[ARES_GETSOCK_MAXNUM];
    const int mask = ares_getsock(channel_->handle, socks, ARES_GETSOCK_MAXNUM);
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short events = 0;
        if (ARES_GETSOCK_READABLE(mask, i)) events |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(mask, i)) events |= POLLOUT;
        if (events != 0) fds.push_back(pollfd{socks[i], events, 0});
    }
    timeval max{ms_left / 1000, (ms_left % 1000) * 1000}, tv{};
    if (const timeval* t = ares_timeout(channel_->handle, &max, &tv)) {
        timeout_ms = std::min<int>(timeout_ms,
                                   static_cast<int>(t->tv_sec * 1000 + (t->tv_usec + 999) / 1000));
    }
}

void Resolver::process(std::span<const pollfd> own) {
    if (channel_ == nullptr) return;
    for (const pollfd& p : own) {
        ares_process_fd(channel_->handle,
                        (p.revents & (POLLIN | POLLERR | POLLHUP)) ? p.fd : ARES_SOCKET_BAD,
                        (p.revents & POLLOUT) ? p.fd : ARES_SOCKET_BAD);
    }
    // Retries and timeouts that are due.
    ares_process_fd(channel_->handle, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
}

}  // namespace varnok
