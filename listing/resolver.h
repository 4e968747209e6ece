// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct ares_addrinfo;

namespace varnok {

/// One address to connect to, as the socket calls take it.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

/// Looks a host name up without blocking (c-ares, both address families); an IPv4 or IPv6
/// address is taken as it stands, with no name server asked.
class Resolver {
  public:
    Resolver();
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    /// Starts the lookup of host for port; throws SshError (Connect) when it cannot start.
    void start(const std::string& host, uint16_t port);
    /// True once the lookup has ended, with or without addresses.
    bool done() const { return done_; }
    /// The addresses found, in the order to try them.
    const std::vector<Address>& addresses() const { return addresses_; }
    /// Why no address was found ("no address" or the resolver's text); empty when one was.
    std::string error() const;
    /// Adds the resolver's sockets and lowers timeout_ms to its next retry, within ms_left.
    void prepare_poll(std::vector<pollfd>& fds, int& timeout_ms, int ms_left) const;
    /// Handles what poll reported for the sockets prepare_poll added, and the retries due.
    void process(std::span<const pollfd> own);

  private:
    struct Channel;
    static void on_result(void* arg, int status, int timeouts, ares_addrinfo* result);
    void add(const sockaddr* addr, socklen_t length);

    bool done_ = false;
    int status_ = 0;
    std::vector<Address> addresses_;
    // Last, so that it goes first: destroying it answers the pending lookup.
    std::unique_ptr<Channel> channel_;
};

}  // namespace varnok
