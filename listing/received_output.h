// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <string>

namespace varnok {

/// A command's standard output from its arrival until it is fetched, with the count of bytes
/// already announced to the caller, up to a size cap.
class ReceivedOutput {
  public:
    /// Keeps at most cap bytes of one run; what comes after is dropped.
    explicit ReceivedOutput(size_t cap) : cap_(cap) {}

    /// Keeps arriving output, unless the run has gone over the cap.
    void append(const char* data, size_t size);
    /// True once the run's output went over the cap.
    bool overflow() const { return overflow_; }
    /// Bytes kept but not yet announced.
    size_t unannounced() const { return text_.size() - offset_ - announced_; }
    /// Notes n more bytes as announced.
    void announce(size_t n) { announced_ += n; }
    /// Takes up to count bytes, oldest first.
    std::string take(size_t count);

  private:
    size_t cap_;
    std::string text_;
    size_t offset_ = 0;
    size_t announced_ = 0;
    size_t total_ = 0;
    bool overflow_ = false;
};

}  // namespace varnok
