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

/// One frame read as its bytes arrive: it holds what was received, never what the length
/// announces.
class FrameReader {
  public:
    /// Where the frame stands after a read.
    enum class State { More, Waiting, Done, Closed, Oversized };
    /// Reads once, at most up to the frame's end: More when bytes came and more are due,
    /// Waiting when none were there yet (or a receive timeout passed).
    State read_some(int fd);
    /// Whether any byte of the frame has arrived.
    bool started() const { return !bytes_.empty(); }
    /// The frame's contents, once read_some has said Done.
    std::string take();

  private:
    size_t wanted() const;

    std::string bytes_;  ///< the length and as much of the contents as arrived
};

/// Reads one frame of at most kMaxFrame bytes; nullopt at end of stream, on a short frame, a
/// read error or timeout, or a length over the cap.
std::optional<std::string> read_frame(int fd);

}  // namespace varnok
