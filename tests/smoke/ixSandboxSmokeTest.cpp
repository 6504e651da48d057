// The sandbox script's fill command, which nothing else runs: the folder gets the messages asked for.
// (The greeting, the TLS chain and the sample folders are checked by the IMAP sandbox tests.)
#include <gtest/gtest.h>

#include <cstdlib>

#include "imap/ixImap4.h"
#include "ixTestSupport.h"

namespace ix {
namespace {

TEST(SandboxSmoke, FillAddsTheRequestedNumberOfMessages) {
    const auto sb = test::Sandbox();
    const std::string command =
        test::SourcePath("scripts/sandbox-server.sh") + " fill " + sb.dir + " Bulk 300";
    ASSERT_EQ(std::system(command.c_str()), 0);
    TixImap4 imap;
    imap.SetServer(sb.host);
    imap.SetPort(sb.imapPort);
    imap.SetUserName(sb.user);
    imap.SetPassword(sb.password);
    imap.SetTimeOut(10000);
    imap.Open();
    imap.SelectMailBox("Bulk");
    EXPECT_EQ(imap.CurrentMailBox().ExistsMessages, 300);
    imap.Close();
}

}  // namespace
}  // namespace ix
