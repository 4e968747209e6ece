// SPDX-License-Identifier: Apache-2.0
#include "procs/listing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "procs/procs.h"

namespace {

using namespace varnok::procs;

TEST(ParseElapsed, ReadsEveryFormTheSystemsPrint) {
    const std::vector<std::pair<std::string, std::optional<long long>>> cases = {
        {"00:05", 5},
        {"59:59", 3599},
        {"01:02:03", 3723},
        {"2-03:04:05", 183845},
        {"120-01:02:03", 10371723},
        {"12345", 12345},
        {"", std::nullopt},
        {"1:2:3:4", std::nullopt},
        {"a:00", std::nullopt},
        {"1-", std::nullopt},
        {"-5", std::nullopt},
        {"1-30", std::nullopt},
        {"10000000000:00", std::nullopt},
        {"1::2", std::nullopt},
    };
    for (const auto& [text, seconds] : cases) EXPECT_EQ(parse_elapsed(text), seconds) << text;
}

TEST(SystemFromUname, ReadsGitForWindowsAndMsys2AsCygwin) {
    const std::vector<std::pair<std::string, std::optional<ProcsSystem>>> cases = {
        {"CYGWIN_NT-10.0-19045", ProcsSystem::Cygwin},
        {"MSYS_NT-10.0-22631", ProcsSystem::Cygwin},
        {"MINGW64_NT-10.0-19045", ProcsSystem::Cygwin},
        {"MINGW32_NT-6.1-7601", ProcsSystem::Cygwin},
        {"MINGW", std::nullopt},
        {"Windows_NT", std::nullopt},
    };
    for (const auto& [uname, system] : cases) EXPECT_EQ(system_from_uname(uname), system) << uname;
}

TEST(ParseListing, ReadsNamesWithBlanksAfterAnOverflowingColumn) {
    const std::vector<std::string_view> lines = {
        "STAT   UID USER   PID  PPID    VSZ   RSS %CPU     ELAPSED COMMAND         COMMAND",
        "Sl    1000 alice 3100     1 2838860 401236 12.5    05:10:00 Web Content     /usr/lib/ff "
        "-x",
        "S        0 root     9     2      0     0  0.0       00:01                 [nameless]",
        "R        0 root  1 2 3 4 5",
    };
    const auto rows = parse_listing(lines, ProcsSystem::Linux);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].comm, "Web Content");
    EXPECT_EQ(rows[1].args, "/usr/lib/ff -x");
    EXPECT_EQ(rows[1].rss, 401236);
    EXPECT_EQ(rows[2].comm, "");
    EXPECT_EQ(rows[2].args, "[nameless]");
    EXPECT_EQ(rows[3].kind, ProcRow::Kind::Unparsed);
}

// Each system's header and one row with the extra columns, as its ps prints them.
TEST(ParseListing, ReadsTheCpuTimeAndThreadsOfEverySystem) {
    struct Case {
        ProcsSystem system;
        std::string header, row;
        double cpu_time;
        long long threads;
    };
    const std::vector<Case> cases = {
        {ProcsSystem::Linux,
         "STAT   UID USER  PID  PPID   VSZ   RSS %CPU  ELAPSED     TIME NLWP COMMAND COMMAND",
         "Ssl   999 pg   1021     1 21803 29640  0.0 3-01:02:03 1-02:03:04  12 postgres pg -D x",
         93784, 12},
        {ProcsSystem::Bsd,
         "STAT UID USER  PID PPID   VSZ  RSS %CPU ELAPSED      TIME NLWP COMMAND COMMAND",
         "Ss     0 root  812    1 45120 1280  0.0   10:01 125:01.25    3 nginx   nginx: master",
         7501.25, 3},
        {ProcsSystem::Solaris,
         "S   UID USER   PID  PPID    VSZ    RSS %CPU  ELAPSED        TIME NLWP COMMAND COMMAND",
         "O    80 web   1500     1 250000 120000 25.0 02:00:00       30:00   57 java    java -X",
         1800, 57},
        {ProcsSystem::Aix,
         "ST UID USER     PID  PPID    VSZ    RSS %CPU  ELAPSED     TIME THCNT COMMAND COMMAND",
         "A  210 was   262300     1 2097152 1843200 7.5 12:30:00 01:40:00    41 java    java -X",
         6000, 41},
    };
    for (const Case& c : cases) {
        const auto rows = parse_listing({c.header, c.row}, c.system, {true, true});
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[1].kind, ProcRow::Kind::Process) << c.row;
        EXPECT_DOUBLE_EQ(rows[1].cpu_time, c.cpu_time) << c.row;
        EXPECT_EQ(rows[1].threads, c.threads) << c.row;
    }
}

TEST(OwnSession, EndsOnParentLoopsInAHostileListing) {
    const std::string output =
        "varnok-procs-os Linux\nvarnok-procs-pid 10\n"
        "S 0 root 10 11 1 1 0.0 00:01 sh sh\nS 0 root 11 10 1 1 0.0 00:01 sshd sshd\n"
        "S 0 root 12 13 1 1 0.0 00:01 a a\nS 0 root 13 12 1 1 0.0 00:01 b b\n"
        "S 0 root 12 12 1 1 0.0 00:01 c c\nvarnok-procs-end 0\n";
    EXPECT_EQ(evaluate({}, output, ProcsSystem::Linux).status_line, "PROCS OK: 3 processes");
}

// The commands run for real here: this machine is a Linux one, and the auto form's case
// statement must pass /bin/sh whole.
TEST(ProcsCommand, RunsHereAndFindsItsOwnShellAndListing) {
    for (ProcsSystem system : {ProcsSystem::Linux, ProcsSystem::Auto}) {
        FILE* pipe = popen(procs_command(system).c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
        EXPECT_EQ(pclose(pipe), 0);
        ProcsQuery query;
        query.verbose = true;
        const ProcsResult r = evaluate(query, output, system);
        EXPECT_EQ(r.status, 0) << r.output();
        EXPECT_EQ(r.system, ProcsSystem::Linux);
        EXPECT_GT(r.count, 0);
        const auto own =
            std::count_if(r.explain.begin(), r.explain.end(),
                          [](const std::string& l) { return l.starts_with("own session: "); });
        EXPECT_EQ(own, 2) << r.output();  // the shell and its ps
    }
}

// Damaged listings never crash, hang or read out of bounds (the sanitizer build runs this too).
TEST(Evaluate, SurvivesDamagedListings) {
    std::mt19937 rng(7);
    const std::string listing =
        "STAT   UID USER   PID  PPID    VSZ   RSS %CPU     ELAPSED     TIME COMMAND COMMAND\n"
        "Ss       0 root     1     0 167744 12960  0.0 12-04:10:33 00:00:09 systemd /sbin/init\n"
        "Ss    1001 mon   4242     1   2592  1720  0.0       00:00 00:00:00 sh      /bin/sh -c x\n"
        "varnok-procs-ticks 100\n1 (systemd) S 0 1 1 0 -1 0 0 0 0 0 700 230 0 0 20 0 1 0 5\n"
        "varnok-procs-end 0\n";
    // Two listings with the CPU time column, read as --interval 2 reads them.
    const std::string seed = "varnok-procs-os Linux\nvarnok-procs-pid 4242\n" + listing +
                             "varnok-procs-again\n" + listing;
    const char alphabet[] = " \t\n\r-:0123456789SZ\0\xff/";
    ProcsQuery query;
    query.verbose = query.json = true;
    query.filters = {{FilterKind::ArgsRegex, "s.*h"}, {FilterKind::User, "mon"}};
    query.interval = 2;
    query.metric = Metric::Cpu;
    ASSERT_EQ(evaluate(query, seed, ProcsSystem::Linux).status_line,
              "CPU OK: 0 processes with regex args 's.*h', UID = 1001 (mon)");
    for (int round = 0; round < 3000; ++round) {
        std::string text = seed;
        for (int edits = 1 + rng() % 8; edits > 0; --edits) {
            const size_t at = rng() % text.size();
            if (rng() % 3 == 0)
                text.insert(at, std::string(rng() % 300, alphabet[rng() % 20]));
            else if (rng() % 2 == 0)
                text.erase(at, rng() % 40);
            else
                text[at] = alphabet[rng() % 20];
        }
        const ProcsResult r = evaluate(query, text, ProcsSystem(rng() % 7));
        ASSERT_TRUE(r.status >= 0 && r.status <= 3);
        ASSERT_FALSE(r.status_line.empty());
    }
}

}  // namespace
