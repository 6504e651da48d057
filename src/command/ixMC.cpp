#include "command/ixMC.h"

#include "mail/ixMailMessage.h"
#include "text/ixEncoder.h"

namespace ix {

TixCustomMail::TixCustomMail(TixComponent* owner) : TixTcpCommandClient(owner) {}

TixCustomMail::~TixCustomMail() {
    SetMailMessage(nullptr);
}

void TixCustomMail::SetMailMessage(TixMailMessage* value) {
    if (value == mailMessage_) return;
    if (mailMessage_ != nullptr) RemoveFreeNotification(mailMessage_);
    mailMessage_ = value;
    if (mailMessage_ != nullptr) FreeNotification(mailMessage_);
    DoChanged();
}

void TixCustomMail::Notification(TixComponent* component, TixOperation operation) {
    TixTcpCommandClient::Notification(component, operation);
    if (operation == TixOperation::opRemove && mailMessage_ != nullptr &&
        component == static_cast<TixComponent*>(mailMessage_))
        mailMessage_ = nullptr;
}

void TixCustomMail::SetAuthorization(const std::string& value) {
    if (value == Authorization()) return;
    if (!value.empty() && !Loading()) SetUseSasl(true);
    TixTcpCommandClient::SetAuthorization(value);
}

std::string TixCustomMail::GetXOAuth2Credentials() {
    std::string text = "user=" + UserName() + "\x01" + "auth=" + Authorization() + "\x01\x01";
    return TixEncoder::EncodeString(text, TixEncodeMethod::cmBase64);
}

}  // namespace ix
