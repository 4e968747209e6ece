#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "settings/base64.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

struct CliRun {
    int status;
    std::string out;
};

// Runs the varnok binary through the shell; standard error is discarded unless asked for.
CliRun varnok(const std::string& args, const std::string& stdin_text = "",
              bool with_stderr = false) {
    // The dialog gets the offscreen platform only where a test asks for it.
    std::string command =
        std::string(args.rfind("gui", 0) == 0 && args.find("COL=16") != std::string::npos
                        ? "env QT_QPA_PLATFORM=offscreen "
                        : "env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY ") +
        "'" VARNOK_BINARY "' " + args + (with_stderr ? " 2>&1" : " 2>/dev/null");
    if (!stdin_text.empty()) command = "printf '%s' '" + stdin_text + "' | " + command;
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string bsd(const std::string& rule) {
    return "#USR=" + fx("VARNOK_SSH_USER") + "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
           "#PORT=" + fx("VARNOK_SSH_PORT_BSD") + "#OS=BSD#COL=5#PRO=sshd" + rule + "#";
}

TEST(VarnokCli, AnAddressNeedsNoNameServer) {
    // What the process sends to port 53, seen by strace; a name that needs DNS shows the method
    // sees such traffic at all.
    const std::string trace =
        std::string(::testing::TempDir()) + "varnok-dns-" + std::to_string(getpid());
    const auto dns_packets = [&trace](const std::string& host, const std::string& param) {
        const std::string cmd = "strace -f -qq -e trace=connect,sendto,sendmsg,sendmmsg -o '" +
                                trace + "' '" VARNOK_BINARY "' check --host '" + host +
                                "' --timeout 2 --param '" + param + "' > /dev/null 2>&1";
        (void)!std::system(cmd.c_str());
        std::ifstream in(trace);
        int n = 0;
        for (std::string line; std::getline(in, line);)
            n += line.find("htons(53)") != std::string::npos;
        std::remove(trace.c_str());
        return n;
    };
    const std::string closed_port = std::to_string(std::stoi(fx("VARNOK_SSH_PORT")) + 15);
    EXPECT_EQ(dns_packets("127.0.0.1", bsd("#SGN=LT#NUM=1")), 0);
    EXPECT_EQ(dns_packets("::1", "#USR=u#PWD=YQ==#PORT=" + closed_port + "#"), 0);
    EXPECT_GT(dns_packets("varnok-test.invalid", "#USR=u#PWD=YQ==#"), 0);
}

TEST(VarnokCli, AFailedCallPrintsTheErrorOnStandardErrorOnly) {
    const CliRun overflow = varnok("check --host h --param '#USR=u#PWD=YQ==#PORT=99999#'");
    EXPECT_EQ(overflow.status, 3);
    EXPECT_EQ(overflow.out, "");
    EXPECT_EQ(varnok("check --host h --param '#USR=u#PWD=YQ==#PORT=99999#'", "", true).out,
              "varnok: error 6: Overflow\n");
    EXPECT_EQ(varnok("check --host h --timeout soon --param '#USR=u#'", "", true).out,
              "varnok: error 13: Type mismatch\n");
    EXPECT_EQ(varnok("check --host h --param '#USR=u#PWD==#'", "", true).out,
              "varnok: error 5: Invalid procedure call or argument\n");
    EXPECT_EQ(varnok("check --host h", "", true).status, 3);  // no parameter string
}

TEST(VarnokCli, TheDialogsFailedCallsReachTheCommandLine) {
    // 380 for a list position that does not exist, before any window shows.
    const CliRun bad_column = varnok("gui --host h --param '#COL=16#'", "", true);
    EXPECT_EQ(bad_column.status, 3);
    EXPECT_NE(bad_column.out.find("varnok: error 380: Invalid property value\n"), std::string::npos)
        << bad_column.out;
    const CliRun no_display = varnok("gui --host h --param '#USR=u#'", "", true);
    EXPECT_EQ(no_display.status, 3);
    EXPECT_NE(no_display.out.find("varnok: error 5: No display can be opened"), std::string::npos)
        << no_display.out;
}

TEST(VarnokCli, ListsTheRemoteProcessesSorted) {
    const CliRun r = varnok("list --host 127.0.0.1 --timeout 5 --param '" + bsd("") + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "/sbin/devd\n/sbin/init --\n/usr/libexec/getty Pc ttyv0\n/usr/sbin/cron -s\n"
              "/usr/sbin/sshd\n/usr/sbin/syslogd -s\n[kernel]\nsshd: monitor@notty (sshd)\n");
}

TEST(VarnokCli, ChecksEveryHostOfAFileAndExitsWithTheWorstStatus) {
    const std::string file = "/tmp/varnok-hosts-" + std::to_string(getpid());
    {
        std::ofstream out(file);
        out << "# two names for the same server\n127.0.0.1\n\nlocalhost 5\n";
    }
    const CliRun ok =
        varnok("check --hosts " + file + " --jobs 2 --param '" + bsd("#SGN=LT#NUM=1") + "'");
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out,
              "127.0.0.1\tOK\t8 processes running and 2 with the name sshd\n"
              "localhost\tOK\t8 processes running and 2 with the name sshd\n");
    const CliRun critical =
        varnok("check --hosts " + file + " --format json --param '" + bsd("#SGN=LT#NUM=5") + "'");
    EXPECT_EQ(critical.status, 2);
    EXPECT_EQ(std::count(critical.out.begin(), critical.out.end(), '\n'), 2);
    EXPECT_NE(critical.out.find("\"host\":\"localhost\""), std::string::npos);
    { std::ofstream(file) << "# nothing but comments\n\n"; }
    EXPECT_EQ(varnok("check --hosts " + file + " --param '" + bsd("") + "'", "", true).out,
              "varnok: " + file + " names no host\n");
    std::remove(file.c_str());
}

int logins() {
    std::ifstream in(fx("VARNOK_SSH_LOGINS"));
    return static_cast<int>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
}

TEST(VarnokCli, RulesWithTheSameConnectionShareOneLoginAndGiveWhatEachGivesAlone) {
    const std::string connection = "#USR=" + fx("VARNOK_SSH_USER") +
                                   "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
                                   "#PORT=" + fx("VARNOK_SSH_PORT_COUNTED") + "#OS=BSD";
    const std::string rules[] = {"#COL=5#PRO=sshd#SGN=LT#NUM=1#",
                                 "#COL=5#PRO=cron#SGN=LT#NUM=2#INPL=T#",
                                 "#COL=5#PRO=/usr/sbin/sshd#FULL=T#SGN=AL#NUM=1#",
                                 "#COL=6#PRO=-s#SGN=LT#NUM=1#",
                                 "#COL=5#PRO=nothing#SGN=AL#NUM=1#EOL=CR#",
                                 "#COL=99999#"};
    std::string args;
    std::vector<std::string> alone;
    for (size_t i = 0; i < std::size(rules); ++i) {
        args += " --param '" + connection + rules[i] + "'";
        const CliRun one = varnok(
            "check --host 127.0.0.1 --timeout 5 --param '" + connection + rules[i] + "'", "", true);
        alone.push_back(one.out.substr(0, one.out.size() - 1));
    }
    const int before = logins();
    const CliRun all = varnok("check --host 127.0.0.1 --timeout 5" + args, "", true);
    EXPECT_EQ(logins() - before, 1);
    EXPECT_EQ(all.status, 3);  // the worst: the last rule's overflow
    EXPECT_EQ(all.out, "rule 1\tOK\t" + alone[0] + "\nrule 2\tCRITICAL\t" + alone[1] +
                           "\nrule 3\tCRITICAL\t" + alone[2] + "\nrule 4\tCRITICAL\t" + alone[3] +
                           "\nrule 5\tOK\t" + alone[4] + "\nrule 6\tUNKNOWN\terror 6: Overflow\n");
    EXPECT_EQ(alone[4], "0 processes running and 0 with the name nothing");  // split by its own EOL

    // A rule whose connection differs (WAIT) logs in on its own; one rule prints as it always did.
    const int mid = logins();
    const CliRun two = varnok("check --host 127.0.0.1 --timeout 5 --param '" + connection +
                              rules[0] + "' --param '" + connection + "#WAIT=T" + rules[0] + "'");
    EXPECT_EQ(logins() - mid, 2);
    EXPECT_EQ(two.out, "rule 1\tOK\t" + alone[0] + "\nrule 2\tOK\t" + alone[0] + "\n");
}

TEST(VarnokCli, SpeaksThePluginConventions) {
    const std::string sshd = bsd("#SGN=LT#NUM=1");
    const std::string closed = std::to_string(std::stoi(fx("VARNOK_SSH_PORT")) + 15);
    const struct {
        std::string args;
        int status;
        std::string out;
        std::string stdin_text = "";
    } cases[] = {
        {"--host 127.0.0.1 --timeout 5 --param '" + sshd + "'", 0,
         "8 processes running and 2 with the name sshd\n"},
        {"--host 127.0.0.1 --timeout 5 --param-file -", 2,
         "8 processes running and 2 with the name sshd\n", bsd("#SGN=LT#NUM=3") + "\n"},
        {"--host 127.0.0.1 --param '#PWD=YQ==#'", 3,
         "ERR: can't connect to an SSH server without a USERNAME\n"},
        {"--host 127.0.0.1 --param '#USR=u#PWD=YQ==#PORT=" + closed + "#'", 3,
         "Cannot connect to '127.0.0.1' port " + closed + ": Connection refused\n"},
        {"--format nagios --host 127.0.0.1 --param '" + bsd("#SGN=AL#NUM=2") + "'", 2,
         "PROCS CRITICAL: 8 processes running and 2 with the name sshd | procs=8;;;0 "
         "matches=2;;~:1;0\n"},
        {"-H 127.0.0.1 -t 5 --format nagios -w 3:5 -c 1: --param '" + sshd + "'", 1,
         "PROCS WARNING: 8 processes running and 2 with the name sshd | procs=8;;;0 "
         "matches=2;3:5;1:;0\n"},
        {"--hostname 127.0.0.1 -t 5 --format nagios -w 1:3 -c @2 --param '" + sshd + "'", 2,
         "PROCS CRITICAL: 8 processes running and 2 with the name sshd | procs=8;;;0 "
         "matches=2;1:3;@2;0\n"},
        {"-H 127.0.0.1 -t 5 --format nagios -w 1:3 --param '" + bsd("#SGN=AL#NUM=1") + "'", 0,
         "PROCS OK: 8 processes running and 2 with the name sshd | procs=8;;;0 matches=2;1:3;;0\n"},
        {"-H 127.0.0.1 --format nagios -c 3:1 --param '" + sshd + "'", 3,
         "PROCS UNKNOWN: the range '3:1' is not [@][start:][end] with start <= end (e.g. 1:3, 2:, "
         "~:5, @0:1)\n"},
        {"-H 127.0.0.1 --format nagios --param-file /nonexistent/x.param", 3,
         "PROCS UNKNOWN: cannot read /nonexistent/x.param: No such file or directory\n"},
        {"-H 127.0.0.1 --format nagios", 3, "PROCS UNKNOWN: --param or --param-file is required\n"},
        {"--host 127.0.0.1 --format nagios --param '#USR=u#PWD=YQ==#PORT=99999#'", 3,
         "PROCS UNKNOWN: error 6: Overflow\n"},
    };
    for (const auto& c : cases) {
        const CliRun r = varnok("check " + c.args, c.stdin_text);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
    EXPECT_EQ(varnok("-V").out, varnok("--version").out);
    EXPECT_EQ(varnok("-V").out.rfind("varnok 2.0.0.", 0), 0u);
}

TEST(VarnokCli, WritesPassiveResultsIntoAnEnginesCommandPipe) {
    const std::string fifo =
        std::string(::testing::TempDir()) + "varnok-cmd-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread engine([&] {
        std::ifstream in(fifo);
        received.assign(std::istreambuf_iterator<char>(in), {});
    });
    const CliRun r = varnok(
        "check --host 127.0.0.1 -t 5 --param '" + bsd("#SGN=LT#NUM=1") +
            "' --param-file - --passive " + fifo,
        "#USR=" + fx("VARNOK_SSH_USER") + "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
            "#PORT=" + fx("VARNOK_SSH_PORT_BSD") + "#OS=BSD#COL=5#PRO=cron#SGN=LT#NUM=2#");
    engine.join();
    EXPECT_EQ(r.status, 2);
    const std::regex line(
        R"(\[\d+\] PROCESS_SERVICE_CHECK_RESULT;127\.0\.0\.1;rule 1;0;PROCS OK: 8 processes running and 2 with )"
        R"(the name sshd \| procs=8;;;0 matches=2;;1:;0\n\[\d+\] PROCESS_SERVICE_CHECK_RESULT;127\.0\.0\.1;rule 2;2;)"
        R"(PROCS CRITICAL: 8 processes running and 1 with the name cron \| procs=8;;;0 matches=1;;2:;0\n)");
    EXPECT_TRUE(std::regex_match(received, line)) << received;
    // No engine reads the pipe: the run gives up at its time limit and says so.
    const CliRun unread =
        varnok("check --host 127.0.0.1 -t 1 --param '" + bsd("") + "' --passive " + fifo, "", true);
    EXPECT_EQ(unread.status, 3);
    EXPECT_NE(unread.out.find("varnok: passive results not delivered: cannot open " + fifo),
              std::string::npos)
        << unread.out;
    std::remove(fifo.c_str());
}

TEST(VarnokCli, PinsHostKeysOnFirstUse) {
    const std::string dir =
        std::string(::testing::TempDir()) + "varnok-kh-" + std::to_string(getpid());
    const std::string file = dir + "/ssh/known_hosts";
    const std::string check =
        "check --host 127.0.0.1 -t 5 --param '" + bsd("#SGN=LT#NUM=1") + "' --known-hosts ";
    const std::string ok = "8 processes running and 2 with the name sshd\n";
    const std::string where = "'127.0.0.1' port " + fx("VARNOK_SSH_PORT_BSD");

    EXPECT_EQ(varnok(check + file + " --host-key-check no").out, ok);  // records nothing
    EXPECT_FALSE(std::filesystem::exists(file));
    const CliRun unknown = varnok(check + file + " --host-key-check yes");
    EXPECT_EQ(unknown.status, 3);
    EXPECT_EQ(unknown.out.rfind("The host key of " + where + " (ssh-ed25519 SHA256:", 0), 0u)
        << unknown.out;
    EXPECT_NE(unknown.out.find(") is not recorded in " + file +
                               ": record it with a first run with --host-key-check "
                               "accept-new, or with ssh-keyscan -p " +
                               fx("VARNOK_SSH_PORT_BSD") + " 127.0.0.1 >> " + file),
              std::string::npos)
        << unknown.out;

    EXPECT_EQ(varnok(check + file).out,
              ok);  // accept-new by default: recorded, folder and file private
    EXPECT_EQ(std::filesystem::status(dir + "/ssh").permissions(),
              std::filesystem::perms::owner_all);
    EXPECT_EQ(std::filesystem::status(file).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(varnok(check + file + " --host-key-check yes").out, ok);

    {  // another key recorded for the host, on line 2
        std::ofstream kh(file, std::ios::trunc);
        kh << "# pinned\n[127.0.0.1]:" << fx("VARNOK_SSH_PORT_BSD")
           << " ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBtJmQ3pPOyYDiOQ6gmE0YEDcHR3a8oR4JhZzDO3hu1n\n";
    }
    for (const char* mode : {"yes", "accept-new", "no"}) {
        const CliRun changed = varnok(check + file + " --format nagios --host-key-check " + mode);
        EXPECT_EQ(changed.status, 3);
        EXPECT_EQ(
            changed.out.rfind(
                "PROCS UNKNOWN: The host key of " + where + " has changed (ssh-ed25519 SHA256:", 0),
            0u)
            << changed.out;
        EXPECT_NE(changed.out.find("it does not match the key recorded in " + file +
                                   " line 2, so the connection was refused"),
                  std::string::npos)
            << changed.out;
    }

    const CliRun list = varnok(
        "list --host 127.0.0.1 -t 5 --param '" + bsd("") + "' --known-hosts " + file, "", true);
    EXPECT_EQ(list.status, 3);  // the listing follows the same options
    EXPECT_NE(list.out.find("has changed"), std::string::npos) << list.out;

    // A file that cannot be written is a warning; the check still runs.
    const CliRun unwritable = varnok(check + "/dev/null/known_hosts", "", true);
    EXPECT_EQ(unwritable.status, 0);
    EXPECT_NE(unwritable.out.find("varnok: warning: the host key of " + where +
                                  " could not be recorded in "
                                  "/dev/null/known_hosts"),
              std::string::npos)
        << unwritable.out;
    EXPECT_NE(unwritable.out.find(ok), std::string::npos);
    std::filesystem::remove_all(dir);
}

TEST(VarnokCli, ComposesAndShowsParameterStrings) {
    const CliRun composed = varnok(
        "param --user mon --password-stdin --os SOLARIS --process sshd --rule AL", "s3cret\n");
    EXPECT_EQ(composed.status, 0);
    EXPECT_EQ(composed.out,
              "#ENC=T#USR=mon#PWD=czNjcmV0#PROTO=A#PORT=22#KEYF=#KEYT=RSA#OS=SOLARIS#COL=8"
              "#PRO=sshd#SGN=AL#NUM=1#EOL=LF#FULL=N#WAIT=F#INPL=F#\n");
    const CliRun shown = varnok("param --show -", composed.out);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out.find("s3cret"), std::string::npos);
    EXPECT_NE(shown.out.find("system            SOLARIS\n"), std::string::npos);
    EXPECT_EQ(varnok("param --os WINDOWS").status, 3);
}

}  // namespace
}  // namespace varnok::testing
