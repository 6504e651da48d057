#pragma once
// The client's small modal dialogs: a new folder's name, the search conditions and the folder a
// message is copied to, each refusing to close with OK while what it asks for is missing; and the
// question whether to trust a server certificate that failed verification.

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ix {

class TixCertificate;

// Every message box of the client goes through one of these, so tests can answer them.
using TixMessageBoxProc = std::function<QMessageBox::StandardButton(
    QWidget* parent, QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons)>;

// Runs a modal window and answers its result code; tests fill the fields and press the buttons
// instead of a person.
using TixDialogProc = std::function<int(QDialog& dialog)>;

// Asks where a file goes, proposing a name; empty when the user declines.
using TixSaveFileProc = std::function<QString(QWidget* parent, const QString& proposedName)>;

// The dialog frame the client's modal windows share: fixed size, the demos' font, and the message
// box its close checks answer through.
class TixDialog : public QDialog {
    Q_OBJECT
public:
    TixDialog(QWidget* parent, const char* caption, int width, int height);

    TixMessageBoxProc MessageBoxProc;

    // Whether the window may close with the result; OK results pass this first.
    virtual bool FormCloseQuery(int result);
    void done(int result) override;

protected:
    QPushButton* AddButton(const char* caption, int left, int top, int result);
    void ShowRefusal(const QString& text);
};

class TNewFolderDialog : public TixDialog {
    Q_OBJECT
public:
    explicit TNewFolderDialog(QWidget* parent = nullptr);
    bool FormCloseQuery(int result) override;

    QLabel* Label1;
    QLineEdit* edtName;
    QCheckBox* cbIsSubfolder;
    QPushButton* Button1;
    QPushButton* Button2;
};

class TSearchDialog : public TixDialog {
    Q_OBJECT
public:
    explicit TSearchDialog(QWidget* parent = nullptr);
    bool FormCloseQuery(int result) override;
    // The search keys as the server gets them: the field, a space, the text, unquoted.
    QString Criteria() const;

    QLabel* Label1;
    QComboBox* cbSearchIn;
    QLabel* Label2;
    QLineEdit* edtSearchFor;
    QPushButton* btnSearch;
    QPushButton* btnCancel;
};

class TCopyDialog : public TixDialog {
    Q_OBJECT
public:
    explicit TCopyDialog(const QStringList& folders, QWidget* parent = nullptr);
    // The chosen folder after OK; empty otherwise or when there was nothing to choose.
    QString ChosenFolder() const;

    QLabel* Label1;
    QComboBox* cbFolder;
    QPushButton* Button1;
    QPushButton* Button2;
};

// A server certificate that failed verification, with the reason; Accepted trusts it for the one
// connection being made, nothing is remembered.
class TCertificateDialog : public TixDialog {
    Q_OBJECT
public:
    TCertificateDialog(const TixCertificate& certificate, const QString& statusText, int statusCode,
                       QWidget* parent = nullptr);

    QLabel* lblReason;
    QLabel* lblSubject;
    QLabel* lblIssuer;
    QLabel* lblValidity;
    QLabel* lblFingerprint;
    QPushButton* btnAccept;
    QPushButton* btnCancel;
};

// The client's default ways to run a dialog and to ask for a file name: modal, on screen.
int ExecuteDialog(QDialog& dialog);
QString AskSaveFileName(QWidget* parent, const QString& proposedName);
QMessageBox::StandardButton ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                                           QMessageBox::StandardButtons buttons);

}  // namespace ix
