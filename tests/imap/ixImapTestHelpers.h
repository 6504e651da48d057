#pragma once
// Small look-ups the tests against real servers share.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/ixStringList.h"
#include "imap/ixImap4.h"
#include "ixTestSupport.h"

namespace ix::test {

// Whether the server lists the folder (LSUB when subscribed, else LIST).
inline bool Lists(TixImap4& imap, bool subscribed, const std::string& name) {
    TixStringList list;
    if (subscribed)
        imap.GetSubscribedMailBoxes(list);
    else
        imap.GetMailBoxes(list);
    return list.IndexOfExact(name) >= 0;
}

// Creates the folders; checks that each is listed, selectable and subscribable under the name
// given; runs `between` while they exist; deletes them, children last in `names` first.
inline void MailboxLifecycle(TixImap4& imap, const std::vector<std::string>& names,
                             const std::function<void()>& between = {}) {
    for (const std::string& name : names)
        imap.CreateMailBox(name);
    for (const std::string& name : names) {
        EXPECT_TRUE(Lists(imap, false, name)) << name;
        imap.SelectMailBox(name);
        EXPECT_EQ(imap.CurrentMailBox().ExistsMessages, 0) << name;
        imap.SubscribeMailBox(name);
        EXPECT_TRUE(Lists(imap, true, name)) << name;
        imap.UnsubscribeMailBox(name);
        EXPECT_FALSE(Lists(imap, true, name)) << name;
    }
    if (between) between();
    imap.CloseMailBox();
    for (auto it = names.rbegin(); it != names.rend(); ++it)
        imap.DeleteMailBox(*it);
    for (const std::string& name : names)
        EXPECT_FALSE(Lists(imap, false, name)) << name;
    EXPECT_EQ(CodeOf([&] { imap.DeleteMailBox(names[0]); }), IMAP_NO);
}

// The client set up for the sandbox as its second user, whose folders the IMAP tests may change
// (the first user's stay as the client window's tests expect).
inline void UseSandboxSecondUser(TixImap4& imap, const SandboxInfo& info, int timeOut) {
    imap.SetServer(info.host);
    imap.SetPort(info.imapPort);
    imap.SetUserName(info.user2);
    imap.SetPassword(info.password2);
    imap.SetTimeOut(timeOut);
}

// A client set up for the sandbox's second user; the commands it sends are collected in `sent`.
class SandboxClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        info = Sandbox();
        UseSandboxSecondUser(imap, info, 20000);
        imap.OnSendCommand = [this](TixObject*, const std::string& text) { sent += text; };
    }
    void TearDown() override { imap.Close(); }
    SandboxInfo info;
    TixImap4 imap;
    std::string sent;
};

}  // namespace ix::test
