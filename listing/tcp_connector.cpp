// SPDX-License-Identifier: Apache-2.0
#include "listing/tcp_connector.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varnok {

TcpConnector::State TcpConnector::start(std::vector<Address> addresses,
                                        Clock::time_point deadline) {
    addresses_ = std::move(addresses);
    next_ = 0;
    deadline_ = deadline;
    return try_next();
}

TcpConnector::State TcpConnector::try_next() {
    socket_.reset();
    while (next_ < addresses_.size()) {
        const Address& addr = addresses_[next_++];
        FileDescriptor s(
            ::socket(addr.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (s.get() < 0) {
            error_ = std::strerror(errno);
            continue;
        }
        if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&addr.storage), addr.length) ==
                0 ||
            errno == EINPROGRESS) {
            socket_ = std::move(s);
            const size_t left = addresses_.size() - next_ + 1;
            address_deadline_ = Clock::now() + (deadline_ - Clock::now()) / left;
            return State::Connecting;
        }
        error_ = std::strerror(errno);
    }
    return State::Failed;
}

void TcpConnector::prepare_poll(std::vector<pollfd>& fds, int& timeout_ms) const {
    if (socket_.get() < 0) return;
    fds.push_back(pollfd{socket_.get(), POLLOUT, 0});
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(address_deadline_ - Clock::now());
    timeout_ms = std::min<int>(timeout_ms, static_cast<int>(std::max<long>(0, left.count())));
}

TcpConnector::State TcpConnector::advance(std::span<const pollfd> own) {
    const short revents = own.size() == 1 && own[0].fd == socket_.get() ? own[0].revents : short{0};
    if (revents == 0) {
        if (Clock::now() < address_deadline_ || next_ >= addresses_.size()) {
            return State::Connecting;
        }
        error_ = "Connection timed out";
        return try_next();
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
        error_ = std::strerror(err);
        return try_next();
    }
    return State::Connected;
}

}  // namespace varnok
