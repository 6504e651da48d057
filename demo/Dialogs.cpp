#include "Dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace ix {

namespace {

QLabel* AddLabel(QWidget* owner, const char* caption, int left, int top) {
    auto* label = new QLabel(caption, owner);
    label->move(left, top);
    label->adjustSize();
    return label;
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

}  // namespace ix
