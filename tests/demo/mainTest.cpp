#include "main.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "ixDemoTestFixture.h"
#include "ixLoopbackServer.h"
#include "ixTestSupport.h"

namespace ix {
namespace {

using namespace demotest;

TEST_F(MainWindowTest, CommandLinePresetsOnlyTheFieldsGiven) {
    // The security brings its usual port, and the CA file goes to the component.
    EXPECT_TRUE(
        ApplyCommandLine(*form, {"imap-client", "--security", "tls", "--ca-file", "/ca.pem"}).isEmpty());
    EXPECT_EQ(form->Security(), TixClientTlsMode::ctImplicit);
    EXPECT_EQ(form->edtPort->text(), "993");
    EXPECT_EQ(form->ixImap.CAFile(), "/ca.pem");
    // Refusals are texts for the program to print with its usage before it ends.
    EXPECT_FALSE(ApplyCommandLine(*form, {"imap-client", "--security", "ssl"}).isEmpty());
    EXPECT_TRUE(ApplyCommandLine(*form, {"imap-client", "--colour"}).contains("colour"));

    // The options scripts/demo.sh gives are all taken (the fields they fill are plain setters); a
    // port given stays, whatever the order and whatever security comes later.
    EXPECT_TRUE(ApplyCommandLine(*form, {"imap-client", "--server", "127.0.0.1", "--port", "10143", "--user",
                                         "Other", "--password", "secret", "--security", "none"})
                    .isEmpty());
    EXPECT_EQ(form->edtPort->text(), "10143");
    EXPECT_EQ(form->Security(), TixClientTlsMode::ctNone);
    // A port typed in the window follows the same rule (the security choice's case).
}

// The refused logins, the login, the folder details, subscription and deletion run in one session
// in turn; the log, read last, holds all of it.
TEST_F(MainWindowTest, OneSessionThroughTheFolderButtonsAndTheLog) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiFolder");
    const QString port = form->edtPort->text(), password = form->edtPassword->text();
    std::string refusal;
    {
        SCOPED_TRACE("a bad port, then a wrong password");
        form->edtPort->setText("14x3");
        form->btnLogin->click();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, "'14x3' is not a valid integer value");
        EXPECT_TRUE(sent.empty());
        form->edtPort->setText(port);
        form->edtPassword->setText("not-the-password");
        form->btnLogin->click();
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[1].icon, QMessageBox::Critical);
        // The server's own answer, tag and all.
        refusal = shown[1].text;
        EXPECT_EQ(refusal.rfind("a0001 NO", 0), 0u) << refusal;
        EXPECT_FALSE(form->ixImap.Active());
        form->edtPassword->setText(password);
        shown.clear();
    }
    {
        SCOPED_TRACE("login");
        Login();
        EXPECT_EQ(form->windowTitle(), "IMAP Client - Connected");
        EXPECT_TRUE(form->btnPurge->isEnabled());  // one loop enables the operation buttons
        // Nested under its parent's node.
        EXPECT_NE(Node("Archive/2024"), nullptr);
        // The folder's name travels in modified UTF-7; the tree shows it decoded.
        EXPECT_NE(Node(QString::fromUtf8("Entwürfe")), nullptr);
        form->btnLogin->click();
        EXPECT_EQ(LastShown(), "You are already connected. Please click Logout to disconnect.");
        shown.clear();
    }
    {
        // A nested folder's details; the message list's rows are the message actions' cases.
        SCOPED_TRACE("a folder's details");
        form->tvFolders->setCurrentItem(Node("Archive/2024"));
        EXPECT_EQ(form->edtAll->text(), "1");
    }
    {
        SCOPED_TRACE("subscribe and unsubscribe");
        form->tvFolders->setCurrentItem(Node(folder.QName()));
        form->btnSubscribe->click();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, "The folder " + folder.Name() + " has been subscribed.");
        EXPECT_TRUE(view.Subscribed(folder.Name()));
        form->btnUnsubscribe->click();
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[1].text, "The folder " + folder.Name() + " has been unsubscribed.");
        EXPECT_FALSE(view.Subscribed(folder.Name()));
        shown.clear();
    }
    {
        // A refused DELETE is the scripted refusal's case, a question answered No Purge's.
        SCOPED_TRACE("delete the selected folder");
        answers.push_back(QMessageBox::Yes);
        form->btnDeleteFolder->click();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].icon, QMessageBox::Question);
        EXPECT_EQ(shown[0].text, "Do you wish to delete the " + folder.Name() + " folder ?");
        EXPECT_FALSE(view.Listed(folder.Name()));
        EXPECT_EQ(Node(folder.QName()), nullptr);
        EXPECT_TRUE(form->ixImap.Active());
    }
    {
        // The log masks what the client marks as credentials; which lines those are (SASL answers,
        // literals) is the IMAP wire tests' case.
        SCOPED_TRACE("the log");
        std::string log = Log();
        // Both logins' passwords (the refused one too) go through the same mask.
        EXPECT_EQ(log.find("quartzmellow"), std::string::npos);
        EXPECT_NE(log.find("LOGIN \"TarvelTester\" ****"), std::string::npos) << log;
        // A refusal is only in its message box.
        EXPECT_EQ(log.find(refusal), std::string::npos);
        // A response's first line.
        EXPECT_NE(log.find("\n* LIST ("), std::string::npos);
        // Commands as whole lines without their CRLF, the last (the folder's DELETE) as any.
        const std::string last = sent.back().substr(0, sent.back().size() - 2);
        EXPECT_NE(log.find("\n" + last + "\n"), std::string::npos) << last;
        EXPECT_EQ(log.find('\r'), std::string::npos);
    }
    form->btnLogoutClick();
    EXPECT_EQ(form->windowTitle(), "IMAP Client");
    EXPECT_EQ(form->tvFolders->topLevelItemCount(), 0);
    EXPECT_FALSE(form->btnPurge->isEnabled());
}

TEST_F(MainWindowTest, ClosingTheWindowDuringASilentServersWaitEndsAtOnce) {
    test::LoopbackServer server;
    bool clientClosed = false;
    server.Serve([&](test::LoopbackPeer& peer) { clientClosed = peer.WaitForClose(20000); });
    form->show();
    UseScriptedServer(server);
    form->edtTimeOut->setText("60");

    // Another click meanwhile starting nothing is the certificate question's case.
    bool busyDuringWait = false, indicatorShown = false;
    QTimer::singleShot(300, [&] {
        busyDuringWait = form->Busy();
        indicatorShown = form->pbBusy->isVisible();
        form->close();
    });
    QElapsedTimer elapsed;
    elapsed.start();
    form->btnLogin->click();
    EXPECT_LT(elapsed.elapsed(), 3000);
    EXPECT_TRUE(busyDuringWait);
    EXPECT_TRUE(indicatorShown);
    EXPECT_FALSE(form->Busy());
    EXPECT_TRUE(shown.empty()) << shown.front().text;
    EXPECT_FALSE(form->ixImap.Active());
    EXPECT_EQ(server.Join(), "");
    EXPECT_TRUE(clientClosed);
}

}  // namespace
}  // namespace ix
