#include "main.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCommandLineParser>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTreeWidget>
#include <limits>

namespace ix {

namespace {

const char* const CaptionOf[2] = {"IMAP Client", "IMAP Client - Connected"};
const char* const AnswerOf[2] = {"No", "Yes"};

std::string Utf8(const QString& text) {
    return text.toStdString();
}

QString Local(const std::string& text) {
    return QString::fromStdString(text);
}

std::string TrimmedText(const std::string& text) {
    auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// An edit's text as an integer; anything else is refused the way a number conversion refuses.
int IntegerOf(const QLineEdit* edit) {
    bool ok = false;
    int value = edit->text().trimmed().toInt(&ok);
    if (!ok) throw EixError("'" + Utf8(edit->text()) + "' is not a valid integer value");
    return value;
}

// The length of the IMAP argument at the start of text: a quoted string, a literal announcement
// or an atom. An unterminated quoted string counts as nothing, so that all of it is masked.
std::size_t ArgumentLength(const std::string& text) {
    if (text.empty()) return 0;
    if (text[0] == '"') {
        std::size_t i = 1;
        while (i < text.size() && text[i] != '"')
            i += text[i] == '\\' ? 2 : 1;
        return i < text.size() ? i + 1 : 0;
    }
    std::size_t end = text.find(text[0] == '{' ? '}' : ' ');
    return end == std::string::npos ? text.size() : (text[0] == '{' ? end + 1 : end);
}

// Ends with "{n+}": the literal's bytes follow without waiting for the server's "+".
bool EndsWithNonSynchronizingLiteral(const std::string& line) {
    if (line.size() < 4 || line.back() != '}' || line[line.size() - 2] != '+') return false;
    std::size_t open = line.rfind('{');
    if (open == std::string::npos || open + 3 > line.size() - 1) return false;
    for (std::size_t i = open + 1; i < line.size() - 2; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    return true;
}

// A command line as the log shows it: LOGIN keeps its user name and AUTHENTICATE its mechanism;
// whatever follows is a credential (password, initial SASL response or a literal announcement).
std::string MaskedCommand(const std::string& line, bool& secret) {
    secret = false;
    std::size_t tagEnd = line.find(' ');
    if (tagEnd == std::string::npos) return line;
    std::size_t wordEnd = std::min(line.find(' ', tagEnd + 1), line.size());
    std::string command = UpperCase(line.substr(tagEnd + 1, wordEnd - tagEnd - 1));
    secret = command == "LOGIN" || command == "AUTHENTICATE";
    if (!secret || wordEnd >= line.size()) return line;
    std::size_t keep = wordEnd + 1 + ArgumentLength(line.substr(wordEnd + 1));
    if (TrimmedText(line.substr(std::min(keep, line.size()))).empty()) return line;
    return TrimmedText(line.substr(0, keep)) + " ****";
}

// Swallows the user's input to the window's controls while an operation waits, so that nothing
// starts a second command; painting, timers and closing the window go on.
class TixInputBlocker : public QObject {
public:
    explicit TixInputBlocker(QWidget* area) : area_(area) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Wheel:
            case QEvent::Shortcut:
            case QEvent::ShortcutOverride: {
                auto* widget = qobject_cast<QWidget*>(watched);
                return widget != nullptr && area_->isAncestorOf(widget);
            }
            default:
                return false;
        }
    }

private:
    QWidget* area_;
};

}  // namespace

QString ApplyCommandLine(TForm1& form, const QStringList& arguments) {
    QCommandLineParser parser;
    QCommandLineOption server("server", "The IMAP server's host name or address.", "host");
    QCommandLineOption port("port", "The server's port.", "port");
    QCommandLineOption user("user", "The user name.", "name");
    QCommandLineOption password("password", "The password.", "password");
    parser.addOptions({server, port, user, password});
    if (!parser.parse(arguments)) return parser.errorText();
    if (parser.isSet(server)) form.edtServer->setText(parser.value(server));
    if (parser.isSet(port)) form.edtPort->setText(parser.value(port));
    if (parser.isSet(user)) form.edtUser->setText(parser.value(user));
    if (parser.isSet(password)) form.edtPassword->setText(parser.value(password));
    return {};
}

TForm1::TForm1(QWidget* parent) : TixDemoBaseForm(parent) {
    previousLoop_ = &TixEventLoop::Current();
    TixEventLoop::Install(&eventLoop_);

    ixImap.SetMailMessage(&ixMailMessage);
    ixImap.OnSendCommand = [this](TixObject* sender, const std::string& text) {
        ixImapSendCommand(sender, text);
    };
    ixImap.OnReceiveResponse = [this](TixObject* sender, TixStringList& list) {
        ixImapReceiveResponse(sender, list);
    };
    MessageBoxProc = [](QWidget* parent, QMessageBox::Icon icon, const QString& text,
                        QMessageBox::StandardButtons buttons) {
        QMessageBox box(icon, parent->windowTitle(), text, buttons, parent);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    };

    setWindowTitle("IMAP4 Client - Sample");
    BuildControls();
    resize(678, 508 + statusBar()->sizeHint().height());
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FormCreate();
}

TForm1::~TForm1() {
    // No operation may start while the last LOGOUT waits.
    busy_ = true;
    FormDestroy();
    TixEventLoop::Install(previousLoop_);
}

void TForm1::BuildControls() {
    QWidget* panel = pnlMain;
    auto label = [](QWidget* owner, const char* caption, int left, int top) {
        auto* result = new QLabel(caption, owner);
        result->move(left, top);
        result->adjustSize();
        return result;
    };
    auto edit = [](QWidget* owner, const char* text, int left, int top, int width, int height) {
        auto* result = new QLineEdit(text, owner);
        result->setGeometry(left, top, width, height);
        return result;
    };
    auto button = [this, panel](const char* caption, int top, void (TForm1::*handler)()) {
        auto* result = new QPushButton(caption, panel);
        result->setGeometry(566, top, 97, 25);
        connect(result, &QPushButton::clicked, this,
                [this, handler] { RunOperation([this, handler] { (this->*handler)(); }); });
        return result;
    };

    Label1 = label(panel, "Server", 24, 23);
    edtServer = edit(panel, "localhost", 82, 20, 205, 21);
    Label4 = label(panel, "User", 24, 50);
    edtUser = edit(panel, "TarvelTester", 82, 47, 205, 21);
    Label5 = label(panel, "Password", 24, 77);
    edtPassword = edit(panel, "quartzmellow", 82, 74, 205, 21);
    edtPassword->setEchoMode(QLineEdit::Password);
    cbUseSPA = new QCheckBox("Use Secure Password Authentication", panel);
    cbUseSPA->setGeometry(336, 17, 209, 17);
    cbUseSPA->adjustSize();
    Label2 = label(panel, "Port", 338, 43);
    edtPort = edit(panel, "143", 450, 40, 95, 21);
    Label3 = label(panel, "TimeOut, s", 338, 70);
    edtTimeOut = edit(panel, "60", 450, 67, 95, 21);
    btnLogin = button("Login", 19, &TForm1::btnLoginClick);
    btnLogout = button("Logout", 50, &TForm1::btnLogoutClick);

    tvFolders = new QTreeWidget(panel);
    tvFolders->setGeometry(16, 120, 161, 192);
    tvFolders->setHeaderHidden(true);
    tvFolders->setIndentation(19);
    tvFolders->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(tvFolders, &QTreeWidget::currentItemChanged, this,
            [this] { RunOperation([this] { tvFoldersChange(); }); });

    GroupBox1 = new QGroupBox("Folder Details", panel);
    GroupBox1->setGeometry(192, 120, 354, 89);
    Label7 = label(GroupBox1, "Subscribed", 16, 24);
    edtSubscribed = edit(GroupBox1, "", 86, 24, 59, 21);
    Label8 = label(GroupBox1, "All Messages", 16, 51);
    edtAll = edit(GroupBox1, "", 86, 51, 59, 21);
    Label9 = label(GroupBox1, "Recent Messages", 176, 21);
    edtRecent = edit(GroupBox1, "", 280, 21, 57, 21);
    Label10 = label(GroupBox1, "First Unseen", 176, 48);
    edtFirstUnseen = edit(GroupBox1, "", 280, 48, 57, 21);
    for (QLineEdit* detail : {edtSubscribed, edtAll, edtRecent, edtFirstUnseen})
        detail->setReadOnly(true);

    lvMessages = new QTreeWidget(panel);
    lvMessages->setGeometry(192, 215, 353, 97);
    lvMessages->setRootIsDecorated(false);
    lvMessages->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvMessages->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvMessages->setHeaderLabels({"No", "Subject", "From", "Flags"});
    lvMessages->setColumnWidth(1, 110);
    lvMessages->setColumnWidth(2, 110);
    lvMessages->setColumnWidth(3, 70);

    Label11 = label(panel, "Log", 16, 318);
    memLog = new QPlainTextEdit(panel);
    memLog->setGeometry(16, 337, 529, 78);
    // Read-only rather than disabled: a disabled text box cannot be scrolled back.
    memLog->setReadOnly(true);
    memLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    btnNewFolder = button("New Folder...", 120, &TForm1::btnNewFolderClick);
    btnDeleteFolder = button("Delete Folder", 151, &TForm1::btnDeleteFolderClick);
    btnFind = button("Find...", 184, &TForm1::btnFindClick);
    btnSubscribe = button("Subscribe", 215, &TForm1::btnSubscribeClick);
    btnUnsubscribe = button("Unsubscribe", 246, &TForm1::btnUnsubscribeClick);
    btnAppend = button("Append...", 297, &TForm1::btnAppendClick);
    btnCopy = button("Copy", 328, &TForm1::btnCopyClick);
    btnDelete = button("Delete", 359, &TForm1::btnDeleteClick);
    btnPurge = button("Purge Deleted", 390, &TForm1::btnPurgeClick);

    // Tab order as the fields are filled in.
    QWidget::setTabOrder(edtServer, edtUser);
    QWidget::setTabOrder(edtUser, edtPassword);
    QWidget::setTabOrder(edtPassword, cbUseSPA);
    QWidget::setTabOrder(cbUseSPA, edtPort);
    QWidget::setTabOrder(edtPort, edtTimeOut);

    lblBusy = new QLabel("Waiting for the server...", this);
    pbBusy = new QProgressBar(this);
    pbBusy->setRange(0, 0);
    pbBusy->setMaximumWidth(120);
    statusBar()->addWidget(lblBusy);
    statusBar()->addPermanentWidget(pbBusy);
    lblBusy->hide();
    pbBusy->hide();
}

void TForm1::FormCreate() {
    SubscribedFolders.Clear();
    UpdateControls();
}

void TForm1::FormDestroy() {
    try {
        ixImap.Close();
    } catch (const std::exception&) {
        // The window is going away: there is nobody left to tell.
    }
    SubscribedFolders.Clear();
}

void TForm1::UpdateControls() {
    bool active = ixImap.Active();
    setWindowTitle(CaptionOf[active ? 1 : 0]);
    for (QPushButton* button : {btnAppend, btnCopy, btnDelete, btnDeleteFolder, btnFind, btnNewFolder,
                                btnPurge, btnSubscribe, btnUnsubscribe})
        button->setEnabled(active);
}

void TForm1::ClearDetails() {
    for (QLineEdit* detail : {edtSubscribed, edtAll, edtRecent, edtFirstUnseen})
        detail->clear();
}

void TForm1::btnLoginClick() {
    if (ixImap.Active()) {
        ShowMessage(QMessageBox::Information,
                    "You are already connected. Please click Logout to disconnect.");
        return;
    }
    ixImap.SetServer(Utf8(edtServer->text()));
    ixImap.SetPort(IntegerOf(edtPort));
    ixImap.SetUserName(Utf8(edtUser->text()));
    ixImap.SetPassword(Utf8(edtPassword->text()));
    ixImap.SetUseSasl(cbUseSPA->isChecked());
    std::int64_t timeOut = std::int64_t{IntegerOf(edtTimeOut)} * 1000;
    if (timeOut > std::numeric_limits<int>::max() || timeOut < std::numeric_limits<int>::min())
        throw EixError("'" + Utf8(edtTimeOut->text()) + "' is not a valid integer value");
    ixImap.SetTimeOut(static_cast<int>(timeOut));
    ixImap.Open();
    FillFolderList();
    UpdateControls();
}

void TForm1::btnLogoutClick() {
    ixImap.Close();
    SubscribedFolders.Clear();
    {
        QSignalBlocker blocker(tvFolders);
        tvFolders->clear();
    }
    lvMessages->clear();
    ClearDetails();
    UpdateControls();
}

void TForm1::FillFolderList() {
    // Both lists are read before the tree is touched: a refused or broken listing leaves the tree
    // as it was instead of empty.
    TixStringList all, subscribed;
    ixImap.GetMailBoxes(all, "", "*");
    // The hierarchy is the LIST answer's: LSUB may leave another separator behind, or none.
    const char separator = ixImap.MailBoxSeparator;
    ixImap.GetSubscribedMailBoxes(subscribed, "", "*");

    // The tree refills without repainting per node, and without loading the folders it passes
    // through as current item.
    tvFolders->setUpdatesEnabled(false);
    QSignalBlocker blocker(tvFolders);
    struct Resume {
        QWidget* tree;
        ~Resume() { tree->setUpdatesEnabled(true); }
    } resume{tvFolders};

    SubscribedFolders.Clear();
    tvFolders->clear();
    lvMessages->clear();
    ClearDetails();
    folderSeparator_ = separator;
    for (const auto& name : all) {
        AddFolderToTree(name.line);
        SetSubscribed(name.line, subscribed.IndexOf(name.line) >= 0);
    }
}

void TForm1::FillMessageList() {
    // Only empties the list: the message rows come with the message actions.
    lvMessages->clear();
}

QTreeWidgetItem* TForm1::AddFolderToTree(const std::string& folder) {
    std::string name = folder;
    const char separator = folderSeparator_;
    if (separator != '\0' && !name.empty() && name[0] == separator) name.erase(0, 1);
    QTreeWidgetItem* parent = nullptr;
    auto childCount = [&] {
        return parent != nullptr ? parent->childCount() : tvFolders->topLevelItemCount();
    };
    auto child = [&](int i) { return parent != nullptr ? parent->child(i) : tvFolders->topLevelItem(i); };
    auto addNode = [&](const std::string& text) {
        auto* node = parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tvFolders);
        node->setText(0, Local(text));
        return node;
    };
    for (std::size_t pos; separator != '\0' && (pos = name.find(separator)) != std::string::npos;) {
        QString part = Local(name.substr(0, pos));
        name.erase(0, pos + 1);
        QTreeWidgetItem* found = nullptr;
        for (int i = 0; i < childCount() && found == nullptr; ++i)
            if (child(i)->text(0) == part) found = child(i);
        parent = found != nullptr ? found : addNode(Utf8(part));
    }
    QTreeWidgetItem* leaf = addNode(name);
    leaf->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
    return leaf;
}

std::string TForm1::GetFolderName(QTreeWidgetItem* node) const {
    if (node == nullptr) return {};
    std::string name = Utf8(node->text(0));
    for (QTreeWidgetItem* up = node->parent(); up != nullptr; up = up->parent()) {
        std::string prefix = Utf8(up->text(0));
        if (folderSeparator_ != '\0') prefix += folderSeparator_;
        name = prefix + name;
    }
    return name;
}

bool TForm1::IsSubscribed(const std::string& name) const {
    int index = SubscribedFolders.IndexOf(name);
    return index >= 0 && SubscribedFolders.Objects(index) != 0;
}

void TForm1::SetSubscribed(const std::string& name, bool mark) {
    int index = SubscribedFolders.IndexOf(name);
    if (index < 0)
        SubscribedFolders.AddObject(name, mark ? 1 : 0);
    else
        SubscribedFolders.SetObject(index, mark ? 1 : 0);
}

void TForm1::tvFoldersChange() {
    QTreeWidgetItem* node = tvFolders->currentItem();
    if (!ixImap.Active() || node == nullptr) return;
    std::string name = GetFolderName(node);
    ixImap.SelectMailBox(name);
    edtSubscribed->setText(AnswerOf[IsSubscribed(name) ? 1 : 0]);
    const TixImap4MailBoxInfo& box = ixImap.CurrentMailBox();
    edtAll->setText(QString::number(box.ExistsMessages));
    edtRecent->setText(QString::number(box.RecentMessages));
    edtFirstUnseen->setText(QString::number(box.FirstUnseen));
    FillMessageList();
}

void TForm1::btnDeleteFolderClick() {
    QTreeWidgetItem* node = tvFolders->currentItem();
    if (node == nullptr) return;
    std::string name = GetFolderName(node);
    if (ShowMessage(QMessageBox::Question, Local("Do you wish to delete the " + name + " folder ?"),
                    QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    // Servers end the session, or refuse, when the selected folder is deleted under it, so INBOX
    // is selected instead first. Selecting another folder, unlike CLOSE, expunges nothing, so a
    // refused delete loses no messages. INBOX itself can never be deleted: the server's refusal
    // is all there is to show, and the folder stays selected as it was.
    bool closed = false;
    if (ixImap.ConnectionState == TixImap4ConnectionState::csSelected && !SameText(name, "INBOX") &&
        ixImap.CurrentMailBox().Name == name) {
        ixImap.SelectMailBox("INBOX");
        closed = true;
    }
    try {
        ixImap.DeleteMailBox(name);
    } catch (const std::exception&) {
        // The folder is still there: select it again so that the session and the details agree.
        // Only the refusal is news; a failure on the way back is not shown on top of it.
        if (closed && ixImap.Active()) {
            try {
                tvFoldersChange();
            } catch (const std::exception&) {
            }
        }
        throw;
    }
    FillFolderList();
}

void TForm1::btnSubscribeClick() {
    QTreeWidgetItem* node = tvFolders->currentItem();
    std::string name = GetFolderName(node);
    if (node == nullptr || IsSubscribed(name)) return;
    ixImap.SubscribeMailBox(name);
    SetSubscribed(name, true);
    tvFoldersChange();
    ShowMessage(QMessageBox::Information, QString("The folder %1 has been subscribed.").arg(Local(name)));
}

void TForm1::btnUnsubscribeClick() {
    QTreeWidgetItem* node = tvFolders->currentItem();
    std::string name = GetFolderName(node);
    if (node == nullptr || !IsSubscribed(name)) return;
    ixImap.UnsubscribeMailBox(name);
    SetSubscribed(name, false);
    tvFoldersChange();
    ShowMessage(QMessageBox::Information, QString("The folder %1 has been unsubscribed.").arg(Local(name)));
}

std::string TForm1::LogTextOfCommand(const std::string& text) {
    std::string line = TrimmedText(text);
    // A line sent on the server's "+", or right after a non-synchronizing literal announcement
    // (which does not wait for "+"), goes on with the command before it: literal data or a SASL
    // answer.
    bool continuation = literalFollows_ || ixImap.LastResponseCode() == IMAP_CONTINUE;
    literalFollows_ = EndsWithNonSynchronizingLiteral(line);
    if (continuation && secretCommand_) return line.empty() ? line : "****";
    bool secret = false;
    std::string shown = MaskedCommand(line, secret);
    // Literal data of another command is shown as sent, unless it reads like a login itself.
    if (!continuation) secretCommand_ = secret;
    return shown;
}

void TForm1::ixImapSendCommand(TixObject*, const std::string& text) {
    memLog->appendPlainText(Local(LogTextOfCommand(text)));
}

void TForm1::ixImapReceiveResponse(TixObject*, TixStringList& list) {
    if (!list.Empty()) memLog->appendPlainText(Local(list[0]));
}

void TForm1::RunOperation(const std::function<void()>& handler) {
    // The session takes one command at a time.
    if (busy_) return;
    SetBusy(true);
    std::string error;
    bool failed = false;
    try {
        handler();
    } catch (const std::exception& e) {
        failed = true;
        error = e.what();
    }
    SetBusy(false);
    // Closing the window aborted the wait on purpose: that failure is nobody's news.
    if (closeRequested_ || !failed) return;
    // The caption and buttons follow the connection, which the failure may have ended.
    UpdateControls();
    ShowMessage(QMessageBox::Critical, Local(error));
}

void TForm1::SetBusy(bool value) {
    busy_ = value;
    if (value) {
        inputBlocker_ = std::make_unique<TixInputBlocker>(pnlMain);
        qApp->installEventFilter(inputBlocker_.get());
        QApplication::setOverrideCursor(Qt::BusyCursor);
    } else {
        qApp->removeEventFilter(inputBlocker_.get());
        inputBlocker_.reset();
        QApplication::restoreOverrideCursor();
    }
    lblBusy->setVisible(value);
    pbBusy->setVisible(value);
}

QMessageBox::StandardButton TForm1::ShowMessage(QMessageBox::Icon icon, const QString& text,
                                                QMessageBox::StandardButtons buttons) {
    return MessageBoxProc(this, icon, text, buttons);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (busy_) {
        // Aborts the connection: the operation's wait ends at once and unwinds.
        closeRequested_ = true;
        try {
            ixImap.Close();
        } catch (const std::exception&) {
            // The connection is being dropped on purpose.
        }
    }
    event->accept();
}

}  // namespace ix
