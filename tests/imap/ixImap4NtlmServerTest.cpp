#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "imap/ixImap4.h"
#include "ixTestSupport.h"

// NTLM against a real server: Dovecot hands the exchange to Samba's ntlm_auth, which checks the
// NTLMv2 response through winbindd (scripts/ntlm-server.sh).

namespace ix {
namespace {

using test::CodeOf;

class Imap4NtlmServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // winbindd's privileged pipe, which ntlm_auth needs for the check, exists only for root.
        if (geteuid() != 0) GTEST_SKIP() << "the NTLM server (winbindd) needs root; run the tests as root";
        // Written by scripts/ntlm-server.sh, which the CTest fixture runs.
        env = test::ReadEnvFile(test::BinaryPath("ntlm/ntlm.env"));
        imap.SetServer(env["IX_NTLM_HOST"]);
        imap.SetPort(std::atoi(env["IX_NTLM_PORT"].c_str()));
        imap.SetPassword(env["IX_NTLM_PASSWORD"]);
        imap.SetUseSasl(true);
        imap.SetTimeOut(10000);
        imap.OnSendCommand = [this](TixObject*, const std::string& text) { sent += text + "\n"; };
    }
    void TearDown() override { imap.Close(); }
    // Logs in as the user name and checks that NTLM carried the login.
    void LogsInAs(const std::string& user) {
        sent.clear();
        imap.SetUserName(user);
        imap.Open();
        EXPECT_EQ(imap.ConnectionState, TixImap4ConnectionState::csAuthenticated);
        EXPECT_NE(sent.find("AUTHENTICATE NTLM"), std::string::npos) << sent;
        imap.Noop();
    }
    std::map<std::string, std::string> env;
    TixImap4 imap;
    std::string sent;
};

TEST_F(Imap4NtlmServerTest, TheRightPasswordLogsInWithOrWithoutTheDomainAndAWrongOneGetsTheServersNo) {
    imap.SetUserName(env["IX_NTLM_USER"]);
    imap.SetPassword("not the password");
    EXPECT_EQ(CodeOf([&] { imap.Open(); }), IMAP_NO);
    EXPECT_NE(sent.find("AUTHENTICATE NTLM"), std::string::npos) << sent;
    EXPECT_EQ(imap.ConnectionState, TixImap4ConnectionState::csNonAuthenticated);

    imap.SetPassword(env["IX_NTLM_PASSWORD"]);
    LogsInAs(env["IX_NTLM_USER"]);
    imap.Close();
    LogsInAs(env["IX_NTLM_DOMAIN"] + "\\" + env["IX_NTLM_USER"]);
}

}  // namespace
}  // namespace ix
