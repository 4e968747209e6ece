// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace varnok {

/// The largest request or answer either side of the socket accepts.
inline constexpr size_t kMaxFrame = 4u << 20;

/// Writes a 4-byte big-endian length and the bytes; false when the peer went away.
bool write_frame(int fd, const std::string& bytes);

/// Reads one frame of at most kMaxFrame bytes; nullopt at end of stream, on a short frame, a
/// read error or timeout, or a length over the cap.
std::optional<std::string> read_frame(int fd);

}  // namespace varnok
