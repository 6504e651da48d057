#pragma once
// Small look-ups the tests against real servers share.

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

// The client set up for the sandbox as its second user, whose folders the IMAP tests may change
// (the first user's stay as the client window's tests expect).
inline void UseSandboxSecondUser(TixImap4& imap, const SandboxInfo& info, int timeOut) {
    imap.SetServer(info.host);
    imap.SetPort(info.imapPort);
    imap.SetUserName(info.user2);
    imap.SetPassword(info.password2);
    imap.SetTimeOut(timeOut);
}

}  // namespace ix::test
