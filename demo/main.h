#pragma once
// The client's main window: connection fields, Login/Logout, the folder tree with the selected
// folder's details, the folder buttons and the command log. The folder tree, the message list and
// the log take whatever room the window has beyond the login fields and the button column.
//
// The security choice sets the port to its usual one unless the user gave another. Once logged in,
// the status bar says whether and how the connection is encrypted. A server certificate that fails
// verification is shown for the user to accept for this login or refuse.
//
// Each button runs one blocking operation of the IMAP client. While it waits the window repaints
// and can be closed (closing aborts the wait), a busy indicator shows, and no second operation
// starts. Failures are shown as message boxes with the error's text.
//
// The message list shows the selected folder's messages; a double click opens one. The message
// buttons open the dialogs of Dialogs.h and the message window of MessageForm.h.

#include <QMessageBox>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "DemoBaseFormUnit.h"
#include "Dialogs.h"
#include "MessageForm.h"
#include "QtEventLoop.h"
#include "base/ixStringList.h"
#include "imap/ixImap4.h"
#include "mail/ixMailMessage.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QSplitter;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace ix {

// Presets the connection fields from --server, --port, --user, --password and --security
// (none|starttls|tls), and the IMAP component's CA file from --ca-file (arguments[0] is the
// program); whatever is absent keeps its default. Answers the parse error, if any.
class TForm1;
QString ApplyCommandLine(TForm1& form, const QStringList& arguments);

class TForm1 : public TixDemoBaseForm {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    TixMessageBoxProc MessageBoxProc;
    // Runs the message window and the dialogs; tests fill them in and press their buttons.
    TixDialogProc DialogProc;
    // Asks where an attachment is saved.
    TixSaveFileProc SaveFileProc;
    // How an opened message's DKIM keys are found; unset, from DNS through the system's name servers.
    TixDkimSetupProc DkimSetupProc;

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
    QLabel* Label6;
    QComboBox* cbSecurity;
    QLabel* Label2;
    QLineEdit* edtPort;
    QLabel* Label3;
    QLineEdit* edtTimeOut;
    QPushButton* btnLogin;
    QPushButton* btnLogout;
    // Between the folder tree and the folder details with the message list; between those and the log.
    QSplitter* splFolders;
    QSplitter* splLog;
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
    QLabel* lblSecurity;

    // True while an operation waits for the server.
    bool Busy() const { return busy_; }

    TixClientTlsMode Security() const;
    void SetSecurity(TixClientTlsMode value);
    // A port the user chose: it stays when the security choice changes, unless it is that choice's
    // usual port.
    void SetChosenPort(const QString& port);

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
    void lvMessagesDblClick();
    void btnNewFolderClick();
    void btnFindClick();
    void btnAppendClick();
    void btnCopyClick();
    void btnDeleteClick();
    void btnPurgeClick();

    // The text the Flags column shows for the flags, each followed by a comma.
    static QString FlagsText(TixMailMessageFlags flags);

    // The text the log shows for a command line: LOGIN passwords and SASL answers masked.
    std::string LogTextOfCommand(const std::string& text);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormDestroy();
    void ixImapSendCommand(TixObject* sender, const std::string& text);
    void ixImapReceiveResponse(TixObject* sender, TixStringList& list);
    void ixImapVerifyServer(TixCertificate& certificate, const std::string& statusText, int statusCode,
                            bool& verified);
    void cbSecurityChange();
    void BuildControls();
    // Runs a handler as the one operation in progress: refused while another runs; its error is
    // shown unless the window was closed meanwhile.
    void RunOperation(const std::function<void()>& handler);
    void SetBusy(bool value);
    QMessageBox::StandardButton ShowMessage(QMessageBox::Icon icon, const QString& text,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    void ClearDetails();
    // The message rows selected, in list order.
    QList<QTreeWidgetItem*> SelectedRows() const;
    // Runs a modal window with the busy indicator lifted; the operation stays the one in progress.
    int RunDialog(QDialog& dialog);
    void PauseBusyIndicator(bool paused);
    // Lifts the busy indicator for its life: a window that waits for the user is no wait for the
    // server.
    class TixBusyPause {
    public:
        explicit TixBusyPause(TForm1& form) : form_(form), resume_(form.busy_ && !form.busyPaused_) {
            form_.PauseBusyIndicator(true);
        }
        ~TixBusyPause() {
            if (resume_) form_.PauseBusyIndicator(false);
        }
        TixBusyPause(const TixBusyPause&) = delete;
        TixBusyPause& operator=(const TixBusyPause&) = delete;

    private:
        TForm1& form_;
        bool resume_;
    };
    void ixImapProgress(std::int64_t done, std::int64_t total);
    // Back to the plain wait once a counted transfer or the list is done.
    void ResetBusyProgress();
    // The attachments of the message being read, in the order of its parts, with their data.
    std::vector<TixShownAttachment> Attachments();

    // Installed for the window's life; the destructor says LOGOUT through it before restoring the previous
    // hook.
    TixQtEventLoop eventLoop_;
    TixEventLoop* previousLoop_ = nullptr;
    bool busy_ = false;
    bool closeRequested_ = false;
    // The port field holds the user's own choice rather than the security's usual port.
    bool portChosen_ = false;
    // A dialog or message box waits for the user: the busy indicator is lifted meanwhile.
    bool busyPaused_ = false;
    // The hierarchy separator the folder list was read with (no hierarchy when NUL).
    char folderSeparator_ = '/';
    std::unique_ptr<QObject> inputBlocker_;
    // The decoded data of the attachments of the message being read, by part.
    std::map<const TixMessageBody*, QByteArray> attachmentData_;
};

}  // namespace ix
