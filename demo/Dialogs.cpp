#include "Dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "tls/ixCertificate.h"

namespace ix {

namespace {

QLabel* AddLabel(QWidget* owner, const char* caption, int left, int top) {
    auto* label = new QLabel(caption, owner);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QString DateTimeText(TixDateTime value) {
    TixDateParts parts = DecodeDateTime(value);
    return QDateTime(QDate(parts.year, parts.month, parts.day), QTime(parts.hour, parts.minute, parts.second))
        .toString("yyyy-MM-dd HH:mm:ss");
}

// Byte pairs between colons, sixteen to a line, as certificate viewers show them.
QString FingerprintText(const std::string& hex) {
    QString text;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (i > 0) text += i % 32 == 0 ? '\n' : ':';
        text += QString::fromStdString(hex.substr(i, 2));
    }
    return text;
}

}  // namespace

int ExecuteDialog(QDialog& dialog) {
    return dialog.exec();
}

QString AskSaveFileName(QWidget* parent, const QString& proposedName) {
    return QFileDialog::getSaveFileName(parent, "Save Attachment", QDir::home().filePath(proposedName));
}

QMessageBox::StandardButton ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                                           QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, parent != nullptr ? parent->windowTitle() : QString(), text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

// ---- TixDialog ----

TixDialog::TixDialog(QWidget* parent, const char* caption, int width, int height)
    : QDialog(parent), MessageBoxProc(ShowMessageBox) {
    setWindowTitle(caption);
    setFont(QFont("Tahoma", 8));
    setFixedSize(width, height);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

bool TixDialog::FormCloseQuery(int) {
    return true;
}

void TixDialog::done(int result) {
    // Cancel, Escape and the title bar's close button always close.
    if (result == QDialog::Accepted && !FormCloseQuery(result)) return;
    QDialog::done(result);
}

QPushButton* TixDialog::AddButton(const char* caption, int left, int top, int result) {
    auto* button = new QPushButton(caption, this);
    button->setGeometry(left, top, 75, 25);
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, [this, result] { done(result); });
    return button;
}

void TixDialog::ShowRefusal(const QString& text) {
    MessageBoxProc(this, QMessageBox::Warning, text, QMessageBox::Ok);
}

// ---- TNewFolderDialog ----

TNewFolderDialog::TNewFolderDialog(QWidget* parent) : TixDialog(parent, "New Folder", 326, 128) {
    Label1 = AddLabel(this, "New Folder Name", 24, 16);
    edtName = new QLineEdit("NewName", this);
    edtName->setGeometry(24, 35, 281, 21);
    cbIsSubfolder = new QCheckBox("Create as subfolder of the current folder", this);
    cbIsSubfolder->setGeometry(24, 62, 273, 17);
    Button1 = AddButton("OK", 136, 85, QDialog::Accepted);
    Button1->setDefault(true);
    Button2 = AddButton("Cancel", 230, 85, QDialog::Rejected);
}

bool TNewFolderDialog::FormCloseQuery(int result) {
    if (result != QDialog::Accepted || !edtName->text().isEmpty()) return true;
    ShowRefusal("The value can not be empty");
    return false;
}

// ---- TSearchDialog ----

TSearchDialog::TSearchDialog(QWidget* parent) : TixDialog(parent, "Find Message", 300, 161) {
    Label1 = AddLabel(this, "Search In", 32, 16);
    cbSearchIn = new QComboBox(this);
    cbSearchIn->setEditable(true);
    cbSearchIn->setGeometry(24, 35, 257, 21);
    cbSearchIn->addItems({"FROM", "SUBJECT", "TEXT"});
    cbSearchIn->setCurrentText("SUBJECT");
    Label2 = AddLabel(this, "Search For", 32, 64);
    edtSearchFor = new QLineEdit(this);
    edtSearchFor->setGeometry(24, 83, 257, 21);
    btnSearch = AddButton("Search", 88, 120, QDialog::Accepted);
    btnSearch->setDefault(true);
    btnCancel = AddButton("Cancel", 184, 120, QDialog::Rejected);
}

bool TSearchDialog::FormCloseQuery(int result) {
    if (result != QDialog::Accepted ||
        (!cbSearchIn->currentText().isEmpty() && !edtSearchFor->text().isEmpty()))
        return true;
    ShowRefusal("The search conditions can not be empty");
    return false;
}

QString TSearchDialog::Criteria() const {
    return cbSearchIn->currentText() + " " + edtSearchFor->text();
}

// ---- TCopyDialog ----

TCopyDialog::TCopyDialog(const QStringList& folders, QWidget* parent) : TixDialog(parent, "Copy", 328, 110) {
    Label1 = AddLabel(this, "Copy current message to:", 24, 16);
    cbFolder = new QComboBox(this);
    cbFolder->setEditable(false);
    cbFolder->setGeometry(24, 35, 289, 21);
    cbFolder->addItems(folders);
    cbFolder->setCurrentIndex(folders.isEmpty() ? -1 : 0);
    Button1 = AddButton("OK", 144, 71, QDialog::Accepted);
    Button1->setDefault(true);
    Button2 = AddButton("Cancel", 238, 71, QDialog::Rejected);
}

QString TCopyDialog::ChosenFolder() const {
    if (result() != QDialog::Accepted || cbFolder->currentIndex() < 0) return {};
    return cbFolder->currentText();
}

// ---- TCertificateDialog ----

TCertificateDialog::TCertificateDialog(const TixCertificate& certificate, const QString& statusText,
                                       int statusCode, QWidget* parent)
    : TixDialog(parent, "Server Certificate", 480, 250) {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(16, 16, 16, 12);
    grid->setColumnStretch(1, 1);
    auto* heading = new QLabel(
        "The server's certificate could not be verified. Accept it only if you know it to be the "
        "server's own.",
        this);
    heading->setWordWrap(true);
    grid->addWidget(heading, 0, 0, 1, 2);
    int row = 1;
    auto field = [&](const char* caption, const QString& text) {
        auto* value = new QLabel(text, this);
        value->setWordWrap(true);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(new QLabel(caption, this), row, 0, Qt::AlignTop);
        grid->addWidget(value, row++, 1);
        return value;
    };
    lblReason = field("Reason", QString("%1 (code %2)").arg(statusText).arg(statusCode));
    lblSubject = field("Subject", QString::fromStdString(certificate.Subject()));
    lblIssuer = field("Issuer", QString::fromStdString(certificate.Issuer()));
    lblValidity =
        field("Valid", QString("from %1 to %2")
                           .arg(DateTimeText(certificate.ValidFrom()), DateTimeText(certificate.ValidTo())));
    lblFingerprint = field("SHA-256", FingerprintText(certificate.Sha256Fingerprint()));
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(font().pointSize());
    lblFingerprint->setFont(fixed);
    grid->setRowStretch(row++, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    btnAccept = AddButton("Accept for this session", 0, 0, QDialog::Accepted);
    btnCancel = AddButton("Cancel", 0, 0, QDialog::Rejected);
    // Enter declines: trusting a stranger takes a deliberate click.
    btnCancel->setDefault(true);
    buttons->addWidget(btnAccept);
    buttons->addWidget(btnCancel);
    grid->addLayout(buttons, row, 0, 1, 2);
}

}  // namespace ix
