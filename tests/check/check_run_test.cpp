#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "check/frmmain.h"
#include "tests/param_fixture.h"

namespace varnok::testing {
namespace {

// What the fake ps on a system's port of the fixture prints.
VarnokCom::Listing recorded(const std::string& system) {
    std::ifstream in(std::string(VARNOK_TEST_DATA) + "/" + system + ".txt", std::ios::binary);
    return {true, std::string(std::istreambuf_iterator<char>(in), {}), ""};
}

// Runs the check of `fields` on a system's recorded listing: nothing connects.
bool check_on(const std::string& system, const std::string& fields, std::string* text) {
    VarnokCom com;
    com.put_xc_parameter(Variant("#USR=u#PWD=YQ==" + fields + "#"));
    const bool passed = com.docheck_on(recorded(system));
    *text = variant_to_text(com.get_xc_result());
    return passed;
}

TEST(CheckRun, LogsInWithThePasswordOrAKeyAndSendsTheSystemsCommand) {
    const std::string rsa = "#KEYF=" + fx("VARNOK_SSH_RSA_KEY") + "#KEYT=RSA";
    const std::string ed = "#KEYF=" + fx("VARNOK_SSH_ED25519_KEY") +
                           "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSPHRASE"));
    const std::string two = "8 processes running and 2 with the name sshd";
    // An unknown system has no listing command; "localhost" is found by name.
    const std::tuple<std::string, std::string, const char*> cases[] = {
        {"", "#OS=BSD", two.c_str()},
        {rsa, "#OS=BSD", two.c_str()},
        {ed, "#OS=BSD", two.c_str()},
        {"", "#OS=LINUX", two.c_str()},
        {"", "#OS=PLAN9#WAIT=T", "0 processes running and 0 with the name sshd"},
    };
    for (const auto& [login, system, expected] : cases) {
        std::string text;
        run_check(login_param("BSD", system + "#COL=5#PRO=sshd", login), &text, "5", "localhost");
        EXPECT_EQ(text, expected) << login << system;
    }
}

TEST(CheckRun, ReportsConnectionAndLoginFailuresAsFalseWithAText) {
    const std::string ed = fx("VARNOK_SSH_ED25519_KEY"),
                      no_key = "Cannot load the private key from '" + ed;
    const std::pair<std::string, std::string> cases[] = {
        {login_param("", "", "#PWD=" + EncodePassword("wrong")),
         "port " + fx("VARNOK_SSH_PORT") + " with the password failed: Access denied"},
        {login_param("", "", "#KEYF=/nonexistent/key"),
         "Cannot read the key file '/nonexistent/key': No such file or directory"},
        {login_param("", "", "#KEYF=" + ed + "#PWD=" + EncodePassword("nope")),
         no_key + "': wrong pass phrase"},
        {login_param("", "", "#KEYF=" + ed),
         no_key + "': the key is protected by a pass phrase and none was given"},
        {login_param("", "#PROTO=1"),
         "SSH protocol version 1 is not supported; choose SSH2 or SSH Auto"},
        {"#PWD=YQ==#", "ERR: can't connect to an SSH server without a USERNAME"},
        {"#USR=u#PRO=sshd#", "ERR: can't connect to an SSH server without a PASSWORD"},
    };
    std::string text;
    for (const auto& [param, expected] : cases) {
        EXPECT_FALSE(run_check(param + "#SGN=LT#NUM=0#", &text));
        EXPECT_NE(text.find(expected), std::string::npos) << text;
    }
    EXPECT_FALSE(run_check(login_param("BSD", "#SGN=LT#NUM=0"), &text, "5", ""));
    EXPECT_EQ(text, "No host name was given");
}

TEST(CheckRun, RefusesAChangedHostKey) {
    // A key other than the fixture's, recorded for the fixture's address and port.
    const std::string known = ::testing::TempDir() + "known_hosts-" + std::to_string(getpid());
    std::ofstream(known)
        << "[127.0.0.1]:" << fx("VARNOK_SSH_PORT_BSD") << " ssh-ed25519 "
        << "AAAAC3NzaC1lZDI1NTE5AAAAIBtJmQ3pPOyYDiOQ6gmE0YEDcHR3a8oR4JhZzDO3hu1n\n";
    VarnokCom com;
    com.form().host_keys.known_hosts = known;
    com.put_xc_hostname(Variant("127.0.0.1"));
    com.put_xc_parameter(Variant(login_param("BSD", "#OS=BSD")));
    EXPECT_FALSE(com.xc_docheck());
    std::remove(known.c_str());
    EXPECT_EQ(
        variant_to_text(com.get_xc_result())
            .find("The host key of '127.0.0.1' port " + fx("VARNOK_SSH_PORT_BSD") + " has changed"),
        0u);
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
        const size_t system = fields.find('#');
        EXPECT_EQ(check_on(fields.substr(0, system), fields.substr(system), &text), passed)
            << fields;
        EXPECT_EQ(text, expected) << fields;
    }
}

TEST(CheckRun, AppendsTheDebugLogOverTwoChecks) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("varnok-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    std::string text;
    for (int i = 0; i < 2; ++i) check_on("aix", "#OS=AIX#COL=8#DEBUG=T#PRO=x", &text);
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

// The failed calls at the check object; the C interface and the command line each show one.
TEST(CheckRun, AFailedCallKeepsTheEarlierResult) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"#USR=u#PORT=70000#", "5", "error 6: Overflow"},
        {"#USR=u#PWD=====#", "5", "error 5: Invalid procedure call or argument"},
        {"#USR=u#PWD=YQ==#", "soon", "error 13: Type mismatch"},
    };
    VarnokCom com;
    com.put_xc_result(Variant("earlier"));
    for (const auto& [parameter, timeout, error] : cases) {
        com.put_xc_parameter(Variant(parameter));
        com.put_xc_timeout(Variant(timeout));
        EXPECT_EQ(call_error([&com] { com.xc_docheck(); }), error);
        EXPECT_EQ(com.get_xc_result(), Variant("earlier"));
    }
}

}  // namespace
}  // namespace varnok::testing
