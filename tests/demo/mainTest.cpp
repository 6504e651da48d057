#include "main.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <deque>

#include "ixDemoTestFixture.h"
#include "ixLoopbackServer.h"
#include "ixTestSupport.h"

namespace ix {
namespace {

using namespace demotest;

TEST_F(MainWindowTest, OpensDisconnectedWithDefaultsAndOperationButtonsDisabled) {
    EXPECT_EQ(form->windowTitle(), "IMAP Client");
    EXPECT_EQ(OperationButtons(true), "");
    EXPECT_TRUE(form->btnLogin->isEnabled());
    EXPECT_TRUE(form->btnLogout->isEnabled());
    // The user and password are the sandbox's, which the other cases log in with.
    EXPECT_EQ(form->edtUser->text(), "TarvelTester");
    EXPECT_EQ(form->edtPassword->text(), "quartzmellow");
    EXPECT_EQ(form->edtPassword->echoMode(), QLineEdit::Password);
    EXPECT_EQ(form->edtPort->text(), "143");
    EXPECT_EQ(form->cbSecurity->currentText(), "STARTTLS");
    EXPECT_EQ(form->Security(), TixClientTlsMode::ctExplicit);
    EXPECT_EQ(form->tvFolders->topLevelItemCount(), 0);
    EXPECT_TRUE(form->pbBusy->isHidden());
}

TEST_F(MainWindowTest, CommandLinePresetsOnlyTheFieldsGiven) {
    // The security brings its usual port, and the CA file goes to the component.
    EXPECT_TRUE(
        ApplyCommandLine(*form, {"imap-client", "--security", "tls", "--ca-file", "/ca.pem"}).isEmpty());
    EXPECT_EQ(form->Security(), TixClientTlsMode::ctImplicit);
    EXPECT_EQ(form->edtPort->text(), "993");
    EXPECT_EQ(form->ixImap.CAFile(), "/ca.pem");
    EXPECT_FALSE(ApplyCommandLine(*form, {"imap-client", "--security", "ssl"}).isEmpty());
    EXPECT_EQ(form->Security(), TixClientTlsMode::ctImplicit);

    // A port given stays, whatever the order and whatever security comes later.
    EXPECT_TRUE(ApplyCommandLine(
                    *form, {"imap-client", "--server", "127.0.0.1", "--port", "10143", "--security", "none"})
                    .isEmpty());
    EXPECT_EQ(form->edtServer->text(), "127.0.0.1");
    EXPECT_EQ(form->edtPort->text(), "10143");
    EXPECT_EQ(form->Security(), TixClientTlsMode::ctNone);
    EXPECT_EQ(form->edtUser->text(), "TarvelTester");
    EXPECT_TRUE(ApplyCommandLine(*form, {"imap-client", "--security", "starttls"}).isEmpty());
    EXPECT_EQ(form->edtPort->text(), "10143");
    EXPECT_TRUE(
        ApplyCommandLine(*form, {"imap-client", "--user", "Other", "--password", "secret"}).isEmpty());
    EXPECT_EQ(form->edtUser->text(), "Other");
    EXPECT_EQ(form->edtPassword->text(), "secret");
    EXPECT_FALSE(ApplyCommandLine(*form, {"imap-client", "--colour"}).isEmpty());
}

// The arguments scripts/demo.sh starts the program with.
QStringList DemoScriptArguments(const test::SandboxInfo& info) {
    return {"--server",   QString::fromStdString(info.host),
            "--port",     QString::number(info.imapPort),
            "--user",     QString::fromStdString(info.user),
            "--password", QString::fromStdString(info.password),
            "--security", "starttls",
            "--ca-file",  QString::fromStdString(info.caFile)};
}

TEST(ImapClientProgramTest, RunsWithTheDemoScriptsArgumentsAndRefusesUnknownOnes) {
    App();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    QStringList arguments = DemoScriptArguments(test::Sandbox());

    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(IX_IMAP_CLIENT_PROGRAM, arguments);
    ASSERT_TRUE(program.waitForStarted(10000)) << program.errorString().toStdString();
    // Still up with its window: nothing refused the arguments or failed on the way to the loop.
    EXPECT_FALSE(program.waitForFinished(2000)) << program.readAllStandardError().toStdString();
    program.kill();
    program.waitForFinished(10000);

    QProcess refused;
    refused.setProcessEnvironment(environment);
    refused.start(IX_IMAP_CLIENT_PROGRAM, {"--server", "127.0.0.1", "--colour"});
    ASSERT_TRUE(refused.waitForFinished(20000));
    EXPECT_EQ(refused.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(refused.exitCode(), 2);
    std::string error = refused.readAllStandardError().toStdString();
    EXPECT_NE(error.find("colour"), std::string::npos) << error;
    EXPECT_NE(error.find("--server HOST --port PORT --user NAME --password TEXT"), std::string::npos)
        << error;
}

TEST_F(MainWindowTest, LoginFillsTheTreeAndLogoutEmptiesIt) {
    SaveScreenshot("before-login.png");
    Login();
    EXPECT_EQ(form->windowTitle(), "IMAP Client - Connected");
    EXPECT_EQ(OperationButtons(false), "");
    EXPECT_NE(Node("INBOX"), nullptr);
    EXPECT_NE(Node("Sent"), nullptr);
    QTreeWidgetItem* year = Node("Archive/2024");
    ASSERT_NE(year, nullptr);
    EXPECT_EQ(form->GetFolderName(year), "Archive/2024");
    EXPECT_EQ(form->tvFolders->indexOfTopLevelItem(year), -1);
    // The folder's name travels in modified UTF-7; the tree shows it decoded.
    EXPECT_NE(Node(QString::fromUtf8("Entwürfe")), nullptr);
    EXPECT_TRUE(form->IsSubscribed("Archive/2024"));
    EXPECT_FALSE(form->IsSubscribed("INBOX"));
    EXPECT_TRUE(shown.empty());
    SaveScreenshot("after-login.png");

    // A second login says so and sends nothing.
    std::size_t sentBefore = sent.size();
    form->btnLogin->click();
    EXPECT_EQ(LastShown(), "You are already connected. Please click Logout to disconnect.");
    EXPECT_EQ(sent.size(), sentBefore);

    form->btnLogoutClick();
    EXPECT_EQ(form->windowTitle(), "IMAP Client");
    EXPECT_EQ(form->tvFolders->topLevelItemCount(), 0);
    EXPECT_FALSE(form->IsSubscribed("Archive/2024"));
    EXPECT_EQ(OperationButtons(true), "");
    EXPECT_NE(Log().find("LOGOUT"), std::string::npos);
}

// The log masks what the client marks as credentials; which lines those are (SASL answers,
// literals) is the IMAP wire tests' case.
TEST_F(MainWindowTest, LogHoldsEachCommandAndFirstResponseLineWithThePasswordMasked) {
    Login();
    form->tvFolders->setCurrentItem(Node("Sent"));
    ASSERT_FALSE(sent.empty());
    ASSERT_FALSE(firstLines.empty());
    std::string log = Log();
    EXPECT_EQ(log.find("quartzmellow"), std::string::npos);
    EXPECT_NE(log.find("LOGIN \"TarvelTester\" ****"), std::string::npos) << log;
    // Every other command as sent, and every first response line, in the order they happened.
    std::size_t at = 0;
    for (const std::string& line : firstLines) {
        std::size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << line;
        if (found != std::string::npos) at = found;
    }
    // Commands go out with their CRLF; the log holds them without it, one to a line.
    QStringList lines = form->memLog->toPlainText().split('\n');
    for (const std::string& line : sent) {
        ASSERT_GE(line.size(), 2u);
        EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
        if (line.find("LOGIN") == std::string::npos) {
            std::string command = line.substr(0, line.size() - 2);
            EXPECT_TRUE(lines.contains(QString::fromStdString(command))) << command;
        }
    }
    EXPECT_EQ(log.find('\r'), std::string::npos);
    EXPECT_NE(log.find("SELECT \"Sent\""), std::string::npos);
    EXPECT_NE(log.find("* OK"), std::string::npos);
}

TEST_F(MainWindowTest, SelectingAFolderFillsTheFourDetails) {
    ServerView& view = View();
    Login();
    view.imap.SelectMailBox("INBOX");
    int inboxCount = view.imap.CurrentMailBox().ExistsMessages;
    ASSERT_GT(inboxCount, 0);

    form->tvFolders->setCurrentItem(Node("INBOX"));
    EXPECT_EQ(form->edtSubscribed->text(), "No");
    EXPECT_EQ(form->edtAll->text(), QString::number(inboxCount));
    EXPECT_EQ(form->lvMessages->topLevelItemCount(), inboxCount);
    bool number = false;
    form->edtRecent->text().toInt(&number);
    EXPECT_TRUE(number);
    form->edtFirstUnseen->text().toInt(&number);
    EXPECT_TRUE(number);

    form->tvFolders->setCurrentItem(Node("Archive/2024"));
    EXPECT_EQ(form->edtSubscribed->text(), "Yes");
    EXPECT_EQ(form->edtAll->text(), "1");
    EXPECT_EQ(form->ixImap.CurrentMailBox().Name, "Archive/2024");
    ASSERT_EQ(form->lvMessages->topLevelItemCount(), 1);
    EXPECT_EQ(form->lvMessages->topLevelItem(0)->text(1), "Archived 2024");
    EXPECT_TRUE(shown.empty());
}

TEST_F(MainWindowTest, SubscribeAndUnsubscribeChangeTheDetailsAndTheServer) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiSubscribe");
    Login();
    ASSERT_NE(Node(folder.QName()), nullptr);
    form->tvFolders->setCurrentItem(Node(folder.QName()));
    EXPECT_EQ(form->edtSubscribed->text(), "No");

    form->btnSubscribe->click();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "The folder " + folder.Name() + " has been subscribed.");
    EXPECT_EQ(form->edtSubscribed->text(), "Yes");
    EXPECT_TRUE(view.Subscribed(folder.Name()));

    // Already subscribed: nothing is sent and nothing shown.
    std::size_t sentBefore = sent.size();
    form->btnSubscribe->click();
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(sent.size(), sentBefore);

    form->btnUnsubscribe->click();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].text, "The folder " + folder.Name() + " has been unsubscribed.");
    EXPECT_EQ(form->edtSubscribed->text(), "No");
    EXPECT_FALSE(view.Subscribed(folder.Name()));
}

TEST_F(MainWindowTest, DeleteFolderAsksFirstDeletesOnlyOnYesAndInboxIsRefused) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiDelete");
    Login();
    form->tvFolders->setCurrentItem(Node(folder.QName()));

    answers.push_back(QMessageBox::No);
    form->btnDeleteFolder->click();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].icon, QMessageBox::Question);
    EXPECT_EQ(shown[0].text, "Do you wish to delete the " + folder.Name() + " folder ?");
    EXPECT_TRUE(view.Listed(folder.Name()));
    EXPECT_NE(Node(folder.QName()), nullptr);

    answers.push_back(QMessageBox::Yes);
    form->btnDeleteFolder->click();
    EXPECT_EQ(shown.size(), 2u);
    EXPECT_FALSE(view.Listed(folder.Name()));
    EXPECT_EQ(Node(folder.QName()), nullptr);
    EXPECT_NE(Node("INBOX"), nullptr);
    EXPECT_NE(Node("Archive/2024"), nullptr);
    EXPECT_TRUE(form->edtAll->text().isEmpty());
    // The folder was the selected one; the session outlives its deletion. Deleting INBOX then is
    // refused once and leaves tree and selection as they were.
    form->tvFolders->setCurrentItem(Node("INBOX"));
    QString count = form->edtAll->text();
    int topLevel = form->tvFolders->topLevelItemCount();
    std::size_t sentBefore = sent.size();
    form->btnDeleteFolder->click();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[3].icon, QMessageBox::Critical);
    EXPECT_NE(shown[3].text.find("NO"), std::string::npos) << shown[3].text;
    // Only the DELETE went out: INBOX stays selected with whatever it holds.
    ASSERT_EQ(sent.size(), sentBefore + 1);
    EXPECT_NE(sent.back().find("DELETE \"INBOX\""), std::string::npos);
    EXPECT_TRUE(form->ixImap.Active());
    EXPECT_EQ(form->tvFolders->topLevelItemCount(), topLevel);
    EXPECT_EQ(form->tvFolders->currentItem(), Node("INBOX"));
    EXPECT_EQ(form->edtAll->text(), count);
    EXPECT_EQ(form->ixImap.ConnectionState, TixImap4ConnectionState::csSelected);
    EXPECT_EQ(form->ixImap.CurrentMailBox().Name, "INBOX");
}

TEST_F(MainWindowTest, TheSelectedFolderIsLeftForInboxBeforeItsDeleteAndSelectedAgainWhenRefused) {
    test::LoopbackServer server;
    server.Serve([](test::LoopbackPeer& peer) {
        AnswerWindowLogin(peer, "* LIST () \"/\" INBOX\r\n* LIST () \"/\" Shared\r\n");
        // The one message of the folder, as its list row is read.
        auto listRow = [&](int number) {
            auto tag = [](int n) { return "a" + std::string(n < 10 ? "000" : "00") + std::to_string(n); };
            const std::string header = "Subject: Shared news\r\n\r\n";
            peer.Play({
                {tag(number) + " FETCH 1 (BODY.PEEK[HEADER])\r\n",
                 "* 1 FETCH (BODY[HEADER] {" + std::to_string(header.size()) + "}\r\n" + header + ")\r\n" +
                     tag(number) + " OK\r\n"},
                {tag(number + 1) + " FETCH 1 (FLAGS)\r\n",
                 "* 1 FETCH (FLAGS ())\r\n" + tag(number + 1) + " OK\r\n"},
            });
        };
        peer.Play({{"a0004 SELECT \"Shared\"\r\n",
                    "* 1 EXISTS\r\n* 1 RECENT\r\na0004 OK [READ-WRITE] selected\r\n"}});
        listRow(5);
        peer.Play({
            {"a0007 SELECT \"INBOX\"\r\n", "* 0 EXISTS\r\n* 0 RECENT\r\na0007 OK [READ-WRITE] selected\r\n"},
            {"a0008 DELETE \"Shared\"\r\n", "a0008 NO [NOPERM] Permission denied\r\n"},
            {"a0009 SELECT \"Shared\"\r\n", "* 1 EXISTS\r\n* 0 RECENT\r\na0009 OK [READ-WRITE] selected\r\n"},
        });
        listRow(10);
        peer.Play({{"a0012 LOGOUT\r\n", "* BYE\r\na0012 OK\r\n"}});
        peer.WaitForClose(10000);
    });
    CloseFirst closeFirst{form->ixImap};
    LoginTo(server);
    form->tvFolders->setCurrentItem(Node("Shared"));
    EXPECT_EQ(form->edtRecent->text(), "1");

    form->btnDeleteFolder->click();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].text, "a0008 NO [NOPERM] Permission denied");
    EXPECT_EQ(form->ixImap.ConnectionState, TixImap4ConnectionState::csSelected);
    EXPECT_EQ(form->ixImap.CurrentMailBox().Name, "Shared");
    EXPECT_EQ(form->tvFolders->currentItem(), Node("Shared"));
    EXPECT_EQ(form->edtAll->text(), "1");
    EXPECT_EQ(form->edtRecent->text(), "0");
    ASSERT_EQ(form->lvMessages->topLevelItemCount(), 1);
    EXPECT_EQ(form->lvMessages->topLevelItem(0)->text(1), "Shared news");
    EXPECT_EQ(form->tvFolders->topLevelItemCount(), 2);
    form->btnLogoutClick();
    EXPECT_EQ(server.Join(), "");
}

TEST_F(MainWindowTest, ABadPortOrAWrongPasswordIsShownAndLeavesTheWindowDisconnected) {
    UseSandbox();
    QString port = form->edtPort->text();
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
    EXPECT_NE(shown[1].text.find("NO"), std::string::npos) << shown[1].text;
    EXPECT_EQ(shown[1].text.rfind("a0001", 0), 0u) << shown[1].text;
    EXPECT_FALSE(form->ixImap.Active());
    EXPECT_EQ(form->windowTitle(), "IMAP Client");
    EXPECT_EQ(OperationButtons(true), "");
    std::string log = Log();
    EXPECT_EQ(log.find("not-the-password"), std::string::npos);
    // The refused command is in the log, its refusal only in the message box.
    EXPECT_NE(log.find("LOGIN"), std::string::npos);
    EXPECT_EQ(log.find(shown[1].text), std::string::npos);
}

TEST_F(MainWindowTest, AFolderListedAfterItsChildGetsASecondTopLevelNode) {
    form->AddFolderToTree("INBOX/Sent/2024");
    form->AddFolderToTree("INBOX");
    form->AddFolderToTree("/Top");
    ASSERT_EQ(form->tvFolders->topLevelItemCount(), 3);
    QTreeWidgetItem* leaf = Node("INBOX/Sent/2024");
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(form->GetFolderName(leaf), "INBOX/Sent/2024");
    EXPECT_EQ(form->tvFolders->topLevelItem(1)->text(0), "INBOX");
    EXPECT_EQ(form->tvFolders->topLevelItem(1)->childCount(), 0);
    EXPECT_EQ(form->GetFolderName(form->tvFolders->topLevelItem(2)), "Top");
    EXPECT_EQ(form->GetFolderName(nullptr), "");
}

// A left-button drag on a widget by an offset, as the user's mouse makes it.
// The place of a control in the client panel, as text that a failure shows.
std::string Place(QWidget* control, QWidget* panel) {
    QPoint at = control->mapTo(panel, QPoint());
    return QString("%1,%2 %3x%4")
        .arg(at.x())
        .arg(at.y())
        .arg(control->width())
        .arg(control->height())
        .toStdString();
}

void Drag(QWidget* widget, QPoint from, QPoint by) {
    auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, widget->mapToGlobal(at), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(widget, &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, from + by, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, from + by, Qt::LeftButton, Qt::NoButton);
}

TEST_F(MainWindowTest, ALargerWindowGoesToTheTreeListAndLogWhileTheControlsKeepTheirPlaces) {
    for (const char* name : {"INBOX", "Archive/2023", "Archive/2024", "Sent", "Trash"})
        form->AddFolderToTree(name);
    for (int i = 1; i <= 40; ++i)
        new QTreeWidgetItem(form->lvMessages, {QString::number(i), QString("Message %1").arg(i),
                                               "alice@example.org", i % 3 == 0 ? "Seen," : ""});
    for (int i = 1; i <= 30; ++i)
        form->memLog->appendPlainText(QString("a%1 NOOP").arg(i, 4, 10, QChar('0')));
    form->show();
    QApplication::processEvents();
    QWidget* panel = form->pnlMain;
    EXPECT_EQ(Place(form->tvFolders, panel), "16,120 161x192");
    EXPECT_EQ(Place(form->lvMessages, panel), "192,215 354x97");
    EXPECT_EQ(Place(form->memLog, panel), "16,337 530x78");

    // Every control of the login fields and the folder details with its caption and its place in
    // its frame, and the buttons with theirs from the top right corner, one a line.
    auto controls = [&] {
        std::string result;
        for (QWidget* control : panel->findChildren<QWidget*>()) {
            QWidget* frame = control->parentWidget();
            QPoint at = control->mapTo(frame, QPoint());
            QString caption;
            if (auto* button = qobject_cast<QAbstractButton*>(control)) caption = button->text();
            if (auto* label = qobject_cast<QLabel*>(control)) caption = label->text();
            if (qobject_cast<QPushButton*>(control) != nullptr)
                at = control->mapTo(panel, QPoint(control->width() - panel->width(), 0));
            else if (frame == form->edtServer->parentWidget())
                at = control->mapTo(panel, QPoint());
            else if (frame != form->GroupBox1)
                continue;
            result += QString("%1 %2,%3\n").arg(caption).arg(at.x()).arg(at.y()).toStdString();
        }
        return result;
    };
    auto rowsShown = [&] {
        int rows = 0;
        for (int i = 0; i < form->lvMessages->topLevelItemCount(); ++i) {
            QRect row = form->lvMessages->visualItemRect(form->lvMessages->topLevelItem(i));
            rows += row.top() >= 0 && row.bottom() < form->lvMessages->viewport()->height();
        }
        return rows;
    };
    auto before = controls();
    QSize tree = form->tvFolders->size(), list = form->lvMessages->size(), log = form->memLog->size();
    int rows = rowsShown();
    form->resize(form->size() * 2);
    QApplication::processEvents();
    // Twice the size gives each of them hundreds of pixels more in both directions.
    for (auto [pane, size] :
         {std::pair<QWidget*, QSize>{form->tvFolders, tree}, {form->lvMessages, list}, {form->memLog, log}})
        EXPECT_TRUE(pane->width() > size.width() + 100 && pane->height() > size.height() + 100)
            << Place(pane, panel);
    EXPECT_GT(rowsShown(), 3 * rows);
    EXPECT_EQ(controls(), before);
    EXPECT_NE(before.find("Login -15,19\nLogout -15,50\nNew Folder... -15,120\nDelete Folder -15,151\n"
                          "Find... -15,184\nSubscribe -15,215\nUnsubscribe -15,246\nAppend... -15,297\n"
                          "Copy -15,328\nDelete -15,359\nPurge Deleted -15,390\n"),
              std::string::npos)
        << before;
    SaveScreenshot("large-window.png");

    // The splitters move with the mouse, and so do the borders of the list's columns.
    tree = form->tvFolders->size();
    log = form->memLog->size();
    QSplitterHandle* below = form->splLog->handle(1);
    Drag(below, below->rect().center(), QPoint(0, 60));
    QSplitterHandle* beside = form->splFolders->handle(1);
    Drag(beside, beside->rect().center(), QPoint(-40, 0));
    EXPECT_EQ(form->tvFolders->size(), tree + QSize(-40, 60));
    EXPECT_EQ(form->memLog->height(), log.height() - 60);
    QHeaderView* header = form->lvMessages->header();
    int subject = header->sectionSize(1);
    Drag(header->viewport(), QPoint(header->sectionViewportPosition(2), header->height() / 2), QPoint(50, 0));
    EXPECT_EQ(header->sectionSize(1), subject + 50);
}

TEST_F(MainWindowTest, ClosingTheWindowDuringASilentServersWaitEndsAtOnce) {
    test::LoopbackServer server;
    bool clientClosed = false;
    server.Serve([&](test::LoopbackPeer& peer) { clientClosed = peer.WaitForClose(20000); });
    form->show();
    UseScriptedServer(server);
    form->edtTimeOut->setText("60");

    bool busyDuringWait = false, indicatorShown = false, secondLoginRefused = false;
    QTimer::singleShot(300, [&] {
        busyDuringWait = form->Busy();
        indicatorShown = form->pbBusy->isVisible();
        // Another click while the greeting is awaited starts nothing.
        std::size_t before = shown.size();
        form->btnLogin->click();
        secondLoginRefused = shown.size() == before;
        form->close();
    });
    QElapsedTimer elapsed;
    elapsed.start();
    form->btnLogin->click();
    EXPECT_LT(elapsed.elapsed(), 3000);
    EXPECT_TRUE(busyDuringWait);
    EXPECT_TRUE(indicatorShown);
    EXPECT_TRUE(secondLoginRefused);
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->Busy());
    EXPECT_TRUE(shown.empty()) << shown.front().text;
    EXPECT_FALSE(form->ixImap.Active());
    EXPECT_EQ(server.Join(), "");
    EXPECT_TRUE(clientClosed);
}

}  // namespace
}  // namespace ix
