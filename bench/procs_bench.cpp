// SPDX-License-Identifier: Apache-2.0
#include <benchmark/benchmark.h>

#include <random>

#include "procs/listing.h"
#include "procs/procs.h"
#include "procs/remote_output.h"

namespace {

using namespace varnok::procs;

// What the Linux listing prints for 32,767 processes with long, varied command lines (5 MB).
std::string big_output() {
    std::mt19937 rng(42);
    const char* commands[][2] = {
        {"sshd", "sshd: monitor@notty"},
        {"postgres", "/usr/lib/postgresql/15/bin/postgres -D /var/lib/postgresql/15/main"},
        {"kworker/0:1H-ev", "[kworker/0:1H-events_highpri]"},
        {"python3", "/usr/bin/python3 /opt/app/worker.py --queue jobs"},
        {"nginx", "nginx: worker process"},
        {"Web Content", "/usr/lib/firefox-esr/firefox-esr -contentproc -childID 3"},
        {"cron", "/usr/sbin/cron -f"}};
    std::string text = "varnok-procs-os Linux\nvarnok-procs-pid 999999\n";
    text +=
        "STAT   UID USER____________________________   PID  PPID    VSZ   RSS %CPU     ELAPSED "
        "COMMAND         COMMAND\n";
    char line[512];
    for (int pid = 1; pid <= 32767; ++pid) {
        const auto& c = commands[rng() % 7];
        std::snprintf(line, sizeof line,
                      "%-4s %5u %-32s %5d %5u %6u %5u %4.1f %11s %-15s %s --id=%u --padding=%s\n",
                      rng() % 9 ? "S" : "Ss", static_cast<unsigned>(rng() % 3 * 1000),
                      rng() % 2 ? "root" : "postgres", pid, static_cast<unsigned>(rng() % pid),
                      static_cast<unsigned>(rng() % 900000), static_cast<unsigned>(rng() % 90000),
                      (rng() % 1000) / 10.0, rng() % 2 ? "1-02:03:04" : "12:34", c[0], c[1],
                      static_cast<unsigned>(rng()), std::string(40 + rng() % 40, 'x').c_str());
        text += line;
    }
    return text + "varnok-procs-end 0\n";
}

const std::string& output() {
    static const std::string text = big_output();
    return text;
}

void run(benchmark::State& state, const ProcsQuery& query) {
    ProcsResult r;
    for (auto _ : state) {
        r = evaluate(query, output(), ProcsSystem::Linux);
        benchmark::DoNotOptimize(r.count);
    }
    state.counters["counted"] = static_cast<double>(r.count);
    state.counters["total"] = static_cast<double>(r.total);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output().size()));
}

void BM_ParseListing(benchmark::State& state) {
    for (auto _ : state) {
        const RemoteOutput out = split_remote_output(output());
        benchmark::DoNotOptimize(parse_listing(out.lines, ProcsSystem::Linux).size());
    }
}
BENCHMARK(BM_ParseListing)->Unit(benchmark::kMillisecond);

void BM_EvaluateNoFilter(benchmark::State& state) { run(state, {}); }
BENCHMARK(BM_EvaluateNoFilter)->Unit(benchmark::kMillisecond);

void BM_EvaluateCommandAndUser(benchmark::State& state) {
    ProcsQuery q;
    q.filters = {{FilterKind::Command, "sshd"}, {FilterKind::User, "root"}};
    q.warning = varnok::ThresholdRange{"1:3", 1, 3, false};
    run(state, q);
}
BENCHMARK(BM_EvaluateCommandAndUser)->Unit(benchmark::kMillisecond);

void BM_EvaluateRegexAndMetric(benchmark::State& state) {
    ProcsQuery q;
    q.filters = {{FilterKind::ArgsRegex, "worker\\.py --queue [a-z]+"}, {FilterKind::State, "S"}};
    q.metric = Metric::Rss;
    q.warning = varnok::ThresholdRange{"50000", 0, 50000, false};
    run(state, q);
}
BENCHMARK(BM_EvaluateRegexAndMetric)->Unit(benchmark::kMillisecond);

void BM_EvaluateExplainAndJson(benchmark::State& state) {
    ProcsQuery q;
    q.filters = {{FilterKind::Args, "postgresql"}};
    q.verbose = q.json = true;
    run(state, q);
}
BENCHMARK(BM_EvaluateExplainAndJson)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
