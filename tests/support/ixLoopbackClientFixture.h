#pragma once
// A fixture for a client talking to a scripted LoopbackServer: SetUp points the client at the
// server and counts its OnReady events; TearDown closes the client first, so that scripts waiting
// for the close end, then checks that every script went as planned.

#include <gtest/gtest.h>

#include "base/ixStream.h"
#include "base/ixTypes.h"
#include "ixLoopbackServer.h"

namespace ix::test {

template <class Client>
class LoopbackClientFixture : public ::testing::Test {
protected:
    void SetUp() override {
        client.SetServer(server.Host());
        client.SetPort(server.Port());
        client.SetTimeOut(3000);
        client.GetConnection().OnReady = [this](TixObject*) { ++readyEvents; };
    }
    void TearDown() override {
        client.Close();
        EXPECT_EQ(server.Join(), "");
    }

    LoopbackServer server;
    Client client;
    int readyEvents = 0;
};

// Reads until the text holds `until` or the connection closed; answers all that came.
template <class Client>
std::string ReadUntil(Client& client, std::string_view until) {
    TixMemoryStream data;
    while (data.View().find(until) == std::string_view::npos && client.Active())
        client.GetConnection().ReadData(&data);
    return std::string(data.View());
}

}  // namespace ix::test
