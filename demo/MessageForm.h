#pragma once
// The message window: shows a fetched message (sender, recipients, subject, readable text and its
// attachments, which can be saved), or takes a new message to append.

#include <QByteArray>
#include <QString>
#include <vector>

#include "Dialogs.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace ix {

class TixMailMessage;

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
    // Shows the message read-only, with the attachments given.
    static void ShowMessage(TixMailMessage& message, const std::vector<TixShownAttachment>& attachments,
                            QWidget* parent, const TixDialogProc& execute,
                            const TixMessageBoxProc& messageBox, const TixSaveFileProc& saveFileName);

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
    QLabel* lblAttachments;
    QTreeWidget* lvAttachments;
    QPushButton* btnSave;
    QPushButton* btnAppend;
    QPushButton* btnCancel;

private:
    std::vector<TixShownAttachment> attachments_;
};

}  // namespace ix
