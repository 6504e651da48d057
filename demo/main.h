#pragma once
// The client's main window: connection fields, Login/Logout, the folder tree with the selected
// folder's details, the folder buttons and the command log.
//
// Each button runs one blocking operation of the IMAP client. While it waits the window repaints
// and can be closed (closing aborts the wait), a busy indicator shows, and no second operation
// starts. Failures are shown as message boxes with the error's text.

#include <QMessageBox>
#include <QStringList>
#include <functional>
#include <memory>

#include "DemoBaseFormUnit.h"
#include "QtEventLoop.h"
#include "base/ixStringList.h"
#include "imap/ixImap4.h"
#include "mail/ixMailMessage.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace ix {

// Every message box of the window goes through one of these, so tests can answer them.
using TixMessageBoxProc = std::function<QMessageBox::StandardButton(
    QWidget* parent, QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons)>;

// Presets the connection fields from --server, --port, --user and --password (arguments[0] is the
// program); fields whose option is absent keep their defaults. Answers the parse error, if any.
class TForm1;
QString ApplyCommandLine(TForm1& form, const QStringList& arguments);

class TForm1 : public TixDemoBaseForm {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    TixMessageBoxProc MessageBoxProc;

    TixImap4 ixImap;
    TixMailMessage ixMailMessage;
    TixStringList SubscribedFolders;

    QLabel* Label1;
    QLineEdit* edtServer;
    QLabel* Label4;
    QLineEdit* edtUser;
    QLabel* Label5;
    QLineEdit* edtPassword;
    QCheckBox* cbUseSPA;
    QLabel* Label2;
    QLineEdit* edtPort;
    QLabel* Label3;
    QLineEdit* edtTimeOut;
    QPushButton* btnLogin;
    QPushButton* btnLogout;
    QTreeWidget* tvFolders;
    QGroupBox* GroupBox1;
    QLabel* Label7;
    QLineEdit* edtSubscribed;
    QLabel* Label8;
    QLineEdit* edtAll;
    QLabel* Label9;
    QLineEdit* edtRecent;
    QLabel* Label10;
    QLineEdit* edtFirstUnseen;
    QTreeWidget* lvMessages;
    QLabel* Label11;
    QPlainTextEdit* memLog;
    QPushButton* btnNewFolder;
    QPushButton* btnDeleteFolder;
    QPushButton* btnFind;
    QPushButton* btnSubscribe;
    QPushButton* btnUnsubscribe;
    QPushButton* btnAppend;
    QPushButton* btnCopy;
    QPushButton* btnDelete;
    QPushButton* btnPurge;
    QLabel* lblBusy;
    QProgressBar* pbBusy;

    // True while an operation waits for the server.
    bool Busy() const { return busy_; }

    void UpdateControls();
    void FillFolderList();
    void FillMessageList();
    QTreeWidgetItem* AddFolderToTree(const std::string& name);
    std::string GetFolderName(QTreeWidgetItem* node) const;
    bool IsSubscribed(const std::string& name) const;
    void SetSubscribed(const std::string& name, bool mark);

    void btnLoginClick();
    void btnLogoutClick();
    void tvFoldersChange();
    void btnDeleteFolderClick();
    void btnSubscribeClick();
    void btnUnsubscribeClick();
    void btnNewFolderClick() {}
    void btnFindClick() {}
    void btnAppendClick() {}
    void btnCopyClick() {}
    void btnDeleteClick() {}
    void btnPurgeClick() {}

    // The text the log shows for a command line: LOGIN passwords and SASL answers masked.
    std::string LogTextOfCommand(const std::string& text);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormDestroy();
    void ixImapSendCommand(TixObject* sender, const std::string& text);
    void ixImapReceiveResponse(TixObject* sender, TixStringList& list);
    void BuildControls();
    // Runs a handler as the one operation in progress: refused while another runs; its error is
    // shown unless the window was closed meanwhile.
    void RunOperation(const std::function<void()>& handler);
    void SetBusy(bool value);
    QMessageBox::StandardButton ShowMessage(QMessageBox::Icon icon, const QString& text,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    void ClearDetails();

    // Installed for the window's life; the destructor says LOGOUT through it before restoring the previous
    // hook.
    TixQtEventLoop eventLoop_;
    TixEventLoop* previousLoop_ = nullptr;
    bool busy_ = false;
    bool closeRequested_ = false;
    // The hierarchy separator the folder list was read with (no hierarchy when NUL).
    char folderSeparator_ = '/';
    // The command in progress carries credentials in its continuation lines.
    bool secretCommand_ = false;
    // The line before announced a literal that follows without the server's "+".
    bool literalFollows_ = false;
    std::unique_ptr<QObject> inputBlocker_;
};

}  // namespace ix
