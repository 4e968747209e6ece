// SPDX-License-Identifier: Apache-2.0
// The memory varnok serve's process history holds for many targets: 1,000 targets x 10 rules
// (and more), each rule with N processes, measured as the heap in use before and after
// (mallinfo2), and the time of one probe's update of 10 rules.
//   process_history_bench [TARGETS] [RULES] [PROCESSES]
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "serve/process_history.h"

int main(int argc, char** argv) {
    const int targets = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rules = argc > 2 ? std::atoi(argv[2]) : 10;
    const int processes = argc > 3 ? std::atoi(argv[3]) : 3;
    const auto heap = [] { return mallinfo2().uordblks; };
    const size_t before = heap();
    {
        varnok::ProcessHistory history;
        const auto now = std::chrono::steady_clock::now();
        std::vector<varnok::ListedProcess> listed;
        for (int p = 0; p < processes; ++p) listed.push_back({100000 + p, 1.7e9, 12.5, 4});
        const auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < 2; ++round)
            for (int t = 0; t < targets; ++t)
                for (int r = 0; r < rules; ++r)
                    history.update("host-" + std::to_string(t) + ".example.net", "unix_key",
                                   "rule-" + std::to_string(r), listed, now);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double mib = static_cast<double>(heap() - before) / (1 << 20);
        std::printf(
            "%d targets x %d rules x %d processes: %zu states, %.2f MiB held, "
            "%.1f us per probe of %d rules\n",
            targets, rules, processes, history.size(), mib, seconds / (2.0 * targets) * 1e6, rules);
    }
    return 0;
}
