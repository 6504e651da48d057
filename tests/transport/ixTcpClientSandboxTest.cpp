#include "transport/ixTcpClient.h"

#include <gtest/gtest.h>

#include "ixTestSupport.h"

namespace ix {
namespace {

TEST(TcpClientSandbox, ReadsTheImapGreeting) {
    auto sandbox = test::Sandbox();
    TixTcpClient client;
    client.SetServer(sandbox.host);
    client.SetPort(sandbox.imapPort);
    client.SetTimeOut(10000);
    client.Open();
    TixMemoryStream data;
    std::string text;
    while (text.find("\r\n") == std::string::npos && client.Active()) {
        client.GetConnection().ReadData(&data);
        text.assign(reinterpret_cast<const char*>(data.Memory()), static_cast<std::size_t>(data.Size()));
    }
    EXPECT_EQ(text.rfind("* OK", 0), 0u) << text;
    client.GetConnection().WriteString("a1 LOGOUT\r\n", "");
    while (client.Active())
        client.GetConnection().ReadData(&data);
    text.assign(reinterpret_cast<const char*>(data.Memory()), static_cast<std::size_t>(data.Size()));
    EXPECT_NE(text.find("a1 OK"), std::string::npos) << text;
}

}  // namespace
}  // namespace ix
