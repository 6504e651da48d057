// The message list, the message window, the dialogs and the message buttons of the client window.

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>

#include <QEventLoop>

#include "Dialogs.h"
#include "MessageForm.h"
#include "dkim/ixDkim.h"
#include "ixDemoTestFixture.h"
#include "ixLoopbackServer.h"
#include "mail/ixMailMessage.h"

namespace ix {
namespace {

using namespace demotest;

using Row = std::vector<std::string>;

// The text of a message file in the sandbox's seed data.
std::string SeedMessage(const char* name) {
    return test::ReadFile(test::SourcePath(std::string("scripts/sandbox/messages/") + name));
}

std::string Message(const std::string& subject, const std::string& from, const std::string& body) {
    return "From: " + from + "\r\nTo: tarveltester@localhost\r\nSubject: " + subject +
           "\r\nDate: Mon, 01 Jan 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n\r\n" +
           body + "\r\n";
}

// Puts a message into a folder behind the window's back. The look-up session selects the folder
// afterwards, so that the message is not new (\Recent) to the window's session.
void Put(ServerView& view, const std::string& folder, const std::string& text,
         TixMailMessageFlags flags = {}) {
    TixStringList lines;
    lines.SetText(text);
    view.imap.AppendMessage(folder, lines, flags);
    view.imap.SelectMailBox(folder);
}

int CountOn(ServerView& view, const std::string& folder) {
    view.imap.SelectMailBox(folder);
    return view.imap.CurrentMailBox().ExistsMessages;
}

class MessageActionsTest : public MainWindowTest {
protected:
    std::vector<Row> Rows() const {
        std::vector<Row> rows;
        for (int i = 0; i < form->lvMessages->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = form->lvMessages->topLevelItem(i);
            Row row;
            for (int column = 0; column < 4; ++column)
                row.push_back(item->text(column).toStdString());
            rows.push_back(row);
        }
        return rows;
    }

    void SelectRows(std::initializer_list<int> indexes) {
        form->lvMessages->clearSelection();
        for (int index : indexes) {
            QTreeWidgetItem* item = form->lvMessages->topLevelItem(index);
            ASSERT_NE(item, nullptr) << index;
            item->setSelected(true);
        }
    }

    void Open(int index) {
        SelectRows({index});
        QTreeWidgetItem* item = form->lvMessages->topLevelItem(index);
        ASSERT_NE(item, nullptr);
        form->lvMessages->setCurrentItem(item);
        emit form->lvMessages->itemDoubleClicked(item, 0);
    }

    void SelectFolder(const QString& path) {
        QTreeWidgetItem* node = Node(path);
        ASSERT_NE(node, nullptr) << path.toStdString();
        form->tvFolders->setCurrentItem(node);
    }
};

// ---- The dialogs on their own ----

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override { App(); }
    template <class Dialog>
    void Answer(Dialog& dialog) {
        dialog.MessageBoxProc = [this](QWidget*, QMessageBox::Icon, const QString& text,
                                       QMessageBox::StandardButtons) {
            shown.push_back(text.toStdString());
            return QMessageBox::Ok;
        };
    }
    std::vector<std::string> shown;
};

// The search dialog is the window's Find case: what it sends and the empty conditions it refuses.
TEST_F(DialogsTest, CopyDialogWithoutFoldersChoosesNone) {
    TCopyDialog empty({});
    empty.Button1->click();
    EXPECT_EQ(empty.result(), QDialog::Accepted);
    EXPECT_EQ(empty.ChosenFolder(), "");
}

TEST_F(DialogsTest, SavingAnAttachmentProposesOnlyItsBareNameAndReportsAFailedWrite) {
    TMessageForm window;
    Answer(window);
    window.SetViewMode({{"../../etc/cron.d/evil?.sh", QByteArray("#!/bin/sh\n", 10)}});
    EXPECT_TRUE(window.btnAppend->isHidden());
    EXPECT_EQ(window.btnCancel->text(), "Close");
    QTemporaryDir scratch;
    QString proposed, target = scratch.filePath("kept.sh");
    window.SaveFileNameProc = [&](QWidget*, const QString& name) {
        proposed = name;
        return target;
    };
    EXPECT_TRUE(window.btnSaveClick());
    EXPECT_FALSE(proposed.contains('/'));
    EXPECT_TRUE(proposed.startsWith("evil")) << proposed.toStdString();
    QFile kept(target);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("#!/bin/sh\n"));
    EXPECT_TRUE(shown.empty());

    // A place that cannot be written is reported, not taken for success.
    target = scratch.filePath("no-such-dir/kept.sh");
    EXPECT_FALSE(window.btnSaveClick());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("could not be saved"), std::string::npos) << shown[0];

    // Declining the file dialog writes nothing and says nothing.
    target.clear();
    EXPECT_FALSE(window.btnSaveClick());
    EXPECT_EQ(shown.size(), 1u);
}

TEST_F(DialogsTest, HtmlShowsAsTextAndNothingItRefersToIsFetched) {
    // Style sheets and images, remote or local, are never fetched.
    QString text = TMessageForm::HtmlToPlainText(
        "<html><head><link rel=stylesheet href='http://127.0.0.1:9/x.css'></head><body>"
        "<p>Fish &amp; chips</p><img src='http://127.0.0.1:9/track.png'><img src='file:///etc/passwd'>"
        "<script>alert(1)</script><p>café</p></body></html>");
    EXPECT_TRUE(text.contains("Fish & chips")) << text.toStdString();
    EXPECT_TRUE(text.contains(QString::fromUtf8("café")));
    EXPECT_FALSE(text.contains("<p>"));

    TixMailMessage message;
    TixStringList lines;
    lines.SetText(SeedMessage("inbox-2-alternative.eml"));
    message.LoadMessage(lines);
    EXPECT_EQ(TMessageForm::ReadableText(message).trimmed(), "HTML version");
    lines.SetText(SeedMessage("inbox-1-plain.eml"));
    message.LoadMessage(lines);
    EXPECT_EQ(TMessageForm::ReadableText(message), "Hello Tarvel,\n\nthis is a plain text message.");
}

// ---- The list ----

TEST_F(MessageActionsTest, TheListShowsNumbersSubjectsSendersAndFlagsInOrder) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiList"), empty(view, "GuiEmpty");
    Put(view, folder.Name(), Message("First one", "Alice Example <alice@example.org>", "one"),
        {TixMailMessageFlag::mfSeen, TixMailMessageFlag::mfDeleted});
    Put(view, folder.Name(), Message("Second one", "bob@example.org", "two"));
    Put(view, folder.Name(), Message("Third one", "Carol <carol@example.org>", "three"),
        {TixMailMessageFlag::mfFlagged, TixMailMessageFlag::mfAnswered});
    Login();

    // The bar counts the messages while they load.
    std::vector<int> maximaAtFetch;
    auto send = form->ixImap.OnSendCommand;
    form->ixImap.OnSendCommand = [&, send](TixObject* sender, const std::string& text) {
        if (text.find("FETCH") != std::string::npos) maximaAtFetch.push_back(form->pbBusy->maximum());
        send(sender, text);
    };
    SelectFolder(folder.QName());
    EXPECT_TRUE(shown.empty()) << LastShown();
    EXPECT_EQ(Rows(),
              (std::vector<Row>{{"1", "First one", "\"Alice Example\" <alice@example.org>", "Deleted,Seen,"},
                                {"2", "Second one", "bob@example.org", ""},
                                {"3", "Third one", "Carol <carol@example.org>", "Answered,Flagged,"}}));
    form->ixImap.OnSendCommand = send;  // the log-out at the end comes after `maximaAtFetch` is gone
    ASSERT_EQ(maximaAtFetch.size(), 6u);
    EXPECT_EQ(maximaAtFetch.front(), 3);
    EXPECT_TRUE(form->pbBusy->isHidden());
    form->show();
    SaveScreenshot("message-list.png");

    // An empty folder sends no FETCH.
    SelectFolder(empty.QName());
    EXPECT_EQ(form->edtAll->text(), "0");
    EXPECT_EQ(form->lvMessages->topLevelItemCount(), 0);
    EXPECT_EQ(SentCount("FETCH"), 6u);
    EXPECT_TRUE(shown.empty()) << LastShown();
}

// A server whose second message's header and third message's flags are refused.
void BadMessageScript(test::LoopbackPeer& peer) {
    const std::string header = "Subject: Fine\r\nFrom: A <a@example.org>\r\n\r\n";
    const std::string fetchHeader =
        " FETCH (BODY[HEADER] {" + std::to_string(header.size()) + "}\r\n" + header + ")\r\n";
    AnswerWindowLogin(peer, "* LIST () \"/\" INBOX\r\n* LIST () \"/\" Box\r\n");
    peer.Play({
        {"a0004 SELECT \"Box\"\r\n", "* 3 EXISTS\r\n* 0 RECENT\r\na0004 OK [READ-WRITE] selected\r\n"},
        {"a0005 FETCH 1 (BODY.PEEK[HEADER])\r\n", "* 1" + fetchHeader + "a0005 OK\r\n"},
        {"a0006 FETCH 1 (FLAGS)\r\n", "* 1 FETCH (FLAGS (\\Seen))\r\na0006 OK\r\n"},
        {"a0007 FETCH 2 (BODY.PEEK[HEADER])\r\n", "a0007 NO [SERVERBUG] message 2 is damaged\r\n"},
        {"a0008 FETCH 3 (BODY.PEEK[HEADER])\r\n", "* 3" + fetchHeader + "a0008 OK\r\n"},
        {"a0009 FETCH 3 (FLAGS)\r\n", "a0009 BAD flags unavailable\r\n"},
        {"a0010 LOGOUT\r\n", "* BYE\r\na0010 OK\r\n"},
    });
    peer.WaitForClose(10000);
}

TEST_F(MessageActionsTest, AMessageTheServerRefusesBecomesABadMessageRowAndTheRestLoad) {
    test::LoopbackServer server;
    server.Serve(BadMessageScript);
    CloseFirst closeFirst{form->ixImap};
    LoginTo(server);
    SelectFolder("Box");
    EXPECT_TRUE(shown.empty()) << LastShown();
    std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (Row{"1", "Fine", "A <a@example.org>", "Seen,"}));
    EXPECT_EQ(rows[1], (Row{"2", "(bad message)", "", ""}));
    // One row per message, even when only its flags fail.
    EXPECT_EQ(rows[2], (Row{"3", "(bad message)", "", ""}));
    form->btnLogoutClick();
    EXPECT_EQ(server.Join(), "");
}

TEST_F(MessageActionsTest, ALostConnectionEndsTheListAndIsShown) {
    test::LoopbackServer server;
    server.Serve([](test::LoopbackPeer& peer) {
        AnswerWindowLogin(peer, "* LIST () \"/\" Box\r\n");
        peer.Play({
            {"a0004 SELECT \"Box\"\r\n", "* 500 EXISTS\r\na0004 OK [READ-WRITE] selected\r\n"},
            {"a0005 FETCH 1 (BODY.PEEK[HEADER])\r\n", "* BYE going away\r\n"},
        });
        peer.Close();
    });
    CloseFirst closeFirst{form->ixImap};
    LoginTo(server);
    SelectFolder("Box");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].icon, QMessageBox::Critical);
    EXPECT_FALSE(form->ixImap.Active());
    EXPECT_EQ(form->lvMessages->topLevelItemCount(), 0);
    EXPECT_EQ(SentCount("FETCH"), 1u);
    EXPECT_EQ(form->windowTitle(), "IMAP Client");
    EXPECT_EQ(server.Join(), "");
}

// ---- Opening a message ----

TEST_F(MessageActionsTest, OpeningAMessageShowsItSetsSeenAndTheRefreshedListShowsIt) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiOpen");
    Put(view, folder.Name(), SeedMessage("inbox-3-attachment.eml"));
    Put(view, folder.Name(), SeedMessage("inbox-2-alternative.eml"));
    Login();
    SelectFolder(folder.QName());
    ASSERT_EQ(Rows().size(), 2u);
    EXPECT_EQ(Rows()[0][3], "");

    QTemporaryDir scratch;
    saveFileName = scratch.filePath("saved.bin");
    std::vector<std::pair<int, int>> progress;
    auto onProgress = form->ixImap.OnProgress;
    form->ixImap.OnProgress = [&, onProgress](TixObject* sender, std::int64_t done, std::int64_t total) {
        onProgress(sender, done, total);
        progress.emplace_back(form->pbBusy->maximum(), form->pbBusy->value());
    };
    OnDialog<TMessageForm>([&](TMessageForm& window) {
        EXPECT_EQ(window.windowTitle(), "Message Details");
        EXPECT_TRUE(window.edtFrom->isReadOnly());
        EXPECT_TRUE(window.edtSubject->isReadOnly());
        EXPECT_TRUE(window.memBody->isReadOnly());
        EXPECT_EQ(window.edtSubject->text(), "Report attached");
        EXPECT_NE(window.edtFrom->text().indexOf("carol@example.org"), -1);
        EXPECT_EQ(window.edtTo->text(), "tarveltester@localhost");
        EXPECT_EQ(window.memBody->toPlainText(), "See the attachment.");
        // The user waits on the window, not on the server.
        EXPECT_TRUE(form->pbBusy->isHidden());
        EXPECT_EQ(form->Busy(), true);
        EXPECT_EQ(window.lvAttachments->topLevelItemCount(), 1);
        if (window.lvAttachments->topLevelItemCount() == 1) {
            EXPECT_EQ(window.lvAttachments->topLevelItem(0)->text(0), "report.bin");
            EXPECT_EQ(window.lvAttachments->topLevelItem(0)->text(1), QLocale().formattedDataSize(32));
        }
        // The window's buttons start nothing while the message is open.
        std::size_t sentBefore = sent.size();
        form->btnPurge->click();
        form->btnLogin->click();
        EXPECT_EQ(sent.size(), sentBefore);
        EXPECT_TRUE(shown.empty());
        EXPECT_TRUE(window.btnSaveClick());
        SaveScreenshot("message-window.png", &window);
        window.btnCancel->click();
    });
    Open(0);
    EXPECT_TRUE(shown.empty()) << LastShown();
    EXPECT_EQ(dialogsShown, 1);
    EXPECT_EQ(proposedFileNames, std::vector<std::string>{"report.bin"});
    QFile saved(saveFileName);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    QByteArray expected;
    for (char byte = 0; byte < 32; ++byte)
        expected.append(byte);
    EXPECT_EQ(saved.readAll(), expected);

    // The fetch ran against the message's size, up to its end.
    form->ixImap.OnProgress = onProgress;
    EXPECT_NE(std::find(progress.begin(), progress.end(), std::make_pair(1000, 1000)), progress.end());

    // The peek fetch does not mark it; the STORE after it does, and the list was read again.
    std::size_t store = SentCount("STORE 1 +FLAGS.SILENT (\\Seen)");
    EXPECT_EQ(store, 1u);
    EXPECT_EQ(Rows()[0][3], "Seen,");
    EXPECT_EQ(Rows()[1][3], "");
    view.imap.SelectMailBox(folder.Name());
    EXPECT_TRUE(view.imap.GetMessageFlags(1).Contains(TixMailMessageFlag::mfSeen));
    EXPECT_FALSE(view.imap.GetMessageFlags(2).Contains(TixMailMessageFlag::mfSeen));

    EXPECT_TRUE(shown.empty()) << LastShown();
}

// ---- Append ----

TEST_F(MessageActionsTest, AComposedMessageWithNonAsciiTextIsAppendedAndReadsBackTheSame) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiAppend");
    Login();
    SelectFolder(folder.QName());

    // The compose window opens editable with its sample text; Cancel appends nothing.
    std::size_t before = sent.size();
    OnDialog<TMessageForm>([](TMessageForm& window) {
        EXPECT_EQ(window.edtSubject->text(), "Test Subject");
        EXPECT_EQ(window.memBody->toPlainText(), "Test Body");
        EXPECT_EQ(window.edtFrom->text(), window.edtTo->text());
        EXPECT_FALSE(window.edtFrom->isReadOnly() || window.memBody->isReadOnly());
        EXPECT_TRUE(window.lvAttachments->isHidden());
        EXPECT_EQ(window.btnCancel->text(), "Cancel");
        window.btnCancel->click();
    });
    form->btnAppend->click();
    EXPECT_EQ(sent.size(), before);

    const QString subject = QString::fromUtf8("Grüße, € und ✓ für alle");
    const QString body = QString::fromUtf8("Привет, мир!\nZweite Zeile mit Umlauten: äöü\n\nEnde.");
    OnDialog<TMessageForm>([&](TMessageForm& window) {
        EXPECT_FALSE(window.btnAppend->isHidden());
        EXPECT_EQ(window.btnAppend->text(), "Append");
        window.edtFrom->setText(QString::fromUtf8("Jürgen Müller <juergen@example.org>"));
        window.edtTo->setText(QString::fromUtf8("Zoë Ångström <zoe@example.org>, bob@example.org"));
        window.edtSubject->setText(subject);
        window.memBody->setPlainText(body);
        SaveScreenshot("compose-window.png", &window);
        window.btnAppend->click();
    });
    form->btnAppend->click();
    EXPECT_TRUE(shown.empty()) << LastShown();
    EXPECT_EQ(SentCount("APPEND"), 1u);

    // The refreshed list shows it.
    std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(QString::fromStdString(rows[0][1]), subject);

    ASSERT_EQ(CountOn(view, folder.Name()), 1);
    view.imap.RetrieveHeader(1);
    const TixStringList& header = view.imap.ResponseList();
    for (int i = 0; i < header.Count(); ++i)
        for (unsigned char c : header.Strings(i))
            ASSERT_LT(c, 0x80) << "8-bit header line: " << header.Strings(i);

    // How another reader takes such a message is the mail interop round trip's case.
    TixMailMessage back;
    view.imap.RetrieveMessage(1, &back);
    EXPECT_EQ(QString::fromStdString(back.Subject()), subject);
    EXPECT_EQ(back.From().Name(), "Jürgen Müller");
    EXPECT_EQ(back.From().Email(), "juergen@example.org");
    ASSERT_EQ(back.ToList().Count(), 2);
    EXPECT_EQ(back.ToList().Items(0).Name(), "Zoë Ångström");
    EXPECT_EQ(back.ToList().Items(1).Email(), "bob@example.org");
    QStringList lines;
    for (int i = 0; i < back.MessageText().Count(); ++i)
        lines.append(QString::fromStdString(back.MessageText().Strings(i)));
    EXPECT_EQ(lines.join('\n'), body);
}

// ---- Copy, Delete, Purge ----

TEST_F(MessageActionsTest, CopyPutsTheMessageIntoTheChosenFolderAndRebuildsTheTree) {
    ServerView& view = View();
    ScratchFolder source(view, "GuiCopyFrom");
    ScratchFolder target(view, "GuiCopyTo");
    Put(view, source.Name(), Message("Copy me", "alice@example.org", "copied"));
    Put(view, source.Name(), Message("Not me", "alice@example.org", "stays"));
    Login();
    SelectFolder(source.QName());

    // Copy and Delete with nothing or several selected: no dialog, no command.
    std::size_t before = sent.size();
    for (QPushButton* button : {form->btnCopy, form->btnDelete}) {
        SelectRows({});
        button->click();
        SelectRows({0, 1});
        button->click();
    }
    EXPECT_EQ(dialogsShown, 0);
    EXPECT_EQ(sent.size(), before);

    SelectRows({0});
    QStringList offered;
    OnDialog<TCopyDialog>([&](TCopyDialog& copy) {
        for (int i = 0; i < copy.cbFolder->count(); ++i)
            offered.append(copy.cbFolder->itemText(i));
        EXPECT_EQ(copy.cbFolder->currentIndex(), 0);
        copy.cbFolder->setCurrentText(target.QName());
        copy.Button1->click();
    });
    form->btnCopy->click();
    EXPECT_TRUE(shown.empty()) << LastShown();
    EXPECT_TRUE(offered.contains("INBOX"));
    EXPECT_TRUE(offered.contains(target.QName()));
    EXPECT_EQ(form->lvMessages->topLevelItemCount(), 0);
    EXPECT_EQ(form->tvFolders->currentItem(), nullptr);
    EXPECT_NE(Node(target.QName()), nullptr);
    ASSERT_EQ(CountOn(view, target.Name()), 1);
    TixMailMessage copied;
    view.imap.RetrieveHeader(1, &copied);
    EXPECT_EQ(copied.Subject(), "Copy me");
    EXPECT_EQ(CountOn(view, source.Name()), 2);

    // Cancel copies nothing.
    SelectFolder(source.QName());
    SelectRows({1});
    OnDialog<TCopyDialog>([](TCopyDialog& dialog) { dialog.Button2->click(); });
    form->btnCopy->click();
    EXPECT_EQ(SentCount("COPY"), 1u);
    EXPECT_EQ(CountOn(view, target.Name()), 1);
}

TEST_F(MessageActionsTest, DeleteMarksOneMessageAndPurgeClosesAndSelectsAgain) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiPurge");
    Put(view, folder.Name(), Message("Goes away", "alice@example.org", "one"));
    Put(view, folder.Name(), Message("Stays here", "bob@example.org", "two"));
    Login();
    SelectFolder(folder.QName());
    ASSERT_EQ(Rows().size(), 2u);

    SelectRows({0});
    form->btnDelete->click();
    EXPECT_EQ(SentCount("STORE 1 +FLAGS.SILENT (\\Deleted)"), 1u);
    EXPECT_EQ(Rows()[0][3], "Deleted,");
    EXPECT_EQ(CountOn(view, folder.Name()), 2);

    // No keeps everything.
    answers.push_back(QMessageBox::No);
    std::size_t before = sent.size();
    form->btnPurge->click();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].icon, QMessageBox::Question);
    EXPECT_EQ(shown[0].text, "Purge all marked as deleted messages in selected folder ?");
    EXPECT_EQ(sent.size(), before);

    answers.push_back(QMessageBox::Yes);
    form->btnPurge->click();
    EXPECT_EQ(shown.size(), 2u) << LastShown();
    ASSERT_GE(sent.size(), before + 2);
    EXPECT_NE(sent[before].find("CLOSE"), std::string::npos) << sent[before];
    EXPECT_NE(sent[before + 1].find("SELECT \"" + folder.Name() + "\""), std::string::npos)
        << sent[before + 1];
    std::vector<Row> rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1], "Stays here");
    EXPECT_EQ(form->edtAll->text(), "1");
    EXPECT_EQ(CountOn(view, folder.Name()), 1);
}

// ---- Find ----

TEST_F(MessageActionsTest, FindSearchesByFromAndSubjectAndSaysWhatItFound) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiFind");
    Put(view, folder.Name(), Message("Quarterly numbers", "Alice <alice@example.org>", "zebra crossing"));
    Put(view, folder.Name(), Message("Lunch", "Bob <bob@example.org>", "nothing here"));
    Put(view, folder.Name(), Message("Numbers again", "Carol <carol@example.org>", "a zebra too"));
    Login();
    SelectFolder(folder.QName());

    auto search = [this](const char* in, const char* text) {
        OnDialog<TSearchDialog>([in, text](TSearchDialog& find) {
            find.cbSearchIn->setCurrentText(in);
            find.edtSearchFor->setText(text);
            find.btnSearch->click();
        });
        form->btnFind->click();
        return LastShown();
    };
    EXPECT_EQ(search("FROM", "alice"), "Found 1 message(s).\r\n Message numbers: \r\n1");
    EXPECT_EQ(SentCount("SEARCH FROM alice"), 1u);
    EXPECT_EQ(search("SUBJECT", "numbers"), "Found 2 message(s).\r\n Message numbers: \r\n1,3");
    EXPECT_EQ(search("SUBJECT", "nonexistentword"), "No messages found.");

    // The dialog refuses empty conditions and stays open until they are given.
    OnDialog<TSearchDialog>([](TSearchDialog& find) {
        find.btnSearch->click();
        EXPECT_NE(find.result(), QDialog::Accepted);
        find.edtSearchFor->setText("Lunch");
        find.btnSearch->click();
    });
    form->btnFind->click();
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[shown.size() - 2].text, "The search conditions can not be empty");
    EXPECT_EQ(LastShown(), "Found 1 message(s).\r\n Message numbers: \r\n2");
}

// ---- New folder ----

TEST_F(MessageActionsTest, NewFolderCreatesAtTopOrUnderTheSelectedFolder) {
    ServerView& view = View();
    ScratchFolder parent(view, "GuiParent");
    ScratchFolder top(view, "GuiNewTop", false), child(view, parent.Name() + "/Child", false);
    Login();

    // Cancel creates nothing.
    std::size_t before = sent.size();
    OnDialog<TNewFolderDialog>([](TNewFolderDialog& dialog) { dialog.Button2->click(); });
    form->btnNewFolder->click();
    EXPECT_EQ(sent.size(), before);

    OnDialog<TNewFolderDialog>([&](TNewFolderDialog& create) {
        create.edtName->clear();
        create.Button1->click();
        EXPECT_NE(create.result(), QDialog::Accepted);
        create.edtName->setText(top.QName());
        create.Button1->click();
    });
    form->btnNewFolder->click();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "The value can not be empty");
    EXPECT_TRUE(view.Listed(top.Name()));
    EXPECT_NE(Node(top.QName()), nullptr);

    SelectFolder(parent.QName());
    OnDialog<TNewFolderDialog>([&](TNewFolderDialog& create) {
        create.edtName->setText(child.QName().section('/', -1));
        create.cbIsSubfolder->setChecked(true);
        create.Button1->click();
    });
    form->btnNewFolder->click();
    EXPECT_EQ(shown.size(), 1u) << LastShown();
    EXPECT_TRUE(view.Listed(child.Name()));
    EXPECT_NE(Node(child.QName()), nullptr);
}

// The verdict arrives after the window opened: keys come from a worker, never the GUI thread.
TEST_F(MessageActionsTest, OpenedMessagesShowTheirDkimVerdict) {
    UseSandbox();
    ServerView view(info);
    ScratchFolder folder(view, "GuiDkim");
    TixOpenSslRsaKey key;
    key.GenerateKey();
    TixDkim signer;
    signer.SetDomain("example.org");
    signer.SetSelector("gui");
    signer.LoadSigningKey(key.PrivateKeyPem());
    TixStringList lines;
    lines.SetText(Message("Signed", "alice@example.org", "Signed body"));
    signer.Sign(lines);
    view.imap.AppendMessage(folder.Name(), lines, {});
    Put(view, folder.Name(), Message("Plain", "bob@example.org", "Plain body"));
    const TixByteArray publicKey = key.GetPublicKeyInfo();
    form->DkimSetupProc = [publicKey](TixDkim& dkim) {
        dkim.OnGetPublicKey = [publicKey](TixDkim*, TixDkimSignature&, TixByteArray& k) { k = publicKey; };
    };
    Login();
    SelectFolder(folder.QName());
    ASSERT_EQ(Rows().size(), 2u);
    std::vector<std::string> verdicts;
    auto readVerdict = [&](QDialog& dialog) {
        auto& window = dynamic_cast<TMessageForm&>(dialog);
        for (int slice = 0; slice < 500 && window.lblDkim->text() == "DKIM: checking..."; ++slice) {
            QEventLoop wait;
            QTimer::singleShot(20, &wait, &QEventLoop::quit);
            wait.exec();
        }
        verdicts.push_back(window.edtSubject->text().toStdString() + " " +
                           window.lblDkim->text().toStdString());
        return int(QDialog::Rejected);
    };
    for (int row = 0; row < 2; ++row) {
        dialogs.push_back(readVerdict);
        Open(row);
    }
    std::sort(verdicts.begin(), verdicts.end());
    EXPECT_EQ(verdicts, (std::vector<std::string>{"Plain DKIM: none", "Signed DKIM: pass (example.org)"}));
}

}  // namespace
}  // namespace ix
