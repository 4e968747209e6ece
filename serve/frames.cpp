// SPDX-License-Identifier: Apache-2.0
#include "serve/frames.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace varnok {
namespace {

bool read_all(int fd, char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool write_frame(int fd, const std::string& bytes) {
    const auto size = static_cast<uint32_t>(bytes.size());
    std::string frame{static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                      static_cast<char>(size >> 8), static_cast<char>(size)};
    frame += bytes;
    const char* data = frame.data();
    size_t left = frame.size();
    while (left > 0) {
        // MSG_NOSIGNAL: a peer that went away is a false return, not a SIGPIPE.
        const ssize_t n = ::send(fd, data, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

std::optional<std::string> read_frame(int fd) {
    unsigned char head[4];
    if (!read_all(fd, reinterpret_cast<char*>(head), sizeof head)) return std::nullopt;
    const uint32_t size = uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 |
                          uint32_t{head[2]} << 8 | uint32_t{head[3]};
    if (size > kMaxFrame) return std::nullopt;
    std::string bytes(size, '\0');
    if (!read_all(fd, bytes.data(), size)) return std::nullopt;
    return bytes;
}

}  // namespace varnok
