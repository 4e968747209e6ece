// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#include "settings/base64.h"
#include "tests/app/varnok_run.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {
namespace {

namespace fs = std::filesystem;

// A parameter string for the fixture's BSD listing on the server at port_key.
std::string on(const std::string& port_key, const std::string& fields) {
    return "#USR=" + fx("VARNOK_SSH_USER") + "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")) +
           "#PORT=" + fx(port_key) + "#OS=BSD" + fields + "#";
}
std::string bsd(const std::string& rule) {
    return on("VARNOK_SSH_PORT_BSD", "#COL=5#PRO=sshd" + rule);
}
std::string scratch(const std::string& name) {
    return std::string(::testing::TempDir()) + "varnok-" + name + "-" + std::to_string(getpid());
}

const std::string kSshd = "8 processes running and 2 with the name sshd";
const std::string kSshdLine = "PROCS OK: " + kSshd + " | procs=8;;;0 matches=2;;1:;0\n";

TEST(VarnokCli, SpeaksThePluginConventionsAndSaysWhatFailed) {
    const std::string h = "check -H 127.0.0.1 -t 20 ", nagios = h + "--format nagios ";
    const std::string sshd = " --param '" + bsd("#SGN=LT#NUM=1") + "'";
    const std::string overflow = " --param '#USR=u#PWD=YQ==#PORT=99999#'";
    const std::string perf = kSshd + " | procs=8;;;0 matches=2;";
    const struct {
        std::string args;
        int status;
        std::string out;
        std::string err = "";  // a part of standard error; none at all when empty
        std::string stdin_text = "";
        std::string env = "";
    } cases[] = {
        {h + sshd, 0, kSshd + "\n"},
        {h + "--param-file -", 2, kSshd + "\n", "", bsd("#SGN=LT#NUM=3") + "\n"},
        {h + "--param '#PWD=YQ==#'", 3, "ERR: can't connect to an SSH server without a USERNAME\n"},
        {nagios + sshd, 0, kSshdLine},
        {nagios + "-v" + sshd, 0,
         kSshdLine + "not counted: [kernel]\nnot counted: /sbin/init --\nnot counted: /sbin/devd\n"
                     "not counted: /usr/sbin/syslogd -s\ncounted: /usr/sbin/sshd\n"
                     "not counted: /usr/sbin/cron -s\nnot counted: /usr/libexec/getty Pc ttyv0\n"
                     "counted: sshd: monitor@notty (sshd)\n"
                     "totals: 2 counted; 6 not counted; 8 entries\n"},
        {nagios + "--param '" + bsd("#SGN=AL#NUM=2") + "'", 2,
         "PROCS CRITICAL: " + perf + ";~:1;0\n"},
        {nagios + "-w 3:5 -c 1:" + sshd, 1, "PROCS WARNING: " + perf + "3:5;1:;0\n"},
        {nagios + "-w 1:3 --param '" + bsd("#SGN=AL#NUM=1") + "'", 0,
         "PROCS OK: " + perf + "1:3;;0\n"},
        {nagios + "-c 3:1" + sshd, 3,
         "PROCS UNKNOWN: the range '3:1' is not [@][start:][end] with start <= end (e.g. 1:3, 2:, "
         "~:5, @0:1)\n"},
        {nagios + "--param-file /nonexistent/x.param", 3,
         "PROCS UNKNOWN: cannot read /nonexistent/x.param: No such file or directory\n"},
        {nagios, 3, "PROCS UNKNOWN: --param or --param-file is required\n"},
        {nagios + overflow, 3, "PROCS UNKNOWN: error 6: Overflow\n"},
        {h + "--format json" + sshd, 0,
         R"({"host":"127.0.0.1","matches":2,"passed":true,"processes":8,"result":")" + kSshd +
             R"(","status":"OK"})" + "\n"},
        {h + "--format json" + overflow, 3,
         R"({"error":{"description":"Overflow","number":6},"host":"127.0.0.1","passed":false,)"
         R"("status":"UNKNOWN"})"
         "\n"},
        {h + overflow, 3, "", "varnok: error 6: Overflow\n"},
        {"list -H 127.0.0.1 -t 20 --param '" + bsd("") + "'", 0,
         "/sbin/devd\n/sbin/init --\n/usr/libexec/getty Pc ttyv0\n/usr/sbin/cron -s\n"
         "/usr/sbin/sshd\n/usr/sbin/syslogd -s\n[kernel]\nsshd: monitor@notty (sshd)\n"},
        {"check --hosts - --jobs 2" + sshd, 0,
         "127.0.0.1\tOK\t" + kSshd + "\nlocalhost\tOK\t" + kSshd + "\n", "",
         "# two names for the same server\n127.0.0.1\n\nlocalhost 5\n"},
        {"check --hosts - --param '" + bsd("#SGN=LT#NUM=5") + "'", 2,
         "127.0.0.1\tCRITICAL\t" + kSshd + "\nlocalhost\tCRITICAL\t" + kSshd + "\n", "",
         "127.0.0.1\nlocalhost"},
        {"check --hosts /dev/null" + sshd, 3, "", "varnok: /dev/null names no host\n"},
        // 380 for a list position that does not exist, before any window shows.
        {"gui -H h --param '#COL=16#'", 3, "", "varnok: error 380: Invalid property value\n", "",
         "QT_QPA_PLATFORM=offscreen"},
        {"gui -H h --param '#USR=u#'", 3, "", "varnok: error 5: No display can be opened"},
        {"param --user mon --password-stdin --os SOLARIS --process sshd --rule AL", 0,
         "#ENC=T#USR=mon#PWD=czNjcmV0#PROTO=A#PORT=22#KEYF=#KEYT=RSA#OS=SOLARIS#COL=8#PRO=sshd#"
         "SGN=AL#NUM=1#EOL=LF#FULL=N#WAIT=F#INPL=F#\n",
         "", "s3cret\n"},
        {"param --show -", 0,
         "user              mon\npassword          ******** (6 bytes)\nprotocol          \n"
         "port              0 (22)\nkey file          \nkey type          \nsystem            AIX\n"
         "column            0\nprocess           \nrule              alert when at least 2\n"
         "exact match       no\nend of line       (LF)\nwait command      no\n"
         "list matches      no\ndebug log         no\n",
         "", "#USR=mon#PWD=c2VjcmV0#OS=AIX#SGN=AL#NUM=2#\n"},
        {"param --show '#COL=40000#'", 3, "", "varnok: error 6: Overflow\n"},
        {"param --os WINDOWS", 3, "", "--os: WINDOWS not in {LINUX,BSD,SOLARIS,HPUX,AIX,"},
    };
    for (const auto& c : cases) {
        if (!VARNOK_GUI_BUILT && c.args.starts_with("gui")) continue;  // no window module to load
        const CliRun r = varnok(c.args, c.stdin_text, c.env);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_TRUE(c.err.empty() ? r.err.empty() : contains(r.err, c.err)) << c.args << r.err;
    }
}

TEST(VarnokCli, RulesWithTheSameConnectionShareOneLoginAndGiveWhatEachGivesAlone) {
    const std::string port = "VARNOK_SSH_PORT_COUNTED", h = "check --host 127.0.0.1 --timeout 20";
    const auto logins = [] {
        std::ifstream in(fx("VARNOK_SSH_LOGINS"));
        return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
    };
    const std::string rules[] = {
        on(port, "#COL=5#PRO=sshd#SGN=LT#NUM=1"), on(port, "#COL=5#PRO=cron#SGN=LT#NUM=2#INPL=T"),
        on(port, "#COL=6#PRO=-s#SGN=LT#NUM=1"), on(port, "#COL=5#PRO=nothing#SGN=AL#NUM=1#EOL=CR"),
        on(port, "#COL=99999")};
    std::string args;
    std::vector<std::string> alone;
    for (const std::string& rule : rules) {
        args += " --param '" + rule + "'";
        const CliRun one = varnok(h + " --param '" + rule + "'");
        alone.push_back(one.out.substr(0, one.out.size() - 1));
    }
    const int before = logins();
    const CliRun all = varnok(h + args);
    EXPECT_EQ(logins() - before, 1);
    EXPECT_EQ(all.status, 3);  // the worst: the last rule's overflow
    EXPECT_EQ(all.out, "rule 1\tOK\t" + alone[0] + "\nrule 2\tCRITICAL\t" + alone[1] +
                           "\nrule 3\tCRITICAL\t" + alone[2] + "\nrule 4\tOK\t" + alone[3] +
                           "\nrule 5\tUNKNOWN\terror 6: Overflow\n");
    EXPECT_EQ(alone[3], "0 processes running and 0 with the name nothing");  // split by its own EOL
}

TEST(VarnokCli, WritesPassiveResultsIntoAnEnginesCommandPipe) {
    const std::string fifo = scratch("cmd");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread engine([&] {
        std::ifstream in(fifo);
        received.assign(std::istreambuf_iterator<char>(in), {});
    });
    const CliRun r =
        varnok("check --host 127.0.0.1 -t 20 --format nagios --param '" + bsd("#SGN=LT#NUM=1") +
                   "' --param-file - --passive " + fifo + " --passive-host db01",
               on("VARNOK_SSH_PORT_BSD", "#COL=5#PRO=cron#SGN=LT#NUM=2"));
    engine.join();
    EXPECT_EQ(r.status, 2);
    const std::regex lines(
        R"(\[\d+\] PROCESS_SERVICE_CHECK_RESULT;db01;rule 1;0;PROCS OK: 8 processes running and 2 with )"
        R"(the name sshd \| procs=8;;;0 matches=2;;1:;0\n\[\d+\] PROCESS_SERVICE_CHECK_RESULT;db01;rule 2;2;)"
        R"(PROCS CRITICAL: 8 processes running and 1 with the name cron \| procs=8;;;0 matches=1;;2:;0\n)");
    EXPECT_TRUE(std::regex_match(received, lines)) << received;
    // The active run's lines carry no '|': an engine would take all after the first for data.
    EXPECT_EQ(
        r.out,
        "rule 1\tPROCS OK: 8 processes running and 2 with the name sshd\n"
        "rule 2\tPROCS CRITICAL: 8 processes running and 1 with the name cron\n"
        "| rule_1_procs=8;;;0 rule_1_matches=2;;1:;0 rule_2_procs=8;;;0 rule_2_matches=1;;2:;0\n");
    // No engine reads the pipe: the run gives up at its time limit and says so after the result.
    const CliRun unread = varnok("check --host 127.0.0.1 -t 1 --format nagios --param '" +
                                 bsd("#SGN=LT#NUM=1") + "' --passive " + fifo);
    EXPECT_EQ(unread.status, 3);
    EXPECT_EQ(unread.err, "");
    EXPECT_TRUE(contains(unread.out, "\npassive results not delivered: cannot open " + fifo));
    std::remove(fifo.c_str());
}

TEST(VarnokCli, PinsHostKeysOnFirstUseWithoutWritingToStandardErrorInPluginOutput) {
    const std::string dir = scratch("kh"), file = dir + "/ssh/known_hosts";
    const std::string check = "check -H 127.0.0.1 -t 20 --param '" + bsd("#SGN=LT#NUM=1") + "'";
    const std::string where = "'127.0.0.1' port " + fx("VARNOK_SSH_PORT_BSD");
    const auto run = [&](const std::string& more) {
        return varnok(check + " --known-hosts " + file + more);
    };
    EXPECT_EQ(run(" --host-key-check no").out, kSshd + "\n");  // records nothing
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(contains(run(" --host-key-check yes").out,
                         ") is not recorded in " + file +
                             ": record it with a first run with "
                             "--host-key-check accept-new, or with ssh-keyscan -p "));
    EXPECT_EQ(run("").out, kSshd + "\n");  // accept-new by default: recorded, and private
    EXPECT_EQ(fs::status(dir + "/ssh").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(run(" --host-key-check yes").out, kSshd + "\n");

    // The server's RSA key pinned: that type is asked for, and the key matches.
    const std::string name = "[127.0.0.1]:" + fx("VARNOK_SSH_PORT_BSD") + " ";
    std::string rsa;
    std::getline(std::ifstream(fx("VARNOK_SSH_HOST_RSA_PUB")), rsa);
    std::ofstream(file, std::ios::trunc) << name << rsa << "\n";
    EXPECT_EQ(run(" --host-key-check yes").out, kSshd + "\n");
    // Another key recorded for the host on line 2: of a type the server has, or of one it lacks.
    for (const char* other :
         {"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBtJmQ3pPOyYDiOQ6gmE0YEDcHR3a8oR4JhZzDO3hu1n",
          "ecdsa-sha2-nistp256 AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHAyNTYAAABBBPB6TikfFoEYAhLt"
          "ET2eKRGNLLx8n+mNQi01OEi3Qv2E+9Kk7HEu175K8ibmc4Q0XvH4REG0g52OxTKqxn7JAE0="}) {
        std::ofstream(file, std::ios::trunc) << "# pinned\n" << name << other << "\n";
        for (const std::string mode : {"yes", "accept-new", "no"}) {
            const CliRun changed = run(" --format nagios --host-key-check " + mode);
            EXPECT_EQ(changed.status, 3) << other;
            EXPECT_TRUE(contains(changed.out, "PROCS UNKNOWN: The host key of " + where +
                                                  " has changed (ssh-ed25519 SHA256:"));
            EXPECT_TRUE(contains(changed.out,
                                 "recorded in " + file + " line 2, so the connection was refused"));
        }
    }
    EXPECT_TRUE(
        contains(varnok("list -H 127.0.0.1 --param '" + bsd("") + "' --known-hosts " + file).err,
                 "has changed"));  // the listing follows the same options

    // A file that cannot be written is a warning, after the result line in plugin output.
    const std::string warning =
        "the host key of " + where + " could not be recorded in /dev/null/x";
    const CliRun text = varnok(check + " --known-hosts /dev/null/x");
    EXPECT_EQ(text.out, kSshd + "\n");
    EXPECT_TRUE(contains(text.err, "varnok: warning: " + warning));
    const CliRun plugin = varnok(check + " --known-hosts /dev/null/x --format nagios");
    EXPECT_EQ(plugin.status, 0);
    EXPECT_EQ(plugin.err, "");
    EXPECT_EQ(plugin.out.rfind(kSshdLine + "warning: " + warning, 0), 0u) << plugin.out;
    fs::remove_all(dir);
}

TEST(VarnokCli, AnotherUserWithAnUnwritableHomeVariableRecordsInThePasswdHome) {
    if (std::system("id -u varnokother > /dev/null 2>&1") != 0) {
        ASSERT_EQ(0,
                  std::system("useradd -M -d /tmp/varnokother -s /usr/sbin/nologin varnokother"));
    }
    const passwd* user = getpwnam("varnokother");
    ASSERT_NE(user, nullptr);
    const std::string home = user->pw_dir, not_home = scratch("roothome");
    fs::remove_all(home);
    fs::create_directories(home);
    ASSERT_EQ(chown(home.c_str(), user->pw_uid, user->pw_gid), 0);
    fs::create_directories(not_home);  // root's, 0755: the user may read it but not write
    ASSERT_EQ(chmod(not_home.c_str(), 0755), 0);
    // The build folder may be closed to other users (a clone in a 0700 folder): run copies.
    const std::string bin = scratch("bin");
    fs::create_directories(bin);
    ASSERT_EQ(chmod(bin.c_str(), 0755), 0);
    for (const char* name : {"varnok", "varnok-core"})
        fs::copy_file(fs::path(VARNOK_BINARY).parent_path() / name, bin + "/" + name,
                      fs::copy_options::overwrite_existing);
    const CliRun r =
        varnok("check -H 127.0.0.1 -t 20 --format nagios --param '" + bsd("#SGN=LT#NUM=1") + "'",
               "", "VARNOK_KNOWN_HOSTS= HOME=" + not_home,
               "setpriv --reuid=varnokother --regid=varnokother --clear-groups", bin + "/varnok");
    EXPECT_EQ(r.out, kSshdLine);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::ifstream known(home + "/.ssh/known_hosts");
    EXPECT_TRUE(contains(std::string(std::istreambuf_iterator<char>(known), {}),
                         "[127.0.0.1]:" + fx("VARNOK_SSH_PORT_BSD") + " "));
    EXPECT_FALSE(fs::exists(not_home + "/.ssh"));
    fs::remove_all(not_home);
    fs::remove_all(home);
    fs::remove_all(bin);
}

}  // namespace
}  // namespace varnok::testing
