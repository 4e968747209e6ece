// SPDX-License-Identifier: Apache-2.0
#include <benchmark/benchmark.h>

#include <random>

#include "listing/lines.h"
#include "settings/param_string.h"
#include "state/state.h"

namespace {

using namespace varnok;

// A Linux `ps -awx` listing of 32,767 processes with long, varied command lines (about 4 MB).
std::string big_listing() {
    std::mt19937 rng(42);
    const char* names[] = {"/usr/sbin/sshd -D",
                           "/usr/lib/postgresql/15/bin/postgres -D /var/lib/db",
                           "[kworker/0:1H-events_highpri]",
                           "/usr/bin/python3 /opt/app/worker.py --queue",
                           "nginx: worker process",
                           "/usr/sbin/cron -f",
                           "Xorg :0 -nolisten tcp"};
    std::string text = "    PID TTY      STAT   TIME COMMAND\n";
    for (int pid = 1; pid <= kMaxEntries; ++pid) {
        text += std::to_string(pid) + " ?        Ss     " + std::to_string(rng() % 60) + ":" +
                std::to_string(10 + rng() % 50) + " " + names[rng() % 7] +
                " --id=" + std::to_string(rng()) +
                " --padding=" + std::string(40 + rng() % 40, 'x') + "\n";
    }
    return text;
}

const std::string& listing() {
    static const std::string text = big_listing();
    return text;
}

void split_once() {
    reset_module_state();
    CheckSettings.EOLType = "LF";
    CheckSettings.Column = 5;
    Splitt_in_lines(listing());
}

void BM_SplittInLines(benchmark::State& state) {
    for (auto _ : state) split_once();
    state.counters["entries"] = SessionState.LineCount;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * listing().size()));
}
BENCHMARK(BM_SplittInLines)->Unit(benchmark::kMillisecond);

void BM_SortWords(benchmark::State& state) {
    split_once();
    const std::vector<std::string> unsorted = SessionState.Lines;
    for (auto _ : state) {
        state.PauseTiming();
        SessionState.Lines = unsorted;
        state.ResumeTiming();
        SortWords();
    }
    state.counters["entries"] = SessionState.LineCount;
}
BENCHMARK(BM_SortWords)->Unit(benchmark::kMillisecond);

// The quadratic sort the original ran, for comparison at sizes it can finish.
void BM_BubbleSort(benchmark::State& state) {
    split_once();
    const std::vector<std::string> unsorted(SessionState.Lines.begin(),
                                            SessionState.Lines.begin() + state.range(0));
    for (auto _ : state) {
        std::vector<std::string> v = unsorted;
        for (size_t i = v.size(); i-- > 1;) {
            for (size_t j = 1; j <= i; ++j) {
                if (utf16_less(v[j], v[j - 1])) std::swap(v[j - 1], v[j]);
            }
        }
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_BubbleSort)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);

void BM_SortWordsAtSize(benchmark::State& state) {
    split_once();
    const std::vector<std::string> unsorted(SessionState.Lines.begin(),
                                            SessionState.Lines.begin() + state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        SessionState.Lines = unsorted;
        SessionState.LineCount = static_cast<int16_t>(state.range(0));
        state.ResumeTiming();
        SortWords();
    }
}
BENCHMARK(BM_SortWordsAtSize)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);

void BM_GetParamValue(benchmark::State& state) {
    const std::string text =
        "#ENC=T#USR=monitor#PWD=c2VjcmV0#PROTO=2#PORT=22#KEYF=/etc/varnok/monitor.key#KEYT=RSA"
        "#OS=LINUX#COL=8#PRO=sshd#SGN=AL#NUM=1#EOL=LF#FULL=N#WAIT=F#INPL=T#";
    const char* keys[] = {"USR", "PWD", "PROTO", "PORT", "KEYF", "KEYT",  "OS",   "COL",
                          "PRO", "SGN", "NUM",   "FULL", "EOL",  "DEBUG", "WAIT", "INPL"};
    for (auto _ : state) {
        for (const char* k : keys) benchmark::DoNotOptimize(GetParamValue(text, k));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 16));
}
BENCHMARK(BM_GetParamValue);

}  // namespace

BENCHMARK_MAIN();
