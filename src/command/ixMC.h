#pragma once
// What mail protocol clients share: the SASL switches and the link to the message component
// that receives fetched messages and supplies appended ones.

#include "command/ixTcpCommandClient.h"

namespace ix {

class TixMailMessage;

class TixCustomMail : public TixTcpCommandClient {
public:
    explicit TixCustomMail(TixComponent* owner = nullptr);
    ~TixCustomMail() override;

    bool UseSasl() const { return useSasl_; }
    void SetUseSasl(bool value) { SetProperty(useSasl_, value); }
    bool SaslOnly() const { return saslOnly_; }
    void SetSaslOnly(bool value) { SetProperty(saslOnly_, value); }
    // A weak link: cleared when the message component is destroyed.
    TixMailMessage* MailMessage() const { return mailMessage_; }
    void SetMailMessage(TixMailMessage* value);

    // A new bearer credential switches SASL on (outside loading).
    void SetAuthorization(const std::string& value) override;
    // base64 of "user=" UserName ^A "auth=" Authorization ^A^A, on one line.
    std::string GetXOAuth2Credentials();

protected:
    void Notification(TixComponent* component, TixOperation operation) override;

private:
    bool useSasl_ = false;
    bool saslOnly_ = false;
    TixMailMessage* mailMessage_ = nullptr;
};

}  // namespace ix
