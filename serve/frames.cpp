// SPDX-License-Identifier: Apache-2.0
#include "serve/frames.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace varnok {
namespace {

constexpr size_t kHead = 4;
constexpr size_t kChunk = 64 * 1024;

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

size_t FrameReader::wanted() const {
    if (bytes_.size() < kHead) return kHead;
    const auto* head = reinterpret_cast<const unsigned char*>(bytes_.data());
    return kHead + (uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 |
                    uint32_t{head[3]});
}

FrameReader::State FrameReader::read_some(int fd) {
    // Read into a buffer of our own and append: the string grows with what arrived.
    char chunk[kChunk];
    const ssize_t n = ::read(fd, chunk, std::min(kChunk, wanted() - bytes_.size()));
    if (n < 0 && errno == EINTR) return State::More;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return State::Waiting;
    if (n <= 0) return State::Closed;
    bytes_.append(chunk, static_cast<size_t>(n));
    if (wanted() - kHead > kMaxFrame) return State::Oversized;
    return bytes_.size() == wanted() ? State::Done : State::More;
}

std::string FrameReader::take() {
    bytes_.erase(0, kHead);
    return std::move(bytes_);
}

std::optional<std::string> read_frame(int fd) {
    FrameReader reader;
    for (;;) {
        switch (reader.read_some(fd)) {
            case FrameReader::State::More:
                continue;
            case FrameReader::State::Done:
                return reader.take();
            default:
                return std::nullopt;
        }
    }
}

}  // namespace varnok
