// SPDX-License-Identifier: Apache-2.0
// Reads arbitrary remote output as each system's listing, with the explain view and JSON on,
// once or twice (--interval) listed.
#include <cstdint>
#include <string>

#include "procs/procs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    using namespace varnok::procs;
    ProcsQuery query;
    query.verbose = (data[0] & 0x10) != 0;
    query.json = (data[0] & 0x20) != 0;
    query.metric = static_cast<Metric>(data[1] % 6);
    query.interval = (data[1] & 0x80) != 0 ? 2 : 0;
    const auto system = static_cast<ProcsSystem>(data[0] % 7);
    const ProcsResult r =
        evaluate(query, std::string(reinterpret_cast<const char*>(data + 2), size - 2), system);
    if (r.status < 0 || r.status > 3 || r.count < 0 || r.count > r.total) __builtin_trap();
    if (r.status_line.empty()) __builtin_trap();
    return 0;
}
