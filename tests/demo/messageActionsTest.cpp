// The message list, the message window, the dialogs and the message buttons of the client window.

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

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
            rows.push_back({item->text(0).toStdString(), item->text(1).toStdString(),
                            item->text(2).toStdString(), item->text(3).toStdString()});
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
        form->lvMessages->setCurrentItem(item);
        emit form->lvMessages->itemDoubleClicked(item, 0);
    }

    void SelectFolder(const QString& path) {
        QTreeWidgetItem* node = Node(path);
        ASSERT_NE(node, nullptr) << path.toStdString();
        form->tvFolders->setCurrentItem(node);
    }
};

// ---- The message window on its own ----

TEST(MessageWindowTest, SavingProposesOnlyTheBareNameAndReportsAFailedWriteAndHtmlShowsAsText) {
    App();
    TMessageForm window;
    std::vector<std::string> shown;
    window.MessageBoxProc = [&](QWidget*, QMessageBox::Icon, const QString& text,
                                QMessageBox::StandardButtons) {
        shown.push_back(text.toStdString());
        return QMessageBox::Ok;
    };
    window.SetViewMode({{"../../etc/cron.d/evil?.sh", QByteArray("#!/bin/sh\n", 10)}});
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

    // Of the alternatives, the HTML one is shown, as text (through a document that loads nothing
    // the HTML refers to; its text is the document's own). A plain message's text is the opened
    // message's case.
    TixMailMessage message;
    TixStringList lines;
    lines.SetText(SeedMessage("inbox-2-alternative.eml"));
    message.LoadMessage(lines);
    EXPECT_EQ(TMessageForm::ReadableText(message).trimmed(), "HTML version");
}

// ---- Answers a real server does not give ----

// The server's answer to the window's FETCH of one message's header.
test::LoopbackPeer::Step HeaderFetch(const std::string& tag, int number, const std::string& header) {
    const std::string n = std::to_string(number);
    return {tag + " FETCH " + n + " (BODY.PEEK[HEADER])\r\n", "* " + n + " FETCH (BODY[HEADER] {" +
                                                                  std::to_string(header.size()) + "}\r\n" +
                                                                  header + ")\r\n" + tag + " OK\r\n"};
}

// Refused fetches of a list's rows, a refused DELETE of the selected folder, then the connection
// lost in the middle of a list.
void RefusingServerScript(test::LoopbackPeer& peer) {
    const std::string fine = "Subject: Fine\r\nFrom: A <a@example.org>\r\n\r\n";
    const std::string shared = "Subject: Shared news\r\n\r\n";
    peer.Send("* OK ready\r\n");
    peer.Play({
        {"a0001 LOGIN \"TarvelTester\" \"quartzmellow\"\r\n", "a0001 OK logged in\r\n"},
        {"a0002 LIST \"\" \"*\"\r\n",
         "* LIST () \"/\" INBOX\r\n* LIST () \"/\" Box\r\n* LIST () \"/\" Shared\r\n"
         "* LIST () \"/\" Gone\r\na0002 OK\r\n"},
        {"a0003 LSUB \"\" \"*\"\r\n", "a0003 OK\r\n"},
        {"a0004 SELECT \"Box\"\r\n", "* 3 EXISTS\r\n* 0 RECENT\r\na0004 OK [READ-WRITE] selected\r\n"},
        HeaderFetch("a0005", 1, fine),
        {"a0006 FETCH 1 (FLAGS)\r\n", "* 1 FETCH (FLAGS (\\Seen))\r\na0006 OK\r\n"},
        {"a0007 FETCH 2 (BODY.PEEK[HEADER])\r\n", "a0007 NO [SERVERBUG] message 2 is damaged\r\n"},
        HeaderFetch("a0008", 3, fine),
        {"a0009 FETCH 3 (FLAGS)\r\n", "a0009 BAD flags unavailable\r\n"},
        {"a0010 SELECT \"Shared\"\r\n", "* 1 EXISTS\r\n* 1 RECENT\r\na0010 OK [READ-WRITE] selected\r\n"},
        HeaderFetch("a0011", 1, shared),
        {"a0012 FETCH 1 (FLAGS)\r\n", "* 1 FETCH (FLAGS ())\r\na0012 OK\r\n"},
        {"a0013 SELECT \"INBOX\"\r\n", "* 0 EXISTS\r\n* 0 RECENT\r\na0013 OK [READ-WRITE] selected\r\n"},
        {"a0014 DELETE \"Shared\"\r\n", "a0014 NO [NOPERM] Permission denied\r\n"},
        {"a0015 SELECT \"Shared\"\r\n", "* 1 EXISTS\r\n* 0 RECENT\r\na0015 OK [READ-WRITE] selected\r\n"},
        HeaderFetch("a0016", 1, shared),
        {"a0017 FETCH 1 (FLAGS)\r\n", "* 1 FETCH (FLAGS ())\r\na0017 OK\r\n"},
        {"a0018 SELECT \"Gone\"\r\n", "* 500 EXISTS\r\na0018 OK [READ-WRITE] selected\r\n"},
        {"a0019 FETCH 1 (BODY.PEEK[HEADER])\r\n", "* BYE going away\r\n"},
    });
    peer.Close();
}

TEST_F(MessageActionsTest, RefusedRowsARefusedDeleteAndALostConnection) {
    test::LoopbackServer server;
    server.Serve(RefusingServerScript);
    CloseFirst closeFirst{form->ixImap};
    UseScriptedServer(server);
    form->btnLogin->click();
    ASSERT_TRUE(form->ixImap.Active()) << LastShown();
    {
        SCOPED_TRACE("a message the server refuses becomes a bad message row, and the rest load");
        SelectFolder("Box");
        EXPECT_TRUE(shown.empty()) << LastShown();
        // One row per message, even when only its flags fail.
        EXPECT_EQ(Rows(), (std::vector<Row>{{"1", "Fine", "A <a@example.org>", "Seen,"},
                                            {"2", "(bad message)", "", ""},
                                            {"3", "(bad message)", "", ""}}));
    }
    {
        SCOPED_TRACE("the selected folder is left for INBOX before its DELETE, selected again when refused");
        SelectFolder("Shared");
        form->btnDeleteFolder->click();
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[1].text, "a0014 NO [NOPERM] Permission denied");
        EXPECT_EQ(form->ixImap.CurrentMailBox().Name, "Shared");
        EXPECT_EQ(form->tvFolders->currentItem(), Node("Shared"));
        EXPECT_EQ(Rows(), (std::vector<Row>{{"1", "Shared news", "", ""}}));
        shown.clear();
    }
    {
        SCOPED_TRACE("a lost connection ends the list and is shown");
        SelectFolder("Gone");
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].icon, QMessageBox::Critical);
        EXPECT_FALSE(form->ixImap.Active());
        EXPECT_EQ(form->lvMessages->topLevelItemCount(), 0);
        EXPECT_EQ(SentCount("FETCH"), 10u);
    }
    EXPECT_EQ(server.Join(), "");
}

// ---- The buttons in turn on one folder of a real server ----

TEST_F(MessageActionsTest, ListFindNewFolderCopyDeletePurgeAndAppendInOneSession) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiMessages"), empty(view, "GuiEmpty");
    // Made by the window; removed before its parent.
    ScratchFolder child(view, folder.Name() + "/Child", false);
    Put(view, folder.Name(), Message("Quarterly numbers", "Alice Example <alice@example.org>", "one"),
        {TixMailMessageFlag::mfSeen, TixMailMessageFlag::mfDeleted});
    Put(view, folder.Name(), Message("Lunch", "bob@example.org", "two"));
    Put(view, folder.Name(), Message("Numbers again", "Carol <carol@example.org>", "three"),
        {TixMailMessageFlag::mfFlagged, TixMailMessageFlag::mfAnswered});
    Login();
    {
        SCOPED_TRACE("the list shows numbers, subjects, senders and flags in order");
        SelectFolder(folder.QName());
        EXPECT_TRUE(shown.empty()) << LastShown();
        EXPECT_EQ(Rows(),
                  (std::vector<Row>{
                      {"1", "Quarterly numbers", "\"Alice Example\" <alice@example.org>", "Deleted,Seen,"},
                      {"2", "Lunch", "bob@example.org", ""},
                      {"3", "Numbers again", "Carol <carol@example.org>", "Answered,Flagged,"}}));
        // An empty folder sends no FETCH.
        SelectFolder(empty.QName());
        EXPECT_EQ(form->edtAll->text(), "0");
        EXPECT_EQ(form->lvMessages->topLevelItemCount(), 0);
        EXPECT_EQ(SentCount("FETCH"), 6u);
    }
    {
        SCOPED_TRACE("Find searches by the chosen field and says what it found");
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
        EXPECT_EQ(search("SUBJECT", "numbers"), "Found 2 message(s).\r\n Message numbers: \r\n1,3");
        EXPECT_EQ(search("FROM", "nonexistentword"), "No messages found.");
        // An empty value refused with the dialog left open is New Folder's case.
        shown.clear();
    }
    {
        // At the top the name is taken as typed, the simpler branch of the same dialog.
        SCOPED_TRACE("New Folder creates under the selected folder once it has a name");
        SelectFolder(folder.QName());
        OnDialog<TNewFolderDialog>([&](TNewFolderDialog& create) {
            create.edtName->clear();
            create.Button1->click();
            EXPECT_NE(create.result(), QDialog::Accepted);
            create.edtName->setText(child.QName().section('/', -1));
            create.cbIsSubfolder->setChecked(true);
            create.Button1->click();
        });
        form->btnNewFolder->click();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, "The value can not be empty");
        EXPECT_TRUE(view.Listed(child.Name()));
        EXPECT_NE(Node(child.QName()), nullptr);
        shown.clear();
    }
    {
        SCOPED_TRACE("Copy puts the message into the chosen folder and rebuilds the tree");
        SelectFolder(folder.QName());
        SelectRows({0});
        // The list offers no text of its own: only a folder it offers can be chosen, and the copy
        // landing in the new folder shows it was offered.
        OnDialog<TCopyDialog>([&](TCopyDialog& copy) {
            copy.cbFolder->setCurrentText(child.QName());
            copy.Button1->click();
        });
        form->btnCopy->click();
        EXPECT_TRUE(shown.empty()) << LastShown();
        ASSERT_EQ(CountOn(view, child.Name()), 1);
        TixMailMessage copied;
        view.imap.RetrieveHeader(1, &copied);
        EXPECT_EQ(copied.Subject(), "Quarterly numbers");
        EXPECT_EQ(CountOn(view, folder.Name()), 3);
        SelectFolder(folder.QName());
    }
    {
        SCOPED_TRACE("Delete marks one message, Purge closes and selects again");
        SelectRows({1});
        form->btnDelete->click();
        EXPECT_EQ(Rows()[1][3], "Deleted,");
        // No keeps everything.
        answers.push_back(QMessageBox::No);
        std::size_t before = sent.size();
        form->btnPurge->click();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, "Purge all marked as deleted messages in selected folder ?");
        EXPECT_EQ(sent.size(), before);
        answers.push_back(QMessageBox::Yes);
        form->btnPurge->click();
        EXPECT_EQ(shown.size(), 2u) << LastShown();
        // Both messages marked deleted went, and the folder is selected again.
        ASSERT_EQ(Rows().size(), 1u);
        EXPECT_EQ(Rows()[0][1], "Numbers again");
        EXPECT_EQ(CountOn(view, folder.Name()), 1);
        shown.clear();
    }
    {
        SCOPED_TRACE("a composed message with non-ASCII text is appended and reads back the same");
        const QString subject = QString::fromUtf8("Grüße, € und ✓ für alle");
        const QString body = QString::fromUtf8("Привет, мир!\nZweite Zeile mit Umlauten: äöü\n\nEnde.");
        OnDialog<TMessageForm>([&](TMessageForm& window) {
            window.edtFrom->setText(QString::fromUtf8("Jürgen Müller <juergen@example.org>"));
            window.edtTo->setText(QString::fromUtf8("Zoë Ångström <zoe@example.org>, bob@example.org"));
            window.edtSubject->setText(subject);
            window.memBody->setPlainText(body);
            window.btnAppend->click();
        });
        form->btnAppend->click();
        EXPECT_TRUE(shown.empty()) << LastShown();
        // The refreshed list shows it.
        ASSERT_EQ(Rows().size(), 2u);
        ASSERT_EQ(CountOn(view, folder.Name()), 2);
        view.imap.RetrieveHeader(2);
        const std::string header = view.imap.ResponseList().Text();
        EXPECT_TRUE(std::all_of(header.begin(), header.end(), [](unsigned char c) { return c < 0x80; }))
            << header;
        // How another reader takes such a message is the mail interop round trip's case.
        TixMailMessage back;
        view.imap.RetrieveMessage(2, &back);
        EXPECT_EQ(QString::fromStdString(back.Subject()), subject);
        EXPECT_EQ(QString::fromStdString(back.MessageText().Text()).replace("\r\n", "\n"), body + "\n");
    }
}

// ---- Opening a message ----

// The DKIM verdict arrives after the window opened: keys come from a worker, never the GUI thread.
QString DkimVerdict(TMessageForm& window) {
    for (int slice = 0; slice < 500 && window.lblDkim->text() == "DKIM: checking..."; ++slice) {
        QEventLoop wait;
        QTimer::singleShot(20, &wait, &QEventLoop::quit);
        wait.exec();
    }
    return window.lblDkim->text();
}

TEST_F(MessageActionsTest, OpeningAMessageShowsItWithItsDkimVerdictAndSetsSeen) {
    ServerView& view = View();
    ScratchFolder folder(view, "GuiOpen");
    Put(view, folder.Name(), SeedMessage("inbox-3-attachment.eml"));
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
    view.imap.SelectMailBox(folder.Name());
    const TixByteArray publicKey = key.GetPublicKeyInfo();
    form->DkimSetupProc = [publicKey](TixDkim& dkim) {
        dkim.OnGetPublicKey = [publicKey](TixDkim*, TixDkimSignature&, TixByteArray& k) { k = publicKey; };
    };
    Login();
    SelectFolder(folder.QName());
    ASSERT_EQ(Rows().size(), 2u);
    EXPECT_EQ(Rows()[0][3], "");

    // Saving an attachment is the message window's own case.
    OnDialog<TMessageForm>([&](TMessageForm& window) {
        EXPECT_EQ(window.edtSubject->text(), "Report attached");
        EXPECT_NE(window.edtFrom->text().indexOf("carol@example.org"), -1);
        EXPECT_EQ(window.memBody->toPlainText(), "See the attachment.");
        // The busy guard while the window is up is the certificate question's case.
        EXPECT_EQ(DkimVerdict(window), "DKIM: none");
        ASSERT_EQ(window.lvAttachments->topLevelItemCount(), 1);
        EXPECT_EQ(window.lvAttachments->topLevelItem(0)->text(0), "report.bin");
        EXPECT_EQ(window.lvAttachments->topLevelItem(0)->text(1), QLocale().formattedDataSize(32));
        window.btnCancel->click();
    });
    Open(0);
    EXPECT_TRUE(shown.empty()) << LastShown();
    EXPECT_EQ(dialogsShown, 1);

    // The peek fetch does not mark it; the STORE after it does, and the list was read again.
    EXPECT_EQ(SentCount("STORE 1 +FLAGS.SILENT (\\Seen)"), 1u);
    EXPECT_EQ(Rows()[0][3], "Seen,");

    OnDialog<TMessageForm>([](TMessageForm& window) {
        EXPECT_EQ(window.edtSubject->text(), "Signed");
        EXPECT_EQ(DkimVerdict(window), "DKIM: pass (example.org)");
        window.btnCancel->click();
    });
    Open(1);
    EXPECT_TRUE(shown.empty()) << LastShown();
}

}  // namespace
}  // namespace ix
