#include "main.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCommandLineParser>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>
#include <limits>

namespace ix {

namespace {

const char* const CaptionOf[2] = {"IMAP Client", "IMAP Client - Connected"};
const char* const AnswerOf[2] = {"No", "Yes"};

// The security choices in the order the login form lists them, with their command line names and
// usual ports.
struct TixSecurityChoice {
    const char* caption;
    const char* option;
    TixClientTlsMode mode;
    int port;
};
const TixSecurityChoice SecurityChoices[] = {{"None", "none", TixClientTlsMode::ctNone, 143},
                                             {"STARTTLS", "starttls", TixClientTlsMode::ctExplicit, 143},
                                             {"SSL/TLS", "tls", TixClientTlsMode::ctImplicit, 993}};
constexpr int DefaultSecurity = 1;

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
    QCommandLineOption security("security", "none, starttls or tls.", "security");
    QCommandLineOption caFile("ca-file", "Certificate authorities to trust besides the system's.", "file");
    QCommandLineOption proxy("proxy",
                             "A SOCKS proxy: socks4://host:port, socks4a://host:port or "
                             "socks5://[user:password@]host:port.",
                             "url");
    parser.addOptions({server, port, user, password, security, caFile, proxy});
    if (!parser.parse(arguments)) return parser.errorText();
    if (parser.isSet(proxy)) {
        TixFirewallSettings settings;
        if (!ParseSocksProxyUrl(Utf8(parser.value(proxy)), settings))
            return "Unknown proxy '" + parser.value(proxy) +
                   "': socks4://host:port, socks4a://host:port or socks5://[user:password@]host:port";
        form.ixImap.SetFirewallSettings(settings);
    }
    if (parser.isSet(security)) {
        const auto* end = std::end(SecurityChoices);
        const auto* choice = std::find_if(std::begin(SecurityChoices), end, [&](const TixSecurityChoice& c) {
            return parser.value(security) == c.option;
        });
        if (choice == end) return "Unknown security '" + parser.value(security) + "': none, starttls or tls";
        form.SetSecurity(choice->mode);
    }
    if (parser.isSet(caFile)) form.ixImap.SetCAFile(Utf8(parser.value(caFile)));
    if (parser.isSet(server)) form.edtServer->setText(parser.value(server));
    if (parser.isSet(port)) form.SetChosenPort(parser.value(port));
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
    ixImap.OnProgress = [this](TixObject*, std::int64_t done, std::int64_t total) {
        ixImapProgress(done, total);
    };
    ixImap.OnVerifyServer = [this](TixObject*, TixCertificate& certificate, const std::string& statusText,
                                   int statusCode, bool& verified) {
        ixImapVerifyServer(certificate, statusText, statusCode, verified);
    };
    // A message's attachments are kept in memory while it is read, so that the message window can
    // list them and save them where the user wants.
    ixMailMessage.OnSaveAttachment = [](TixObject*, TixMessageBody*, std::string&,
                                        std::unique_ptr<TixStream>& data,
                                        bool&) { data = std::make_unique<TixMemoryStream>(); };
    ixMailMessage.OnAttachmentSaved = [this](TixObject*, TixMessageBody* body, const std::string&,
                                             TixStream& data) {
        QByteArray bytes(static_cast<qsizetype>(data.Size()), Qt::Uninitialized);
        data.SetPosition(0);
        bytes.resize(static_cast<qsizetype>(data.Read(bytes.data(), static_cast<std::size_t>(bytes.size()))));
        attachmentData_[body] = std::move(bytes);
    };
    MessageBoxProc = ShowMessageBox;
    DialogProc = ExecuteDialog;
    SaveFileProc = AskSaveFileName;

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
    TMessageForm::FinishDkimChecks();
    TixEventLoop::Install(previousLoop_);
}

void TForm1::BuildControls() {
    // The login fields and the button column keep their places; the folder tree, the message list
    // and the log share the rest of the window, split where the user drags.
    auto* fields = new QWidget(pnlMain);
    fields->setFixedHeight(120);
    // Up to the buttons, so the check box's caption is not cut where the panes end.
    fields->setMinimumWidth(566);
    auto* buttons = new QWidget(pnlMain);
    buttons->setFixedWidth(97);
    buttons->setMinimumHeight(415);
    splLog = new QSplitter(Qt::Vertical, pnlMain);
    splLog->setHandleWidth(6);
    splLog->setChildrenCollapsible(false);
    splFolders = new QSplitter(Qt::Horizontal);
    splFolders->setHandleWidth(15);
    splFolders->setChildrenCollapsible(false);
    auto* messages = new QWidget;
    auto* log = new QWidget;

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
    auto button = [this, buttons](const char* caption, int top, void (TForm1::*handler)()) {
        auto* result = new QPushButton(caption, buttons);
        result->setGeometry(0, top, 97, 25);
        connect(result, &QPushButton::clicked, this,
                [this, handler] { RunOperation([this, handler] { (this->*handler)(); }); });
        return result;
    };

    Label1 = label(fields, "Server", 24, 23);
    edtServer = edit(fields, "localhost", 82, 20, 205, 21);
    Label4 = label(fields, "User", 24, 50);
    edtUser = edit(fields, "TarvelTester", 82, 47, 205, 21);
    Label5 = label(fields, "Password", 24, 77);
    edtPassword = edit(fields, "quartzmellow", 82, 74, 205, 21);
    edtPassword->setEchoMode(QLineEdit::Password);
    cbUseSPA = new QCheckBox("Use Secure Password Authentication", fields);
    cbUseSPA->setGeometry(336, 17, 209, 17);
    cbUseSPA->adjustSize();
    Label6 = label(fields, "Security", 338, 43);
    cbSecurity = new QComboBox(fields);
    cbSecurity->setGeometry(450, 40, 95, 21);
    for (const TixSecurityChoice& choice : SecurityChoices)
        cbSecurity->addItem(choice.caption);
    cbSecurity->setCurrentIndex(DefaultSecurity);
    Label2 = label(fields, "Port", 338, 70);
    edtPort = edit(fields, "143", 450, 67, 95, 21);
    Label3 = label(fields, "TimeOut, s", 338, 97);
    edtTimeOut = edit(fields, "60", 450, 94, 95, 21);
    connect(cbSecurity, &QComboBox::currentIndexChanged, this, [this] { cbSecurityChange(); });
    connect(edtPort, &QLineEdit::textEdited, this, [this](const QString& text) { SetChosenPort(text); });
    btnLogin = button("Login", 19, &TForm1::btnLoginClick);
    btnLogout = button("Logout", 50, &TForm1::btnLogoutClick);

    tvFolders = new QTreeWidget;
    tvFolders->setHeaderHidden(true);
    tvFolders->setIndentation(19);
    tvFolders->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(tvFolders, &QTreeWidget::currentItemChanged, this,
            [this] { RunOperation([this] { tvFoldersChange(); }); });

    GroupBox1 = new QGroupBox("Folder Details", messages);
    GroupBox1->setFixedHeight(89);
    GroupBox1->setMinimumWidth(354);
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

    lvMessages = new QTreeWidget(messages);
    lvMessages->setRootIsDecorated(false);
    lvMessages->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvMessages->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvMessages->setAllColumnsShowFocus(true);
    lvMessages->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvMessages->setHeaderLabels({"No", "Subject", "From", "Flags"});
    lvMessages->header()->setSectionResizeMode(QHeaderView::Interactive);
    // Narrow enough that the four columns fit the starting width.
    lvMessages->setColumnWidth(0, 40);
    lvMessages->setColumnWidth(1, 110);
    lvMessages->setColumnWidth(2, 110);
    lvMessages->setColumnWidth(3, 70);
    connect(lvMessages, &QTreeWidget::itemDoubleClicked, this,
            [this] { RunOperation([this] { lvMessagesDblClick(); }); });
    auto* messageColumn = new QVBoxLayout(messages);
    messageColumn->setContentsMargins(0, 0, 0, 0);
    messageColumn->setSpacing(6);
    messageColumn->addWidget(GroupBox1);
    messageColumn->addWidget(lvMessages, 1);

    Label11 = new QLabel("Log", log);
    memLog = new QPlainTextEdit(log);
    // Read-only rather than disabled: a disabled text box cannot be scrolled back.
    memLog->setReadOnly(true);
    memLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* logColumn = new QVBoxLayout(log);
    logColumn->setContentsMargins(0, 0, 0, 0);
    logColumn->setSpacing(6);
    logColumn->addWidget(Label11);
    logColumn->addWidget(memLog, 1);

    btnNewFolder = button("New Folder...", 120, &TForm1::btnNewFolderClick);
    btnDeleteFolder = button("Delete Folder", 151, &TForm1::btnDeleteFolderClick);
    btnFind = button("Find...", 184, &TForm1::btnFindClick);
    btnSubscribe = button("Subscribe", 215, &TForm1::btnSubscribeClick);
    btnUnsubscribe = button("Unsubscribe", 246, &TForm1::btnUnsubscribeClick);
    btnAppend = button("Append...", 297, &TForm1::btnAppendClick);
    btnCopy = button("Copy", 328, &TForm1::btnCopyClick);
    btnDelete = button("Delete", 359, &TForm1::btnDeleteClick);
    btnPurge = button("Purge Deleted", 390, &TForm1::btnPurgeClick);

    splFolders->addWidget(tvFolders);
    splFolders->addWidget(messages);
    splLog->addWidget(splFolders);
    splLog->addWidget(log);
    auto* panes = new QHBoxLayout;
    panes->setContentsMargins(16, 0, 20, 0);
    panes->addWidget(splLog);
    auto* left = new QVBoxLayout;
    left->setSpacing(0);
    left->addWidget(fields);
    left->addLayout(panes, 1);
    auto* row = new QHBoxLayout(pnlMain);
    row->setContentsMargins(0, 0, 15, 15);
    row->setSpacing(0);
    row->addLayout(left, 1);
    row->addWidget(buttons, 0, Qt::AlignTop);
    // The starting sizes; without stretch factors the splitters hand out extra room in proportion.
    splFolders->setSizes({161, 354});
    splLog->setSizes({192, 97});

    // Tab order as the fields are filled in.
    QWidget::setTabOrder(edtServer, edtUser);
    QWidget::setTabOrder(edtUser, edtPassword);
    QWidget::setTabOrder(edtPassword, cbUseSPA);
    QWidget::setTabOrder(cbUseSPA, cbSecurity);
    QWidget::setTabOrder(cbSecurity, edtPort);
    QWidget::setTabOrder(edtPort, edtTimeOut);

    lblBusy = new QLabel("Waiting for the server...", this);
    pbBusy = new QProgressBar(this);
    pbBusy->setRange(0, 0);
    pbBusy->setMaximumWidth(120);
    lblSecurity = new QLabel(this);
    statusBar()->addWidget(lblBusy);
    statusBar()->addPermanentWidget(lblSecurity);
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
    if (!active) {
        lblSecurity->clear();
    } else if (std::string version = ixImap.TlsVersion(); version.empty()) {
        lblSecurity->setText("Not encrypted");
    } else {
        lblSecurity->setText(QString("Encrypted: %1, %2").arg(Local(version), Local(ixImap.TlsCipher())));
    }
}

TixClientTlsMode TForm1::Security() const {
    return SecurityChoices[cbSecurity->currentIndex()].mode;
}

void TForm1::SetSecurity(TixClientTlsMode value) {
    for (int i = 0; i < static_cast<int>(std::size(SecurityChoices)); ++i)
        if (SecurityChoices[i].mode == value) cbSecurity->setCurrentIndex(i);
}

void TForm1::SetChosenPort(const QString& port) {
    if (port != edtPort->text()) edtPort->setText(port);
    portChosen_ = port.trimmed() != QString::number(SecurityChoices[cbSecurity->currentIndex()].port);
}

void TForm1::cbSecurityChange() {
    QString usual = QString::number(SecurityChoices[cbSecurity->currentIndex()].port);
    if (!portChosen_) edtPort->setText(usual);
    // A port typed to match this choice's usual one follows the next choice again.
    portChosen_ = edtPort->text().trimmed() != usual;
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
    ixImap.SetUseTLS(Security());
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

QString TForm1::FlagsText(TixMailMessageFlags flags) {
    static const std::pair<TixMailMessageFlag, const char*> names[] = {
        {TixMailMessageFlag::mfAnswered, "Answered,"}, {TixMailMessageFlag::mfFlagged, "Flagged,"},
        {TixMailMessageFlag::mfDeleted, "Deleted,"},   {TixMailMessageFlag::mfSeen, "Seen,"},
        {TixMailMessageFlag::mfDraft, "Draft,"},       {TixMailMessageFlag::mfRecent, "Recent,"}};
    QString text;
    for (const auto& [flag, name] : names)
        if (flags.Contains(flag)) text += name;
    return text;
}

void TForm1::FillMessageList() {
    lvMessages->clear();
    if (!ixImap.Active()) return;
    const int count = ixImap.CurrentMailBox().ExistsMessages;
    if (count <= 0) return;
    pbBusy->setRange(0, count);
    for (int number = 1; number <= count; ++number) {
        lblBusy->setText(QString("Loading message %1 of %2...").arg(number).arg(count));
        pbBusy->setValue(number - 1);
        QStringList row;
        try {
            // Cleared first: a fetch that brings no header must not show the one before.
            ixMailMessage.Clear();
            ixImap.RetrieveHeader(number, &ixMailMessage);
            QString subject = Local(ixMailMessage.Subject());
            QString from = Local(ixMailMessage.From().FullAddress());
            row = {QString::number(number), subject, from, FlagsText(ixImap.GetMessageFlags(number))};
        } catch (const EixTcpClientError&) {
            // The server refused this one message; without a connection no other would load either.
            if (!ixImap.Active()) throw;
            row = {QString::number(number), "(bad message)", "", ""};
        }
        new QTreeWidgetItem(lvMessages, row);
    }
    ResetBusyProgress();
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

QList<QTreeWidgetItem*> TForm1::SelectedRows() const {
    QList<QTreeWidgetItem*> rows;
    for (int i = 0; i < lvMessages->topLevelItemCount(); ++i)
        if (lvMessages->topLevelItem(i)->isSelected()) rows.append(lvMessages->topLevelItem(i));
    return rows;
}

namespace {

// A row's caption as its message number.
int MessageNumberOf(const QTreeWidgetItem* row) {
    bool ok = false;
    int number = row->text(0).toInt(&ok);
    if (!ok) throw EixError("'" + Utf8(row->text(0)) + "' is not a valid integer value");
    return number;
}

}  // namespace

std::vector<TixShownAttachment> TForm1::Attachments() {
    std::vector<TixShownAttachment> result;
    auto walk = [&](auto&& self, const TixMessageBodies& bodies) -> void {
        for (int i = 0; i < bodies.Count(); ++i) {
            TixMessageBody& part = bodies[i];
            if (auto* multipart = dynamic_cast<TixMultipartBody*>(&part)) {
                self(self, multipart->Bodies());
            } else if (auto* attachment = dynamic_cast<TixAttachmentBody*>(&part)) {
                auto data = attachmentData_.find(attachment);
                QString name = Local(attachment->FileName());
                if (name.isEmpty()) name = "(unnamed)";
                result.push_back({name, data != attachmentData_.end() ? data->second : QByteArray()});
            }
        }
    };
    walk(walk, ixMailMessage.Bodies());
    return result;
}

void TForm1::lvMessagesDblClick() {
    QList<QTreeWidgetItem*> rows = SelectedRows();
    if (!ixImap.Active() || rows.isEmpty()) return;
    QTreeWidgetItem* row = rows.contains(lvMessages->currentItem()) ? lvMessages->currentItem() : rows[0];
    int number = MessageNumberOf(row);
    // The parts' data is collected while the message is parsed, and handed on at once.
    struct Forget {
        std::map<const TixMessageBody*, QByteArray>& data;
        ~Forget() { data.clear(); }
    } forget{attachmentData_};
    attachmentData_.clear();
    ixMailMessage.Clear();
    ixImap.RetrieveMessage(number, &ixMailMessage);
    const TixStringList source = ixImap.ResponseList();
    std::vector<TixShownAttachment> attachments = Attachments();
    attachmentData_.clear();
    ResetBusyProgress();
    ixImap.SetMessageFlags(number, TixSetFlagsMethod::fmAdd, {TixMailMessageFlag::mfSeen});
    {
        TixBusyPause pause(*this);
        TMessageForm::ShowMessage(ixMailMessage, attachments, this, DialogProc, MessageBoxProc, SaveFileProc,
                                  &source, DkimSetupProc);
    }
    tvFoldersChange();
}

int TForm1::RunDialog(QDialog& dialog) {
    TixBusyPause pause(*this);
    return DialogProc(dialog);
}

void TForm1::btnNewFolderClick() {
    TNewFolderDialog dialog(this);
    dialog.MessageBoxProc = MessageBoxProc;
    if (RunDialog(dialog) != QDialog::Accepted) return;
    std::string name = Utf8(dialog.edtName->text());
    QTreeWidgetItem* node = tvFolders->currentItem();
    // Without a hierarchy there is no subfolder to make: the name stands on its own.
    if (dialog.cbIsSubfolder->isChecked() && node != nullptr && folderSeparator_ != '\0')
        name = GetFolderName(node) + folderSeparator_ + name;
    ixImap.CreateMailBox(name);
    FillFolderList();
}

void TForm1::btnFindClick() {
    if (tvFolders->currentItem() == nullptr) return;
    TSearchDialog dialog(this);
    dialog.MessageBoxProc = MessageBoxProc;
    if (RunDialog(dialog) != QDialog::Accepted) return;
    TixStringList found;
    ixImap.SearchMessages(Utf8(dialog.Criteria()), found);
    if (found.Empty()) {
        ShowMessage(QMessageBox::Information, "No messages found.");
        return;
    }
    QStringList numbers;
    for (int i = 0; i < found.Count(); ++i)
        numbers.append(Local(found.Strings(i)));
    ShowMessage(QMessageBox::Information, QString("Found %1 message(s).\r\n Message numbers: \r\n%2")
                                              .arg(found.Count())
                                              .arg(numbers.join(',')));
}

void TForm1::btnAppendClick() {
    QTreeWidgetItem* node = tvFolders->currentItem();
    if (node == nullptr) return;
    bool append = false;
    {
        TixBusyPause pause(*this);
        append = TMessageForm::ComposeMessage(ixMailMessage, this, DialogProc, MessageBoxProc);
    }
    if (!append) return;
    ixImap.AppendMessage(GetFolderName(node), &ixMailMessage);
    tvFoldersChange();
}

void TForm1::btnCopyClick() {
    QList<QTreeWidgetItem*> rows = SelectedRows();
    if (rows.size() != 1) return;
    int number = MessageNumberOf(rows[0]);
    TixStringList names;
    ixImap.GetMailBoxes(names, "", "*");
    QStringList folders;
    for (int i = 0; i < names.Count(); ++i)
        folders.append(Local(names.Strings(i)));
    TCopyDialog dialog(folders, this);
    dialog.MessageBoxProc = MessageBoxProc;
    RunDialog(dialog);
    QString target = dialog.ChosenFolder();
    if (target.isEmpty()) return;
    ixImap.CopyMessage(number, Utf8(target));
    FillFolderList();
}

void TForm1::btnDeleteClick() {
    QList<QTreeWidgetItem*> rows = SelectedRows();
    if (tvFolders->currentItem() == nullptr || rows.size() != 1) return;
    ixImap.DeleteMessage(MessageNumberOf(rows[0]));
    tvFoldersChange();
}

void TForm1::btnPurgeClick() {
    if (tvFolders->currentItem() == nullptr) return;
    if (ShowMessage(QMessageBox::Question, "Purge all marked as deleted messages in selected folder ?",
                    QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    ixImap.CloseMailBox();
    tvFoldersChange();
}

std::string TForm1::LogTextOfCommand(const std::string& text) {
    // The client knows which of its lines carry credentials, and how to show them.
    return TrimmedText(ixImap.CommandHasCredentials() ? ixImap.MaskedCommand() : text);
}

void TForm1::ixImapSendCommand(TixObject*, const std::string& text) {
    memLog->appendPlainText(Local(LogTextOfCommand(text)));
}

void TForm1::ixImapReceiveResponse(TixObject*, TixStringList& list) {
    if (!list.Empty()) memLog->appendPlainText(Local(list[0]));
}

void TForm1::ixImapVerifyServer(TixCertificate& certificate, const std::string& statusText, int statusCode,
                                bool& verified) {
    if (verified) return;
    // Asked on every handshake: an acceptance lasts for this connection only.
    TCertificateDialog dialog(certificate, Local(statusText), statusCode, this);
    verified = RunDialog(dialog) == QDialog::Accepted;
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
        // A pause has given the cursor back already.
        if (!busyPaused_) QApplication::restoreOverrideCursor();
    }
    busyPaused_ = false;
    ResetBusyProgress();
    lblBusy->setVisible(value);
    pbBusy->setVisible(value);
}

void TForm1::PauseBusyIndicator(bool paused) {
    // A window waiting for the user is no wait for the server.
    if (!busy_ || paused == busyPaused_) return;
    busyPaused_ = paused;
    if (paused)
        QApplication::restoreOverrideCursor();
    else
        QApplication::setOverrideCursor(Qt::BusyCursor);
    lblBusy->setVisible(!paused);
    pbBusy->setVisible(!paused);
}

void TForm1::ResetBusyProgress() {
    lblBusy->setText("Waiting for the server...");
    pbBusy->setRange(0, 0);
}

void TForm1::ixImapProgress(std::int64_t done, std::int64_t total) {
    if (total <= 0) return;
    lblBusy->setText("Transferring the message...");
    pbBusy->setRange(0, 1000);
    pbBusy->setValue(static_cast<int>(std::clamp<std::int64_t>(done, 0, total) * 1000 / total));
}

QMessageBox::StandardButton TForm1::ShowMessage(QMessageBox::Icon icon, const QString& text,
                                                QMessageBox::StandardButtons buttons) {
    TixBusyPause pause(*this);
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
