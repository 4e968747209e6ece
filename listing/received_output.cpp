// SPDX-License-Identifier: Apache-2.0
#include "listing/received_output.h"

#include <algorithm>

namespace varnok {

void ReceivedOutput::append(const char* data, size_t size) {
    if (overflow_) return;
    total_ += size;
    if (total_ > cap_) {
        overflow_ = true;
    } else {
        text_.append(data, size);
    }
}

std::string ReceivedOutput::take(size_t count) {
    const size_t n = std::min(count, text_.size() - offset_);
    std::string out = text_.substr(offset_, n);
    offset_ += n;
    announced_ = announced_ > n ? announced_ - n : 0;
    // The buffer is compacted now and then, not on every take.
    if (offset_ == text_.size()) {
        text_.clear();
        offset_ = 0;
    } else if (offset_ > text_.size() / 2) {
        text_.erase(0, offset_);
        offset_ = 0;
    }
    return out;
}

}  // namespace varnok
