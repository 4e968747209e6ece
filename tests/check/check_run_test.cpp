// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/param_fixture.h"

namespace varnok::testing {
namespace {

// Runs a check on the listing that the fixture's fake ps prints for a system, named before the
// fields ("bsd#OS=BSD#..."); nothing connects.
bool check_on(const std::string& system_and_fields, std::string* text) {
    const size_t hash = system_and_fields.find('#');
    std::ifstream in(std::string(VARNOK_TEST_DATA) + "/" + system_and_fields.substr(0, hash) +
                     ".txt");
    VarnokCom com;
    com.put_xc_parameter(Variant("#USR=u#PWD=YQ==" + system_and_fields.substr(hash) + "#"));
    const bool passed =
        com.docheck_on({true, std::string(std::istreambuf_iterator<char>(in), {}), ""});
    *text = variant_to_text(com.get_xc_result());
    return passed;
}

TEST(CheckRun, LogsInWithThePasswordOrAKeyOrSaysWhyNot) {
    const std::string two = "8 processes running and 2 with the name sshd",
                      ed = fx("VARNOK_SSH_ED25519_KEY"), ed_key = "#KEYF=" + ed + "#PWD=",
                      no_key = "Cannot load the private key from '" + ed + "': ";
    // The login, the system (an unknown one has no listing command), the result and its text.
    const std::tuple<std::string, std::string, bool, std::string> cases[] = {
        {"", "#OS=BSD", true, two},
        {"#KEYF=" + fx("VARNOK_SSH_RSA_KEY") + "#KEYT=RSA", "#OS=BSD", true, two},
        {ed_key + EncodePassword(fx("VARNOK_SSH_PASSPHRASE")), "#OS=BSD", true, two},
        {"", "#OS=LINUX", true, two},
        {"", "#OS=PLAN9#WAIT=T", false, "0 processes running and 0 with the name sshd"},
        {"#PWD=" + EncodePassword("wrong"), "", false,
         "Login as '" + fx("VARNOK_SSH_USER") + "' on '127.0.0.1' port " +
             fx("VARNOK_SSH_PORT_BSD") + " with the password failed: Access denied"},
        {ed_key + EncodePassword("nope"), "", false, no_key + "wrong pass phrase"},
        {"#KEYF=" + ed, "", false,
         no_key + "the key is protected by a pass phrase and none was given"},
    };
    for (const auto& [login, system, passed, expected] : cases) {
        std::string text;
        const std::string param =
            login_param("BSD", system + "#COL=5#PRO=sshd#SGN=LT#NUM=1", login);
        EXPECT_EQ(run_check(param, &text), passed) << param;
        EXPECT_EQ(text.substr(0, expected.size()), expected);
    }
}

// A failed call leaves the earlier result; the conversions' tests hold the table of numbered
// errors, and the check object, the C interface and the command line each show one of them.
TEST(CheckRun, EndsBeforeConnectingWithoutAUserAPasswordAHostOrOnAFailedCall) {
    VarnokCom com;
    com.put_xc_result(Variant("earlier"));
    com.put_xc_parameter(Variant("#USR=u#PWD=====#"));
    EXPECT_EQ(call_error([&com] { com.xc_docheck(); }),
              "error 5: Invalid procedure call or argument");
    EXPECT_EQ(com.get_xc_result(), Variant("earlier"));
    std::string text;
    EXPECT_FALSE(run_check("#PWD=YQ==#", &text));
    EXPECT_EQ(text, "ERR: can't connect to an SSH server without a USERNAME");
    EXPECT_FALSE(run_check("#USR=u#PRO=sshd#", &text));
    EXPECT_EQ(text, "ERR: can't connect to an SSH server without a PASSWORD");
    EXPECT_FALSE(run_check("#USR=u#PWD=YQ==#", &text, "5", ""));
    EXPECT_EQ(text, "No host name was given");
}

TEST(CheckRun, ReadsEachSystemsListingAndAppliesTheRuleAndTheMatchMode) {
    const std::string eight = "8 processes running and ", bsd = "bsd#OS=BSD#COL=5";
    const std::tuple<std::string, bool, std::string> cases[] = {
        {bsd + "#PRO=sshd#INPL=T", false,
         eight + "2 with the name sshd (/usr/sbin/sshd,sshd: monitor@notty (sshd))"},
        {"solaris#OS=SOLARIS#COL=8#PRO=sshd#INPL=T", false,
         "6 processes running and 2 with the name sshd (/usr/lib/ssh/sshd,/usr/lib/ssh/sshd)"},
        {"hpux#OS=HPUX#COL=8#PRO=sshd#INPL=T", false,
         "5 processes running and 2 with the name sshd (/opt/ssh/sbin/sshd,sshd: monitor@notty)"},
        {"aix#OS=AIX#COL=8#PRO=sshd#INPL=T", false,
         "5 processes running and 2 with the name sshd (/usr/sbin/sshd,sshd: monitor@notty)"},
        {"cygwin#OS=OPENSSHCYGWIN#COL=8#PRO=sshd#INPL=T", false,
         "4 processes running and 1 with the name sshd (/usr/sbin/sshd)"},
        {bsd + "#PRO=sshd#SGN=LT#NUM=2", true, eight + "2 with the name sshd"},
        {bsd + "#PRO=sshd#SGN=LT#NUM=3", false, eight + "2 with the name sshd"},
        {bsd + "#PRO=sshd#SGN=AL#NUM=2", false, eight + "2 with the name sshd"},
        {bsd + "#PRO=sshd#SGN=XX#NUM=3", true, eight + "2 with the name sshd"},
        {bsd + "#PRO=sshd#NUM=0#SGN=LT", true, eight + "2 with the name sshd"},
        {bsd + "#PRO=sshd#NUM=0#SGN=AL", false, eight + "2 with the name sshd"},
        {bsd + "#PRO=/usr/sbin/sshd#FULL=T#NUM=1#SGN=LT", true,
         eight + "1 with the name /usr/sbin/sshd"},
        {bsd + "#PRO=SSHD#NUM=1#SGN=LT", false, eight + "0 with the name SSHD"},
        {bsd + "#PRO=nomatch#INPL=T#NUM=1", true, eight + "0 with the name nomatch"},
        {bsd + "#PRO=#NUM=2.5#SGN=LT", true, eight + "8 with the name "},
        {bsd + "#PRO=cron#INPL=T#NUM=1#SGN=AL", false,
         eight + "1 with the name cron (/usr/sbin/cron -s)"},
    };
    for (const auto& [fields, passed, expected] : cases) {
        std::string text;
        EXPECT_EQ(check_on(fields, &text), passed) << fields;
        EXPECT_EQ(text, expected) << fields;
    }
}

TEST(CheckRun, AppendsTheDebugLogOverTwoChecks) {
    const std::filesystem::path dir = ::testing::TempDir() + "varnok-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    std::string text;
    for (int i = 0; i < 2; ++i) check_on("aix#OS=AIX#COL=8#DEBUG=T#PRO=x", &text);
    run_check("#DEBUG=T#", &text);  // stops at the USERNAME refusal: writes nothing
    std::ifstream in(dir / kDebugLogName, std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), {});
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
    const std::string block =
        " 1: /etc/init\r\n 2: /usr/sbin/srcmstr\r\n 3: /usr/sbin/sshd\r\n 4: /usr/sbin/syslogd\r\n"
        " 5: sshd: monitor@notty\r\nEND of LIST\r\n\r\n\r\n";
    EXPECT_EQ(log, block + block);
}

TEST(CheckRun, RequestsOnOneConnectionShareOneLoginAndAnotherConnectionLogsInAgain) {
    const auto logins = [] {
        std::ifstream in(fx("VARNOK_SSH_LOGINS"));
        return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
    };
    const HostKeyPolicy keys{HostKeyCheck::No,
                             std::string(std::getenv("VARNOK_FIXTURE")) + "/home/.ssh/known_hosts"};
    const auto request = [&keys](const std::string& fields) {
        return CheckRequest{"127.0.0.1", "20", login_param("COUNTED", "#OS=BSD#COL=5" + fields),
                            keys, fields};
    };
    const CheckRequest sshd = request("#PRO=sshd"), cron = request("#PRO=cron#INPL=T"),
                       waits = request("#PRO=sshd#WAIT=T");
    const CheckReport alone = run_check(cron);
    auto before = logins();
    const std::vector<CheckReport> shared = run_checks({sshd, cron, sshd});
    EXPECT_EQ(logins() - before, 1);
    ASSERT_EQ(shared.size(), 3u);
    EXPECT_EQ(shared[1].text, alone.text);
    EXPECT_EQ(shared[1].rule_name, "#PRO=cron#INPL=T");
    EXPECT_EQ(shared[0].text, shared[2].text);
    before = logins();
    EXPECT_EQ(run_checks({sshd, waits})[1].text, shared[0].text);
    EXPECT_EQ(logins() - before, 2);
}

}  // namespace
}  // namespace varnok::testing
