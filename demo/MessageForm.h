#pragma once
// The message window: shows a fetched message (sender, recipients, subject, readable text and its
// attachments, which can be saved), or takes a new message to append.

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

#include "Dialogs.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace ix {

class TixMailMessage;
class TixDkim;
class TixStringList;

// Points a DKIM component at its keys (a name server, or OnGetPublicKey); runs on a worker thread.
using TixDkimSetupProc = std::function<void(TixDkim& dkim)>;

// One attachment of a shown message, its data decoded.
struct TixShownAttachment {
    QString name;
    QByteArray data;
};

class TMessageForm : public TixDialog {
    Q_OBJECT
public:
    // The sender and recipient a new message starts with.
    static constexpr const char* SampleAddress = "TarvelTester <tarveltester@localhost>";

    explicit TMessageForm(QWidget* parent = nullptr);

    // Shows the window for a new message; on Append fills the message from it and answers true.
    // On Cancel the message stays as it was.
    static bool ComposeMessage(TixMailMessage& message, QWidget* parent, const TixDialogProc& execute,
                               const TixMessageBoxProc& messageBox);
    // Shows the message read-only, with the attachments given. With its source lines, the DKIM
    // verdict follows in the window once the keys have been fetched.
    static void ShowMessage(TixMailMessage& message, const std::vector<TixShownAttachment>& attachments,
                            QWidget* parent, const TixDialogProc& execute,
                            const TixMessageBoxProc& messageBox, const TixSaveFileProc& saveFileName,
                            const TixStringList* source = nullptr, const TixDkimSetupProc& setupDkim = {});
    // "DKIM: pass (example.org)", "DKIM: fail (example.org): <why>" or "DKIM: none": the first
    // signature that verified, else the first that failed.
    static QString DkimVerdict(const TixDkim& dkim);
    // Verifies source on a worker thread (keys from DNS with a short time-out, never the GUI
    // thread's wait) and shows the verdict in lblDkim when it arrives, if the window still exists.
    void StartDkimCheck(const TixStringList& source, const TixDkimSetupProc& setupDkim);
    // Waits for the checks still running and drops their verdicts; the main window calls it as it
    // goes, before the application does.
    static void FinishDkimChecks();

    // Plain text of an HTML document; nothing it refers to is loaded.
    static QString HtmlToPlainText(const QString& html);
    // The text of a message as the window shows it: HTML as plain text.
    static QString ReadableText(TixMailMessage& message);

    void SetComposeMode();
    void SetViewMode(const std::vector<TixShownAttachment>& attachments);
    // Writes the selected attachment to the file the user names; false when nothing was written.
    bool btnSaveClick();

    TixSaveFileProc SaveFileNameProc;

    QLabel* Label1;
    QLineEdit* edtFrom;
    QLabel* Label2;
    QLineEdit* edtTo;
    QLabel* Label3;
    QLineEdit* edtSubject;
    QPlainTextEdit* memBody;
    QLabel* lblDkim;
    QLabel* lblAttachments;
    QTreeWidget* lvAttachments;
    QPushButton* btnSave;
    QPushButton* btnAppend;
    QPushButton* btnCancel;

private:
    std::vector<TixShownAttachment> attachments_;
};

}  // namespace ix
