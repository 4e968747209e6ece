#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "automation/automation_error.h"
#include "check/frmmain.h"
#include "settings/base64.h"
#include "tests/sshd_fixture.h"

namespace varnok::testing {

std::string password_field() { return "#PWD=" + EncodePassword(fx("VARNOK_SSH_PASSWORD")); }

namespace {

const std::string kLinux = "#OS=LINUX#COL=5#EOL=LF#PRO=sshd";

class CheckRun : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }
};

TEST_F(CheckRun, LogsInWithAPasswordAndCountsLinuxProcesses) {
    std::string text;
    run_check(param("VARNOK_SSH_PORT", password_field(), kLinux), &text);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex(R"((\d+) processes running and (\d+) with the name sshd)")))
        << text;
    EXPECT_GT(std::stoi(m[1]), 3);
    EXPECT_GE(std::stoi(m[2]), 1);  // at least the fixture's own sshd
}

TEST_F(CheckRun, LogsInWithKeys) {
    const std::string rsa = "#KEYF=" + fx("VARNOK_SSH_RSA_KEY") + "#KEYT=RSA";
    const std::string ed = "#KEYF=" + fx("VARNOK_SSH_ED25519_KEY") + "#PWD=" +
                           EncodePassword(fx("VARNOK_SSH_PASSPHRASE"));
    for (const std::string& login : {rsa, ed}) {
        std::string text;
        run_check(param("VARNOK_SSH_PORT_BSD", login, "#OS=BSD#COL=5#PRO=sshd#SGN=LT#NUM=2"), &text);
        EXPECT_EQ(text, "8 processes running and 2 with the name sshd") << login;
    }
}

TEST_F(CheckRun, ReportsConnectionAndLoginFailuresAsFalseWithAText) {
    struct Case {
        std::string login;
        std::string port_key;
        std::string expected_part;
    };
    const Case cases[] = {
        {"#PWD=" + EncodePassword("wrong"), "VARNOK_SSH_PORT", "Access denied"},
        {"#KEYF=/nonexistent/key", "VARNOK_SSH_PORT", "Cannot read the key file '/nonexistent/key'"},
        {"#KEYF=" + fx("VARNOK_SSH_ED25519_KEY") + "#PWD=" + EncodePassword("nope"), "VARNOK_SSH_PORT",
         "wrong pass phrase"},
        {"#KEYF=" + fx("VARNOK_SSH_ED25519_KEY"), "VARNOK_SSH_PORT", "none was given"},
        {password_field() + "#PROTO=1", "VARNOK_SSH_PORT", "SSH protocol version 1 is not supported"},
    };
    for (const auto& c : cases) {
        std::string text;
        EXPECT_FALSE(run_check(param(c.port_key, c.login, kLinux + "#SGN=LT#NUM=0"), &text));
        EXPECT_NE(text.find(c.expected_part), std::string::npos) << text;
    }
}

TEST_F(CheckRun, AnUnreadableKeyFileStartsNoConnection) {
    VarnokCom com;
    com.put_xc_hostname(Variant("127.0.0.1"));
    com.put_xc_parameter(Variant("#USR=x#KEYF=/nonexistent/key#"));
    EXPECT_FALSE(com.xc_docheck());
    ASSERT_NE(com.form().Ssh, nullptr);
    EXPECT_EQ(com.form().Ssh->phase(), SshPhase::Idle);
    EXPECT_TRUE(SessionState.Disconnected);
}

TEST_F(CheckRun, ReadsTheListingOfEverySystem) {
    const std::pair<std::string, std::string> cases[] = {
        {"#OS=BSD#COL=5#PORT=" + fx("VARNOK_SSH_PORT_BSD"),
         "8 processes running and 2 with the name sshd (/usr/sbin/sshd,sshd: monitor@notty (sshd))"},
        {"#OS=SOLARIS#COL=8#PORT=" + fx("VARNOK_SSH_PORT_SOLARIS"),
         "6 processes running and 2 with the name sshd (/usr/lib/ssh/sshd,/usr/lib/ssh/sshd)"},
        {"#OS=HPUX#COL=8#PORT=" + fx("VARNOK_SSH_PORT_HPUX"),
         "5 processes running and 2 with the name sshd (/opt/ssh/sbin/sshd,sshd: monitor@notty)"},
        {"#OS=AIX#COL=8#PORT=" + fx("VARNOK_SSH_PORT_AIX"),
         "5 processes running and 2 with the name sshd (/usr/sbin/sshd,sshd: monitor@notty)"},
        {"#OS=OPENSSHCYGWIN#COL=8#PORT=" + fx("VARNOK_SSH_PORT_CYGWIN"),
         "4 processes running and 1 with the name sshd (/usr/sbin/sshd)"},
        {"#OS=PLAN9#COL=5#PORT=" + fx("VARNOK_SSH_PORT"), "0 processes running and 0 with the name sshd"},
    };
    for (const auto& [fields, expected] : cases) {
        std::string text;
        run_check("#USR=" + fx("VARNOK_SSH_USER") + password_field() + fields + "#PRO=sshd#INPL=T#WAIT=T#",
                  &text);
        EXPECT_EQ(text, expected) << fields;
    }
}

TEST_F(CheckRun, AppliesTheRuleAndTheMatchMode) {
    struct Case {
        std::string fields;
        bool passed;
        std::string text;
    };
    const Case cases[] = {
        {"#PRO=sshd#SGN=LT#NUM=2", true, "8 processes running and 2 with the name sshd"},
        {"#PRO=sshd#SGN=LT#NUM=3", false, "8 processes running and 2 with the name sshd"},
        {"#PRO=sshd#SGN=AL#NUM=2", false, "8 processes running and 2 with the name sshd"},
        {"#PRO=sshd#SGN=XX#NUM=3", true, "8 processes running and 2 with the name sshd"},
        {"#PRO=sshd#NUM=0#SGN=LT", true, "8 processes running and 2 with the name sshd"},
        {"#PRO=sshd#NUM=0#SGN=AL", false, "8 processes running and 2 with the name sshd"},
        {"#PRO=/usr/sbin/sshd#FULL=T#NUM=1#SGN=LT", true,
         "8 processes running and 1 with the name /usr/sbin/sshd"},
        {"#PRO=SSHD#NUM=1#SGN=LT", false, "8 processes running and 0 with the name SSHD"},
        {"#PRO=nomatch#INPL=T#NUM=1", true, "8 processes running and 0 with the name nomatch"},
        {"#PRO=#NUM=2.5#SGN=LT", true, "8 processes running and 8 with the name "},
        {"#PRO=cron#INPL=T#NUM=1#SGN=AL", false,
         "8 processes running and 1 with the name cron (/usr/sbin/cron -s)"},
    };
    for (const auto& c : cases) {
        std::string text;
        const std::string p = "#USR=" + fx("VARNOK_SSH_USER") + password_field() +
                              "#OS=BSD#COL=5#PORT=" + fx("VARNOK_SSH_PORT_BSD") + c.fields + "#";
        EXPECT_EQ(run_check(p, &text), c.passed) << c.fields;
        EXPECT_EQ(text, c.text) << c.fields;
    }
}

TEST_F(CheckRun, FindsTheServerThroughNameResolution) {
    std::string text;
    run_check(param("VARNOK_SSH_PORT_BSD", password_field(), "#OS=BSD#COL=5#PRO=sshd"), &text, "5",
              "localhost");
    EXPECT_EQ(text, "8 processes running and 2 with the name sshd");
    EXPECT_FALSE(run_check(param("VARNOK_SSH_PORT_BSD", password_field(), "#OS=BSD"), &text, "5", ""));
    EXPECT_EQ(text, "No host name was given");
}

TEST_F(CheckRun, RefusesAChangedHostKey) {
    const auto home = std::filesystem::temp_directory_path() / ("varnok-home-" + std::to_string(getpid()));
    std::filesystem::create_directories(home / ".ssh");
    {
        // A key other than the fixture's, recorded for the fixture's address and port.
        std::ofstream kh(home / ".ssh" / "known_hosts");
        kh << "[127.0.0.1]:" << fx("VARNOK_SSH_PORT_BSD")
           << " ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBtJmQ3pPOyYDiOQ6gmE0YEDcHR3a8oR4JhZzDO3hu1n\n";
    }
    const std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", home.c_str(), 1);
    std::string text;
    const bool result =
        run_check(param("VARNOK_SSH_PORT_BSD", password_field(), "#OS=BSD#SGN=LT#NUM=0"), &text);
    setenv("HOME", old_home.c_str(), 1);
    std::filesystem::remove_all(home);
    EXPECT_FALSE(result);
    EXPECT_NE(text.find("has changed"), std::string::npos) << text;
}

TEST_F(CheckRun, AppendsTheDebugLogOverTwoChecks) {
    const auto dir = std::filesystem::temp_directory_path() / ("varnok-log-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    std::string text;
    const std::string p = param("VARNOK_SSH_PORT_AIX", password_field(), "#OS=AIX#COL=8#DEBUG=T#PRO=x");
    run_check(p, &text);
    run_check(p, &text);
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

TEST(CheckRunFailures, MissingCredentialsEndBeforeAnyConnection) {
    reset_module_state();
    std::string text;
    EXPECT_FALSE(run_check("#PWD=YQ==#", &text));
    EXPECT_EQ(text, "ERR: can't connect to an SSH server without a USERNAME");
    EXPECT_FALSE(run_check("#USR=u#PRO=sshd#", &text));
    EXPECT_EQ(text, "ERR: can't connect to an SSH server without a PASSWORD");
}

TEST(CheckRunFailures, AFailedCallKeepsTheEarlierResult) {
    VarnokCom com;
    com.put_xc_result(Variant("earlier"));
    const std::pair<Variant, int> cases[] = {{Variant("#USR=u#PORT=70000#"), 6},
                                             {Variant("#USR=u#PWD=====#"), 5}};
    for (const auto& [parameter, number] : cases) {
        com.put_xc_parameter(parameter);
        try {
            com.xc_docheck();
            ADD_FAILURE() << "no error";
        } catch (const AutomationError& e) {
            EXPECT_EQ(e.number(), number);
        }
        EXPECT_EQ(com.get_xc_result(), Variant("earlier"));
    }
    com.put_xc_parameter(Variant("#USR=u#PWD=YQ==#"));
    com.put_xc_timeout(Variant("soon"));
    EXPECT_THROW(com.xc_docheck(), AutomationError);
}

}  // namespace
}  // namespace varnok::testing
