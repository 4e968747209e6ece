// SPDX-License-Identifier: Apache-2.0
#include "serve/host_names.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <vector>

#include "listing/resolver.h"
#include "listing/ssh_client.h"
#include "serve/session_command.h"
#include "state/defaults.h"

namespace varnok {
namespace {

constexpr auto kKeep = std::chrono::seconds(60);
constexpr size_t kMostNames = 100000;

std::string text_of(const Address& a) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a.storage.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a.storage).sin_addr, text,
                    sizeof text);
    else
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a.storage).sin6_addr, text,
                    sizeof text);
    return text;
}

std::string look_up(const std::string& host, HostNames::Clock::time_point deadline) {
    Resolver resolver;
    try {
        resolver.start(host, kDefaultSshPort);
    } catch (const SshError&) {
        return host;
    }
    while (!resolver.done() && ms_left(deadline) > 0) {
        std::vector<pollfd> fds;
        int timeout = ms_left(deadline);
        resolver.prepare_poll(fds, timeout, ms_left(deadline));
        wait_for(fds, std::max(timeout, 0));
        resolver.process(fds);
    }
    std::vector<std::string> found;
    for (const Address& a : resolver.addresses()) found.push_back(text_of(a));
    return found.empty() ? host : *std::min_element(found.begin(), found.end());
}

}  // namespace

std::string HostNames::address_of(const std::string& host, Clock::time_point deadline) {
    const auto now = Clock::now();
    {
        const std::lock_guard lock(mutex_);
        const auto it = known_.find(host);
        if (it != known_.end() && now < it->second.until) return it->second.address;
    }
    const std::string address = look_up(host, deadline);
    if (address == host) return address;
    const std::lock_guard lock(mutex_);
    if (known_.size() >= kMostNames)
        std::erase_if(known_, [&](const auto& k) { return now >= k.second.until; });
    if (known_.size() < kMostNames) known_[host] = {address, now + kKeep};
    return address;
}

}  // namespace varnok
