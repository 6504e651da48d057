// The login form's security choice, the encryption shown once logged in, and the question about a
// server certificate that fails verification.

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>

#include "Dialogs.h"
#include "ixDemoTestFixture.h"

namespace ix {
namespace {

using namespace demotest;

class SecurityTest : public MainWindowTest {
protected:
    QString Choose(const char* security) {
        form->cbSecurity->setCurrentText(security);
        return form->edtPort->text();
    }

    // As typed: the field's edit signal fires, which setText does not.
    void TypePort(const QString& text) {
        form->edtPort->selectAll();
        form->edtPort->insert(text);
    }

    // The sandbox over the given security, without its CA: its certificate fails verification.
    void UntrustedSandboxOver(TixClientTlsMode security) {
        UseSandbox();
        form->ixImap.SetCAFile("");
        form->SetSecurity(security);
        int port = security == TixClientTlsMode::ctImplicit ? info.imapsPort : info.imapPort;
        form->edtPort->setText(QString::number(port));
    }
};

TEST_F(SecurityTest, ThePortFollowsTheSecurityChoiceUnlessTheUserTypedAnother) {
    EXPECT_EQ(Choose("SSL/TLS"), "993");
    EXPECT_EQ(Choose("STARTTLS"), "143");
    TypePort("10143");
    EXPECT_EQ(Choose("SSL/TLS"), "10143");
    EXPECT_EQ(Choose("None"), "10143");
    // The usual port typed back counts as no choice of the user's.
    TypePort("143");
    EXPECT_EQ(Choose("SSL/TLS"), "993");
    EXPECT_EQ(Choose("STARTTLS"), "143");
}

// Refused once, then accepted for one login only: each login over TLS asks again. The status bar
// says how each connection is protected.
TEST_F(SecurityTest, AnUntrustedCertificateIsAskedAboutOnEveryLoginAndTheStatusBarShowsTheProtection) {
    UntrustedSandboxOver(TixClientTlsMode::ctExplicit);
    std::string reason;
    OnDialog<TCertificateDialog>([&](TCertificateDialog& question) {
        reason = question.lblReason->text().section(" (code ", 0, 0).toStdString();
        EXPECT_FALSE(reason.empty());
        EXPECT_TRUE(question.lblReason->text().endsWith(")"));
        EXPECT_EQ(question.lblSubject->text(), "CN=localhost");
        EXPECT_EQ(question.lblIssuer->text(), "CN=ixmail sandbox CA");
        // The fingerprint's value is the certificate tests' case: here its two lines of byte pairs.
        EXPECT_TRUE(QRegularExpression("^([0-9A-F]{2}:){15}[0-9A-F]{2}\n([0-9A-F]{2}:){15}[0-9A-F]{2}$")
                        .match(question.lblFingerprint->text())
                        .hasMatch())
            << question.lblFingerprint->text().toStdString();
        // The login still waits: nothing else starts, though the busy indicator makes way.
        EXPECT_TRUE(form->Busy());
        EXPECT_TRUE(form->pbBusy->isHidden());
        std::size_t sentBefore = sent.size();
        form->btnLogin->click();
        EXPECT_EQ(sent.size(), sentBefore);
        EXPECT_TRUE(shown.empty());
        question.btnCancel->click();
    });
    form->btnLogin->click();
    EXPECT_FALSE(form->ixImap.Active());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].icon, QMessageBox::Critical);
    EXPECT_NE(shown[0].text.find(reason), std::string::npos) << shown[0].text;

    const QRegularExpression encrypted("^Encrypted: TLSv1\\.[23], \\S+$");
    for (TixClientTlsMode security :
         {TixClientTlsMode::ctNone, TixClientTlsMode::ctExplicit, TixClientTlsMode::ctImplicit}) {
        SCOPED_TRACE(static_cast<int>(security));
        UntrustedSandboxOver(security);
        if (security != TixClientTlsMode::ctNone)
            OnDialog<TCertificateDialog>([](TCertificateDialog& dialog) { dialog.btnAccept->click(); });
        sent.clear();
        form->btnLogin->click();
        ASSERT_TRUE(form->ixImap.Active()) << LastShown();
        QString status = form->lblSecurity->text();
        if (security == TixClientTlsMode::ctNone)
            EXPECT_EQ(status, "Not encrypted");
        else
            EXPECT_TRUE(encrypted.match(status).hasMatch()) << status.toStdString();
        EXPECT_EQ(SentCount("STARTTLS") > 0, security == TixClientTlsMode::ctExplicit);
        form->btnLogoutClick();
        EXPECT_TRUE(form->lblSecurity->text().isEmpty());
    }
    EXPECT_EQ(dialogsShown, 3);
    EXPECT_EQ(shown.size(), 1u);
}

}  // namespace
}  // namespace ix
