#pragma once
// The fixture the client window's tests share: the window with its message boxes and dialogs
// answered by the test, its traffic recorded, and a second session that looks at the sandbox
// server behind the window's back.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointingDevice>
#include <QTreeWidget>
#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../imap/ixImapTestHelpers.h"
#include "ixLoopbackServer.h"
#include "ixTestSupport.h"
#include "main.h"

namespace ix::demotest {

inline QApplication& App() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ix_demo_gui_tests";
    static char* argv[] = {name, nullptr};
    // The offscreen platform names no mouse, so Qt makes one for the first synthetic mouse event.
    // Made here, before the application, Qt's list of devices outlives the application, which
    // would otherwise delete the device into the already destroyed list at exit.
    static const QPointingDevice* mouse = QPointingDevice::primaryPointingDevice();
    static QApplication app(argc, argv);
    (void)mouse;
    return app;
}

// Closes the session whatever happened: against a scripted server, the client lets go before the
// script is waited for.
struct CloseFirst {
    TixImap4& imap;
    ~CloseFirst() {
        try {
            imap.Close();
        } catch (...) {
        }
    }
};

// A second session of the same user that looks at the server behind the window's back.
class ServerView {
public:
    explicit ServerView(const test::SandboxInfo& info) {
        imap.SetServer(info.host);
        imap.SetPort(info.imapPort);
        imap.SetUserName(info.user);
        imap.SetPassword(info.password);
        imap.SetTimeOut(10000);
        imap.SetDisableGuiProcessing(true);
        imap.Open();
    }
    bool Listed(const std::string& name) { return test::Lists(imap, false, name); }
    bool Subscribed(const std::string& name) { return test::Lists(imap, true, name); }
    TixImap4 imap;
    CloseFirst closeFirst{imap};  // declared after the session, so it closes it first
};

struct ShownMessage {
    QMessageBox::Icon icon;
    std::string text;
};

// The window with its message boxes answered by the test and its traffic recorded beside the log.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        form = std::make_unique<TForm1>();
        form->MessageBoxProc = [this](QWidget*, QMessageBox::Icon icon, const QString& text,
                                      QMessageBox::StandardButtons buttons) {
            shown.push_back({icon, text.toStdString()});
            if (!answers.empty()) {
                auto answer = answers.front();
                answers.pop_front();
                return answer;
            }
            return buttons.testFlag(QMessageBox::Ok) ? QMessageBox::Ok : QMessageBox::Yes;
        };
        form->DialogProc = [this](QDialog& dialog) {
            ++dialogsShown;
            if (dialogs.empty()) {
                ADD_FAILURE() << "unexpected dialog " << dialog.windowTitle().toStdString();
                return int(QDialog::Rejected);
            }
            auto answer = std::move(dialogs.front());
            dialogs.pop_front();
            return answer(dialog);
        };
        auto send = form->ixImap.OnSendCommand;
        form->ixImap.OnSendCommand = [this, send](TixObject* sender, const std::string& text) {
            sent.push_back(text);
            send(sender, text);
        };
    }

    void TearDown() override { form.reset(); }

    // Points the fields at the sandbox, over the window's default STARTTLS with the sandbox's CA
    // trusted; the user and password are the window's defaults.
    void UseSandbox() {
        info = test::Sandbox();
        form->edtServer->setText(QString::fromStdString(info.host));
        form->edtPort->setText(QString::number(info.imapPort));
        form->edtTimeOut->setText("10");
        form->ixImap.SetCAFile(info.caFile);
    }

    // Points the fields at a scripted server, which speaks in the clear.
    void UseScriptedServer(const test::LoopbackServer& server) {
        form->SetSecurity(TixClientTlsMode::ctNone);
        form->edtServer->setText(QString::fromStdString(server.Host()));
        form->edtPort->setText(QString::number(server.Port()));
        form->edtTimeOut->setText("10");
    }

    // The second session, on the sandbox the fields now point at; it outlives the test's folders.
    ServerView& View() {
        UseSandbox();
        if (!view) view = std::make_unique<ServerView>(info);
        return *view;
    }

    void Login() {
        UseSandbox();
        form->btnLogin->click();
        ASSERT_TRUE(form->ixImap.Active()) << LastShown();
    }

    // Answers the next dialog, a Dialog, with `fill`, which ends by pressing one of its buttons.
    template <class Dialog>
    void OnDialog(std::function<void(Dialog&)> fill) {
        dialogs.push_back([fill = std::move(fill)](QDialog& dialog) {
            fill(dynamic_cast<Dialog&>(dialog));
            return dialog.result();
        });
    }

    // The node at a path of node texts, "/" between levels; nullptr when absent.
    QTreeWidgetItem* Node(const QString& path) const {
        QTreeWidgetItem* node = form->tvFolders->invisibleRootItem();
        for (const QString& part : path.split('/')) {
            QTreeWidgetItem* found = nullptr;
            for (int i = 0; i < node->childCount() && found == nullptr; ++i)
                if (node->child(i)->text(0) == part) found = node->child(i);
            if (found == nullptr) return nullptr;
            node = found;
        }
        return node;
    }

    std::size_t SentCount(const std::string& what) const {
        return std::count_if(sent.begin(), sent.end(),
                             [&](const std::string& line) { return line.find(what) != std::string::npos; });
    }
    std::string LastShown() const { return shown.empty() ? "" : shown.back().text; }

    std::string Log() const { return form->memLog->toPlainText().toStdString(); }

    std::unique_ptr<TForm1> form;
    test::SandboxInfo info;
    std::vector<ShownMessage> shown;
    std::deque<QMessageBox::StandardButton> answers;
    // The dialogs' answers in the order the dialogs open: each fills its dialog and presses a
    // button, and answers the dialog's result.
    std::deque<std::function<int(QDialog&)>> dialogs;
    int dialogsShown = 0;
    std::vector<std::string> sent;
    std::unique_ptr<ServerView> view;
};

// A folder of this test alone, removed again however the test ends.
class ScratchFolder {
public:
    // Not created here when the test has the window create it.
    ScratchFolder(ServerView& view, const std::string& stem, bool create = true)
        : view_(view), name_(stem + std::to_string(::getpid())) {
        if (create) view_.imap.CreateMailBox(name_);
    }
    ~ScratchFolder() {
        try {
            // Servers refuse, or end the session, when the selected folder is deleted under it.
            if (view_.imap.ConnectionState == TixImap4ConnectionState::csSelected &&
                view_.imap.CurrentMailBox().Name == name_)
                view_.imap.CloseMailBox();
            if (view_.Listed(name_)) {
                if (view_.Subscribed(name_)) view_.imap.UnsubscribeMailBox(name_);
                view_.imap.DeleteMailBox(name_);
            }
        } catch (...) {
        }
    }
    const std::string& Name() const { return name_; }
    QString QName() const { return QString::fromStdString(name_); }

private:
    ServerView& view_;
    std::string name_;
};

}  // namespace ix::demotest
