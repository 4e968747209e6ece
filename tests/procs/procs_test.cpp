// SPDX-License-Identifier: Apache-2.0
// The recorded listings in tests/data/procs/ are what the commands of procs/system.cpp print on
// each system, markers included; tests/data/procs/README.md says where each format comes from.
#include "procs/procs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

using namespace varnok::procs;
using Args = std::vector<std::string>;

std::string data(const std::string& name) {
    std::ifstream in(std::string(VARNOK_PROCS_DATA) + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// check_procs's options as the command line passes them on, separated by "|".
ProcsQuery query(const std::string& options) {
    static const std::map<std::string, FilterKind> kinds = {
        {"-s", FilterKind::State},   {"-p", FilterKind::Ppid},
        {"-u", FilterKind::User},    {"-r", FilterKind::Rss},
        {"-z", FilterKind::Vsz},     {"-P", FilterKind::Pcpu},
        {"-a", FilterKind::Args},    {"-C", FilterKind::Command},
        {"-X", FilterKind::Exclude}, {"--ereg-argument-array", FilterKind::ArgsRegex}};
    Args args;
    std::istringstream in(options);
    for (std::string arg; std::getline(in, arg, '|');) args.push_back(arg);
    ProcsQuery q;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (kinds.count(a)) q.filters.push_back({kinds.at(a), args[++i]});
        if (a == "-k") q.filters.push_back({FilterKind::NoKernelThreads, ""});
        if (a == "-m") q.metric = *metric_from_name(args[++i]);
        if (a == "-w") q.warning = varnok::parse_range(args[++i]);
        if (a == "-c") q.critical = varnok::parse_range(args[++i]);
        if (a == "--interval") q.interval = std::stoi(args[++i]);
        q.verbose = q.verbose || a == "-v";
        q.json = q.json || a == "--json";
    }
    return q;
}

// One check: the listing of tests/data/procs/FILE.txt, the options separated by "|", the first
// line of the plugin output. Every other case names its system, the others leave it to uname -s.
struct Case {
    std::string file;
    std::string args;
    std::string line;
};

ProcsResult run(const Case& c, size_t index) {
    const ProcsSystem system = index % 2 ? *system_from_name(c.file) : ProcsSystem::Auto;
    return evaluate(query(c.args), data(c.file + ".txt"), system);
}

TEST(Evaluate, AppliesEveryFilterAndMetricAsCheckProcsDoes) {
    const std::vector<Case> cases = {
        {"linux", "", "PROCS OK: 13 processes | procs=13;;;0;"},
        {"linux", "-w|1:3|-C|sshd",
         "PROCS OK: 1 process with command name 'sshd' | procs=1;1:3;;0;"},
        {"linux", "-C|Web Content",
         "PROCS OK: 1 process with command name 'Web Content' | procs=1;;;0;"},
        {"linux", "-u|alice|-c|1:2",
         "PROCS CRITICAL: 3 processes with UID = 1000 (alice) | procs=3;;1:2;0;"},
        {"linux", "-u|1002",
         "PROCS OK: 1 process with UID = 1002 (verylongusername12345) | procs=1;;;0;"},
        {"linux", "-s|Ss", "PROCS OK: 6 processes with STATE = Ss | procs=6;;;0;"},
        {"linux", "-s|SR", "PROCS OK: 0 processes with STATE = SR | procs=0;;;0;"},
        {"linux", "-p|2|-k", "PROCS OK: 0 processes with PPID = 2 | procs=0;;;0;"},
        {"linux", "-k|-w|@11", "PROCS WARNING: 11 processes | procs=11;@11;;0;"},
        {"linux", "-r|100000|-z|200000",
         "PROCS OK: 1 process with RSS >= 100000, VSZ >= 200000 | procs=1;;;0;"},
        {"linux", "-P|12.5", "PROCS OK: 2 processes with PCPU >= 12.50 | procs=2;;;0;"},
        {"linux", "-a|postgresql|-w|~:0",
         "PROCS WARNING: 1 process with args 'postgresql' | procs=1;~:0;;0;"},
        {"linux", "--ereg-argument-array|^sshd: .*listener",
         "PROCS OK: 1 process with regex args '^sshd: .*listener' | procs=1;;;0;"},
        {"linux", "-X|sshd,postgres,kthreadd",
         "PROCS OK: 9 processes with exclude progs 'sshd,postgres,kthreadd' | procs=9;;;0;"},
        {"linux", "-m|ELAPSED|-w|3600|-c|86400",
         "ELAPSED CRITICAL: 8 crit, 2 warn out of 13 processes | procs=13;;;0; procs_warn=2;;;0; "
         "procs_crit=8;;;0;"},
        {"linux", "-m|CPU|-w|50|-v",
         "CPU WARNING: 1 warn out of 13 processes [busy loop] | procs=13;;;0; procs_warn=1;;;0; "
         "procs_crit=0;;;0;"},
        {"linux", "-m|RSS|-c|401236",
         "RSS OK: 13 processes | procs=13;;;0; procs_warn=0;;;0; procs_crit=0;;;0;"},
        {"bsd", "-C|nginx|-w|2:2",
         "PROCS WARNING: 3 processes with command name 'nginx' | procs=3;2:2;;0;"},
        {"bsd", "-u|www|-P|30",
         "PROCS OK: 1 process with UID = 80 (www), PCPU >= 30.00 | procs=1;;;0;"},
        {"bsd", "-p|812|-r|13600",
         "PROCS OK: 1 process with PPID = 812, RSS >= 13600 | procs=1;;;0;"},
        {"bsd", "-s|T|-a|notes", "PROCS OK: 1 process with STATE = T, args 'notes' | procs=1;;;0;"},
        {"bsd", "-m|ELAPSED|-w|86400",
         "ELAPSED WARNING: 9 warn out of 12 processes | procs=12;;;0; procs_warn=9;;;0; "
         "procs_crit=0;;;0;"},
        {"solaris", "-C|sshd", "PROCS OK: 1 process with command name 'sshd' | procs=1;;;0;"},
        {"solaris", "-u|60001", "PROCS OK: 1 process with UID = 60001 | procs=1;;;0;"},
        {"solaris", "-u|webservd|-a|catalina",
         "PROCS OK: 1 process with UID = 80 (webservd), args 'catalina' | procs=1;;;0;"},
        {"solaris", "-C|<defunct>|-s|Z|-z|0",
         "PROCS OK: 1 process with command name '<defunct>', STATE = Z, VSZ >= 0 | procs=1;;;0;"},
        {"solaris", "-m|RSS|-c|100000",
         "RSS CRITICAL: 1 crit, 0 warn out of 8 processes | procs=8;;;0; procs_warn=0;;;0; "
         "procs_crit=1;;;0;"},
        {"aix", "-C|sshd|-s|A",
         "PROCS OK: 1 process with command name 'sshd', STATE = A | procs=1;;;0;"},
        {"aix", "-s|Z|-P|0", "PROCS OK: 1 process with STATE = Z, PCPU >= 0.00 | procs=1;;;0;"},
        {"aix", "-s|Z", "PROCS OK: 1 process with STATE = Z | procs=1;;;0;"},
        {"aix", "-u|+oracle|-C|oracle",
         "PROCS OK: 1 process with UID = 400 (oracle), command name 'oracle' | procs=1;;;0;"},
        {"aix", "-u|400", "PROCS OK: 1 process with UID = 400 (oracle) | procs=1;;;0;"},
        {"aix", "-r|60000", "PROCS OK: 2 processes with RSS >= 60000 | procs=2;;;0;"},
        {"aix", "-m|RSS|-w|1000000",
         "RSS WARNING: 1 warn out of 7 processes | procs=7;;;0; procs_warn=1;;;0; "
         "procs_crit=0;;;0;"},
        {"aix", "-u|wasadmin|-m|VSZ|-w|1000000",
         "VSZ WARNING: 1 warn out of 1 process with UID = 210 (wasadmin) | procs=1;;;0; "
         "procs_warn=1;;;0; procs_crit=0;;;0;"},
        {"hpux", "-C|ora_pmon_PRODD",
         "PROCS OK: 1 process with command name 'ora_pmon_PRODD' | procs=1;;;0;"},
        {"hpux", "-u|oracle|-P|1|-z|126488",
         "PROCS OK: 1 process with UID = 400 (oracle), PCPU >= 1.00, VSZ >= 126488 | procs=1;;;0;"},
        {"hpux", "-m|CPU|-w|3|-c|3.5",
         "CPU WARNING: 1 warn out of 8 processes | procs=8;;;0; procs_warn=1;;;0; "
         "procs_crit=0;;;0;"},
        {"cygwin", "-C|sshd", "PROCS OK: 1 process with command name 'sshd' | procs=1;;;0;"},
        {"cygwin", "-u|18|-C|svchost.exe",
         "PROCS OK: 1 process with UID = 18, command name 'svchost.exe' | procs=1;;;0;"},
        {"cygwin", "-p|980|-X|vim",
         "PROCS OK: 1 process with PPID = 980, exclude progs 'vim' | procs=1;;;0;"},
        {"cygwin", "-C|firefox.exe|-m|PROCS|-c|2:",
         "PROCS CRITICAL: 1 process with command name 'firefox.exe' | procs=1;;2:;0;"},
    };
    const std::map<std::string, int> codes = {{"OK", 0}, {"WARNING", 1}, {"CRITICAL", 2}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const ProcsResult r = run(cases[i], i);
        const std::string& line = cases[i].line;
        EXPECT_EQ(r.output().substr(0, r.output().find('\n')), line) << cases[i].file;
        const std::string word = line.substr(line.find(' ') + 1);
        EXPECT_EQ(r.status, codes.at(word.substr(0, word.find(':')))) << line;
    }
}

// A ps prints a user's id where the name does not fit what is left of its column: -u NAME counts
// such a row too, though it comes before any row that shows the name.
TEST(Evaluate, UserNameCountsTheRowsThatShowItsId) {
    std::string listing = data("linux.txt");
    listing.insert(listing.find("Ss       0 root"),
                   "S<sl+ 1000 1000                              2300     1   5900  1904  0.0   "
                   "    01:05 sleep           sleep 3600\n");
    EXPECT_EQ(evaluate(query("-u|alice"), listing, ProcsSystem::Linux).status_line,
              "PROCS OK: 4 processes with UID = 1000 (alice)");
}

TEST(Evaluate, RefusesWhatTheSystemCannotAnswerAndInvalidValues) {
    const std::vector<Case> cases = {
        {"hpux", "-r|10",
         "-r (RSS) cannot be answered on HP-UX: its ps shows no resident set size"},
        {"hpux", "-m|RSS|-w|1",
         "-m RSS cannot be answered on HP-UX: its ps shows no resident set size"},
        {"bsd", "-k", "-k (no kernel threads) works on Linux only"},
        {"cygwin", "-u|root",
         "-u root cannot be answered on Cygwin: its ps shows numeric user ids only"},
        {"cygwin", "-s|S",
         "-s (state) cannot be answered on Cygwin: its ps shows no process state"},
        {"cygwin", "-z|1", "-z (VSZ) cannot be answered on Cygwin: its ps shows no virtual size"},
        {"cygwin", "-P|1", "-P (PCPU) cannot be answered on Cygwin: its ps shows no %CPU"},
        {"cygwin", "-a|x",
         "-a (args) cannot be answered on Cygwin: its ps shows the program's path and no "
         "arguments"},
        {"cygwin", "-m|ELAPSED",
         "-m ELAPSED cannot be answered on Cygwin: its ps shows no elapsed time"},
        {"hpux", "-m|THREADS|-w|100",
         "-m THREADS cannot be answered on HP-UX: its ps shows no thread count"},
        {"cygwin", "--interval|3",
         "--interval cannot be answered on Cygwin: its ps shows no CPU time"},
        {"cygwin", "-m|THREADS",
         "-m THREADS cannot be answered on Cygwin: its ps shows no thread count"},
        {"linux", "-p|one", "Parent Process ID must be an integer!"},
        {"linux", "-z|1.5", "VSZ must be an integer!"},
        {"linux", "-r|x", "RSS must be an integer!"},
        {"linux", "-P|much", "PCPU must be a float!"},
        {"linux", "--ereg-argument-array|(",
         "Could not compile regular expression - Unmatched ( or \\("},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const ProcsResult r = run(cases[i], i);
        EXPECT_EQ(r.output(), "PROCS UNKNOWN: " + cases[i].line + "\n");
        EXPECT_EQ(r.status, 3);
    }
}

TEST(Evaluate, UnusableOutputIsUnknownWithItsReason) {
    const std::string start = "varnok-procs-os Linux\nvarnok-procs-pid 7\n";
    const std::string header = "STAT   UID USER   PID  PPID    VSZ   RSS %CPU     ELAPSED COMMAND";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {start + header, "the listing ended before its end mark: the output was cut short"},
        {start + "ps: unknown option -- w\nvarnok-procs-end 1\n",
         "the listing command failed with exit status 1: ps: unknown option -- w"},
        {start + header + "\nvarnok-procs-end 0\n", "Unable to read output: " + header},
        {"varnok-procs-os IRIX64\nvarnok-procs-unsupported\nvarnok-procs-end 1\n",
         "no process listing is known for the system 'IRIX64' (uname -s)"},
        {"Permission denied\n", "the remote command printed no system name: Permission denied"},
    };
    for (const auto& [output, text] : cases)
        EXPECT_EQ(evaluate({}, output, ProcsSystem::Auto).status_line, "PROCS UNKNOWN: " + text);
    EXPECT_EQ(
        evaluate({}, data("linux.txt"), ProcsSystem::Solaris).status_line,
        "PROCS UNKNOWN: the host runs Linux (uname -s), not Solaris: choose its system or auto");
}

TEST(Evaluate, WarnsWhereACutTextDecidesTheCount) {
    const std::vector<std::pair<Case, Args>> cases = {
        {{"linux", "-C|R-rcu_g", ""},
         {"warning: counted pid 4 (R-rcu_g) may be cut: command name at 15 characters"}},
        {{"linux", "-u|root", ""}, {}},
        {{"hpux", "-C|ora_pmon_PRODDB", ""},
         {"warning: HP-UX keeps 14 characters of a command name: -C 'ora_pmon_PRODDB' matches no "
          "process there",
          "warning: 1 process left out by command name 'ora_pmon_PRODDB' may be cut before the "
          "part that would match"}},
        {{"solaris", "-a|Bootstrap", ""},
         {"warning: 1 process left out by args 'Bootstrap' may be cut before the part that would "
          "match"}},
        {{"aix", "-a|java", ""},
         {"warning: counted pid 262300 (java) may be cut: line at 8191 characters"}},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(run(cases[i].first, i).warnings, cases[i].second);
}

TEST(Evaluate, ExplainsEveryLine) {
    const ProcsResult r = run({"solaris", "-C|sshd|-v", ""}, 1);
    std::istringstream listing(data("solaris.txt"));
    std::vector<std::string> labels;
    for (std::string raw; std::getline(listing, raw);) {
        if (raw.starts_with("varnok-procs-")) continue;
        const std::string& line = r.explain.at(labels.size());
        ASSERT_TRUE(line.ends_with(": " + raw)) << line;
        labels.push_back(line.substr(0, line.size() - raw.size() - 2));
    }
    const std::string out = "left out by command name 'sshd'", own = "own session",
                      cut = " (may be cut: arguments at 79 characters)";
    const Args expected = {"header", out, out, out, "counted", out,      out + cut,
                           out,      out, own, own, own + cut, own + cut};
    EXPECT_EQ(labels, expected);
    EXPECT_EQ(r.explain.back(),
              "totals: 1 counted; 7 left out by command name 'sshd'; 4 own session; 1 header; 0 "
              "unparsed; 13 lines");
}

// tests/data/procs/interval/: each system's two listings of one --interval 4 run, emulated with
// its ps's time format: busy used 2 s of CPU in between (50 %), cruncher none (though ps's
// lifetime %CPU says 40), pid 300 was taken over by a new worker that used 1 s (25 %), a job
// ended and another began.
TEST(Evaluate, IntervalReadsTheCpuUsedBetweenTheListings) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--interval|4|-m|CPU|-w|40|-v",
         "CPU WARNING: 1 warn out of 5 processes [busy] | procs=5;;;0; procs_warn=1;;;0; "
         "procs_crit=0;;;0;"},
        {"--interval|4|-P|20", "PROCS OK: 2 processes with PCPU >= 20.00 | procs=2;;;0;"},
    };
    for (const std::string system : {"linux", "bsd", "solaris", "aix", "hpux"}) {
        const std::string listing = data("interval/" + system + ".txt");
        for (const auto& [args, line] : cases) {
            const ProcsResult r = evaluate(query(args), listing, ProcsSystem::Auto);
            EXPECT_EQ(r.output().substr(0, r.output().find('\n')), line) << system << " " << args;
        }
    }
    const ProcsResult r =
        evaluate(query("--interval|4|-v"), data("interval/linux.txt"), ProcsSystem::Linux);
    const auto label = [&r](const std::string& name) {
        for (const std::string& line : r.explain)
            if (line.find(" " + name + " ") != std::string::npos)
                return line.substr(0, line.find(':'));
        return std::string();
    };
    EXPECT_EQ(label("busy"), "counted (interval CPU 50.00; ps %CPU 0.60)");
    EXPECT_EQ(label("cruncher"), "counted (interval CPU 0.00; ps %CPU 39.90)");
    EXPECT_EQ(label("worker"),
              "counted (interval CPU 25.00, started in the interval; ps %CPU 50.00)");
    EXPECT_TRUE(r.explain.back().ends_with("; 2 processes ended during the 4 s interval"))
        << r.explain.back();
    const std::string first =
        data("interval/linux.txt").substr(0, data("interval/linux.txt").find("varnok-procs-again"));
    EXPECT_EQ(evaluate(query("--interval|4"), first, ProcsSystem::Linux).status_line,
              "PROCS UNKNOWN: the second listing never began: the output was cut short");
}

TEST(Evaluate, JsonCarriesTheCountedProcesses) {
    const auto j = nlohmann::json::parse(run({"linux", "-C|postgres|--json", ""}, 0).json);
    EXPECT_EQ(j["status"], "OK");
    EXPECT_EQ(j["count"], 2);
    EXPECT_EQ(j["total"], 13);
    EXPECT_EQ(j["processes"][1]["args"], "postgres: 15/main: checkpointer");
    EXPECT_EQ(j["processes"][0]["elapsed"], 3 * 86400 + 3723);
    EXPECT_EQ(
        nlohmann::json::parse(run({"linux", "-P|x|--json", ""}, 0).json),
        nlohmann::json::parse(
            R"({"status":"UNKNOWN","exit":3,"text":"PROCS UNKNOWN: PCPU must be a float!"})"));
}

}  // namespace
