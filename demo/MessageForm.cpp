#include "MessageForm.h"

#include <QCoreApplication>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextDocument>
#include <QTreeWidget>
#include <chrono>
#include <future>
#include <mutex>
#include <vector>

#include "dkim/ixDkim.h"
#include "mail/ixMailMessage.h"
#include "mail/ixMessageBodies.h"

namespace ix {

namespace {

constexpr int ComposeHeight = 312;
constexpr int ViewHeight = 392;

std::string Utf8(const QString& text) {
    return text.toStdString();
}

QString Local(const std::string& text) {
    return QString::fromStdString(text);
}

QString Lines(const TixStringList& lines) {
    QStringList result;
    for (int i = 0; i < lines.Count(); ++i)
        result.append(Local(lines.Strings(i)));
    return result.join('\n');
}

// A document that never fetches what the HTML refers to: no images, style sheets or anything
// else, local or remote.
class TixOfflineDocument : public QTextDocument {
protected:
    QVariant loadResource(int, const QUrl&) override { return {}; }
};

// The first HTML part, as the readable text picks it.
bool HasHtmlPart(const TixMessageBodies& bodies) {
    for (int i = 0; i < bodies.Count(); ++i) {
        TixMessageBody& part = bodies[i];
        if (auto* multipart = dynamic_cast<TixMultipartBody*>(&part)) {
            if (HasHtmlPart(multipart->Bodies())) return true;
        } else if (auto* text = dynamic_cast<TixTextBody*>(&part)) {
            if (SameText(text->ContentType(), "text/html")) return true;
        }
    }
    return false;
}

}  // namespace

TMessageForm::TMessageForm(QWidget* parent) : TixDialog(parent, "Message Details", 480, ComposeHeight) {
    auto field = [this](const char* caption, int top, QLabel*& label, QLineEdit*& edit, const char* text) {
        label = new QLabel(caption, this);
        label->move(16, top + 3);
        label->adjustSize();
        edit = new QLineEdit(text, this);
        edit->setGeometry(64, top, 393, 21);
    };
    field("From", 16, Label1, edtFrom, SampleAddress);
    field("To", 40, Label2, edtTo, SampleAddress);
    field("Subject", 64, Label3, edtSubject, "Test Subject");
    memBody = new QPlainTextEdit(this);
    memBody->setGeometry(18, 104, 441, 153);
    memBody->setLineWrapMode(QPlainTextEdit::NoWrap);
    memBody->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memBody->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    lblDkim = new QLabel(this);
    lblDkim->setGeometry(18, ViewHeight - 36, 358, 20);
    lblAttachments = new QLabel("Attachments", this);
    lblAttachments->move(18, 262);
    lblAttachments->adjustSize();
    lvAttachments = new QTreeWidget(this);
    lvAttachments->setGeometry(18, 278, 358, 64);
    lvAttachments->setRootIsDecorated(false);
    lvAttachments->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvAttachments->setHeaderLabels({"Name", "Size"});
    lvAttachments->setColumnWidth(0, 230);
    lvAttachments->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    btnSave = new QPushButton("Save...", this);
    btnSave->setGeometry(384, 278, 75, 25);
    btnSave->setAutoDefault(false);
    connect(btnSave, &QPushButton::clicked, this, [this] { btnSaveClick(); });
    connect(lvAttachments, &QTreeWidget::itemDoubleClicked, this, [this] { btnSaveClick(); });

    btnAppend = AddButton("Append", 278, 272, QDialog::Accepted);
    btnCancel = AddButton("Cancel", 382, 272, QDialog::Rejected);
    SetComposeMode();
}

void TMessageForm::SetComposeMode() {
    btnAppend->setVisible(true);
    btnAppend->setDefault(true);
    btnCancel->setText("Cancel");
    for (QLineEdit* edit : {edtFrom, edtTo, edtSubject})
        edit->setReadOnly(false);
    memBody->setReadOnly(false);
    edtFrom->setText(SampleAddress);
    edtTo->setText(SampleAddress);
    edtSubject->setText("Test Subject");
    memBody->setPlainText("Test Body");
    for (QWidget* control : std::initializer_list<QWidget*>{lblAttachments, lvAttachments, btnSave, lblDkim})
        control->setVisible(false);
    btnAppend->move(278, ComposeHeight - 40);
    btnCancel->move(382, ComposeHeight - 40);
    setFixedSize(480, ComposeHeight);
}

void TMessageForm::SetViewMode(const std::vector<TixShownAttachment>& attachments) {
    btnAppend->setVisible(false);
    btnCancel->setText("Close");
    btnCancel->setDefault(true);
    QPalette shaded = palette();
    shaded.setColor(QPalette::Base, shaded.color(QPalette::Window));
    for (QLineEdit* edit : {edtFrom, edtTo, edtSubject}) {
        edit->setReadOnly(true);
        edit->setPalette(shaded);
    }
    memBody->setReadOnly(true);
    memBody->setPalette(shaded);

    attachments_ = attachments;
    lvAttachments->clear();
    const QLocale locale;
    for (const TixShownAttachment& attachment : attachments_)
        new QTreeWidgetItem(lvAttachments,
                            {attachment.name, locale.formattedDataSize(attachment.data.size())});
    if (lvAttachments->topLevelItemCount() > 0) lvAttachments->setCurrentItem(lvAttachments->topLevelItem(0));
    for (QWidget* control : std::initializer_list<QWidget*>{lblAttachments, lvAttachments, btnSave, lblDkim})
        control->setVisible(true);
    btnSave->setEnabled(!attachments_.empty());
    btnCancel->move(382, ViewHeight - 40);
    setFixedSize(480, ViewHeight);
}

bool TMessageForm::btnSaveClick() {
    int index = lvAttachments->indexOfTopLevelItem(lvAttachments->currentItem());
    if (index < 0 || index >= static_cast<int>(attachments_.size())) return false;
    const TixShownAttachment& attachment = attachments_[static_cast<std::size_t>(index)];
    // The name came from the message: only its last component, and no characters file systems refuse.
    QString proposed = Local(SanitizeFileName(ExtractFileName(Utf8(attachment.name))));
    QString path = SaveFileNameProc ? SaveFileNameProc(this, proposed) : QString();
    if (path.isEmpty()) return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(attachment.data) != attachment.data.size() || !file.flush()) {
        QString error = file.errorString();
        file.close();
        MessageBoxProc(this, QMessageBox::Critical,
                       QString("The attachment could not be saved to %1: %2").arg(path, error),
                       QMessageBox::Ok);
        return false;
    }
    return true;
}

QString TMessageForm::HtmlToPlainText(const QString& html) {
    TixOfflineDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

QString TMessageForm::ReadableText(TixMailMessage& message) {
    QString text = Lines(message.MessageText());
    return HasHtmlPart(message.Bodies()) ? HtmlToPlainText(text) : text;
}

bool TMessageForm::ComposeMessage(TixMailMessage& message, QWidget* parent, const TixDialogProc& execute,
                                  const TixMessageBoxProc& messageBox) {
    TMessageForm form(parent);
    form.MessageBoxProc = messageBox;
    form.SetComposeMode();
    if (execute(form) != QDialog::Accepted) return false;

    // A new message: nothing of the one shown last (its identifiers, copies, date, parts) carries over.
    message.BeginUpdate();
    struct EndUpdate {
        TixMailMessage& message;
        ~EndUpdate() { message.EndUpdate(); }
    } endUpdate{message};
    message.Clear();
    message.BuildMessage(Utf8(form.memBody->toPlainText().replace('\n', "\r\n")), "");
    message.From().SetFullAddress(Utf8(form.edtFrom->text()));
    message.ToList().SetEmailAddresses(Utf8(form.edtTo->text()));
    message.SetSubject(Utf8(form.edtSubject->text()));
    return true;
}

void TMessageForm::ShowMessage(TixMailMessage& message, const std::vector<TixShownAttachment>& attachments,
                               QWidget* parent, const TixDialogProc& execute,
                               const TixMessageBoxProc& messageBox, const TixSaveFileProc& saveFileName,
                               const TixStringList* source, const TixDkimSetupProc& setupDkim) {
    TMessageForm form(parent);
    form.MessageBoxProc = messageBox;
    form.SaveFileNameProc = saveFileName;
    form.SetViewMode(attachments);
    form.edtFrom->setText(Local(message.From().FullAddress()));
    form.edtTo->setText(Local(message.ToList().EmailAddresses()));
    form.edtSubject->setText(Local(message.Subject()));
    form.memBody->setPlainText(ReadableText(message));
    for (QLineEdit* edit : {form.edtFrom, form.edtTo, form.edtSubject})
        edit->setCursorPosition(0);
    if (source != nullptr) form.StartDkimCheck(*source, setupDkim);
    execute(form);
}

QString TMessageForm::DkimVerdict(const TixDkim& dkim) {
    const TixDkimSignatureList& signatures = dkim.Signatures();
    for (const auto& signature : signatures)
        if (signature->VerifyStatus.State == TixDkimVerifyState::vsVerified)
            return "DKIM: pass (" + Local(signature->Domain) + ")";
    for (const auto& signature : signatures)
        if (signature->VerifyStatus.State == TixDkimVerifyState::vsFailed)
            return "DKIM: fail (" + Local(signature->Domain) +
                   "): " + Local(signature->VerifyStatus.ErrorText);
    return "DKIM: none";
}

namespace {

// The DKIM checks still running. The main window waits for them as it goes (at most their DNS
// time-out), so that no check outlives the libraries it uses or posts to a dead application.
struct TixDkimChecks {
    std::mutex mutex;
    bool closing = false;
    std::vector<std::future<void>> running;

    ~TixDkimChecks() { Finish(); }
    void Start(std::function<void()> work) {
        std::lock_guard lock(mutex);
        std::erase_if(running, [](const std::future<void>& f) {
            return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        });
        running.push_back(std::async(std::launch::async, std::move(work)));
    }
    void Finish() {
        std::vector<std::future<void>> ending;
        {
            std::lock_guard lock(mutex);
            closing = true;
            ending.swap(running);
        }
        ending.clear();  // each future's destructor waits for its check
        std::lock_guard lock(mutex);
        closing = false;  // a later main window starts afresh
    }
};

TixDkimChecks& DkimChecks() {
    static TixDkimChecks checks;
    return checks;
}

}  // namespace

void TMessageForm::FinishDkimChecks() {
    DkimChecks().Finish();
}

void TMessageForm::StartDkimCheck(const TixStringList& source, const TixDkimSetupProc& setupDkim) {
    lblDkim->setText("DKIM: checking...");
    // The worker owns copies of everything it reads; the label is only touched on the GUI thread,
    // through a guard that knows whether the window has closed meanwhile.
    QPointer<QLabel> label(lblDkim);
    DkimChecks().Start([lines = source, setupDkim, label] {
        QString verdict;
        try {
            TixDkim dkim;
            dkim.SetVerifyMode(TixDkimVerifyMode::dvmVerifyAll);
            dkim.SetDnsTimeOut(3000);
            dkim.DnsQuery().SetDisableGuiProcessing(true);
            if (setupDkim) setupDkim(dkim);
            dkim.Verify(lines);
            verdict = DkimVerdict(dkim);
        } catch (const std::exception& e) {
            verdict = "DKIM: " + Local(e.what());
        }
        TixDkimChecks& checks = DkimChecks();
        std::lock_guard lock(checks.mutex);
        if (checks.closing || QCoreApplication::instance() == nullptr) return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [label, verdict] {
                if (label) label->setText(verdict);
            },
            Qt::QueuedConnection);
    });
}

}  // namespace ix
