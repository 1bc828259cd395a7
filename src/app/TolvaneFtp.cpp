#include "app/TolvaneFtp.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QHeaderView>
#include <QTreeView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/AppRules.h"
#include "app/CertificateTrust.h"
#include "app/CircularProgress.h"
#include "app/FileColumnsModel.h"
#include "app/FileIcons.h"
#include "app/FileListModel.h"
#include "app/FolderCommands.h"
#include "app/KeepAlive.h"
#include "app/HiddenFiles.h"
#include "app/FtpDirectoryTree.h"
#include "app/LogPage.h"
#include "app/PasswordKeeper.h"
#include "app/StatusLine.h"
#include "app/TransferJobs.h"
#include "app/TransferPane.h"
#include "base/IpDebugLog.h"
#include "base/IpEventLog.h"
#include "base/IpInits.h"

TTolvaneFtp *TolvaneFtp = nullptr;

namespace {

QIcon ThemeIcon(const char *Name, QStyle::StandardPixmap Fallback)
{
    return QIcon::fromTheme(QLatin1String(Name), QApplication::style()->standardIcon(Fallback));
}

QPushButton *Button(QWidget *Parent, const char *Name, const QString &Caption, const QIcon &Icon)
{
    auto *B = new QPushButton(Icon, Caption, Parent);
    B->setObjectName(QLatin1String(Name));
    return B;
}

QLineEdit *Edit(QWidget *Parent, const char *Name)
{
    auto *E = new QLineEdit(Parent);
    E->setObjectName(QLatin1String(Name));
    return E;
}

// A radio group: a titled box of exclusive buttons whose ids are the item
// indexes.
QGroupBox *RadioGroup(QWidget *Parent, const char *Name, const QString &Title, const QStringList &Items,
                      QButtonGroup *&Group)
{
    auto *Box = new QGroupBox(Title, Parent);
    Box->setObjectName(QLatin1String(Name));
    Group = new QButtonGroup(Box);
    auto *Layout = new QVBoxLayout(Box);
    for (int I = 0; I < Items.size(); ++I) {
        auto *Radio = new QRadioButton(Items[I], Box);
        Radio->setObjectName(QStringLiteral("%1_%2").arg(QLatin1String(Name)).arg(I));
        Group->addButton(Radio, I);
        Layout->addWidget(Radio);
    }
    Layout->addStretch(1);
    return Box;
}

QLabel *Caption(QWidget *Parent, const QString &Text, QWidget *Buddy)
{
    auto *L = new QLabel(Text, Parent);
    L->setBuddy(Buddy);
    return L;
}

} // namespace

TTolvaneFtp::TTolvaneFtp(const std::string &SettingsPath, const QStringList &Arguments, QWidget *Parent)
    : QMainWindow(Parent), FSettingsPath(SettingsPath), FArguments(Arguments)
{
    TolvaneFtp = this;
    CreateWidgets();
    CreateActions();
    CreateTransfers();
    CreateLayout();
    CreateAccessibility();
    BindClient();
    BindWidgets();
    FormCreate();
}

TTolvaneFtp::~TTolvaneFtp()
{
    SetBusyCursor(false);
    ReleaseTransfers();
    // Folder commands hold hooks on the client and may have the tree let go.
    delete FFolderCommands;
    FFolderCommands = nullptr;
    // The tree goes with the widgets after the client; unbind them first so
    // that neither calls the other while going.
    FClient->SetDirectoryTree(nullptr);
    FTree->SetFtpClient(nullptr);
    FClient->OnFtpReply = nullptr;
    FClient->OnFtpCommand = nullptr;
    FClient->OnFtpStatus = nullptr;
    FClient->OnError = nullptr;
    FClient->OnFtpError = nullptr;
    FClient->OnFtpLoginError = nullptr;
    EngineTls::BindCertificateEvent(*FClient, nullptr);
    FClient.reset();
    if (TolvaneFtp == this)
        TolvaneFtp = nullptr;
}

void TTolvaneFtp::CreateWidgets()
{
    setObjectName(QStringLiteral("TolvaneFtp"));
    setWindowTitle(QLatin1String(AppCaption));
    setWindowIcon(ProgramIcon());
    // System menu and minimise, no maximise.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    setAcceptDrops(true);
    setCentralWidget(new QWidget(this));
    centralWidget()->setObjectName(QStringLiteral("MainArea"));
    FStatus = new TStatusLine(statusBar());
    statusBar()->setObjectName(QStringLiteral("StatusBar"));

    FClient = std::make_unique<TIpFtpClient>(nullptr);

    // Connection bar
    FConnectionBar = new QGroupBox(tr("FTP Connection:"), this);
    FConnectionBar->setObjectName(QStringLiteral("ConnectionBar"));
    edtURL = Edit(FConnectionBar, "edtURL");
    edtUserName = Edit(FConnectionBar, "edtUserName");
    edtPassword = Edit(FConnectionBar, "edtPassword");
    edtPassword->setEchoMode(QLineEdit::Password);
    chkPassive = new QCheckBox(tr("Passive"), FConnectionBar);
    chkPassive->setObjectName(QStringLiteral("chkPassive"));
    chkPassive->setLayoutDirection(Qt::RightToLeft); // caption left of the box
    cbxEncryption = MakeEncryptionBox(FConnectionBar);
    chkRememberPassword = new QCheckBox(tr("Remember &password"), FConnectionBar);
    chkRememberPassword->setObjectName(QStringLiteral("chkRememberPassword"));
    chkRememberPassword->setChecked(true);
    chkRememberPassword->setToolTip(tr("Keep the password in the desktop's keyring (or, without one, in host.ini)"));
    sBitBtn5 = Button(FConnectionBar, "sBitBtn5", tr("&Save"), ThemeIcon("document-save", QStyle::SP_DialogSaveButton));

    // Upload summary
    FileLabel = new QLabel(this);
    FileLabel->setObjectName(QStringLiteral("FileLabel"));
    RemoteFolder = new QLabel(QStringLiteral("/"), this);
    RemoteFolder->setObjectName(QStringLiteral("RemoteFolder"));
    for (QLabel *L : {FileLabel, RemoteFolder}) {
        QFont Bold = L->font();
        Bold.setBold(true);
        L->setFont(Bold);
        L->setTextFormat(Qt::PlainText);
        L->setTextInteractionFlags(Qt::TextSelectableByMouse);
        L->setMinimumWidth(80);
        L->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    Progress1 = new TCircularProgress(this);
    Progress1->setObjectName(QStringLiteral("Progress1"));
    Progress1->SetSegmentStep(2);
    Progress1->SetAnimationInterval(50);
    Progress1->setFixedSize(56, 56);
    // Its place is kept while it is hidden, so nothing jumps when a
    // transfer starts.
    QSizePolicy Keep = Progress1->sizePolicy();
    Keep.setRetainSizeWhenHidden(true);
    Progress1->setSizePolicy(Keep);
    Progress1->hide();

    // Buttons on the right
    ConnectBtn = Button(this, "ConnectBtn", tr("&Connect"), ThemeIcon("network-connect", QStyle::SP_DriveNetIcon));
    sButton2 = Button(this, "sButton2", tr("Select &file ..."), ThemeIcon("document-open", QStyle::SP_DialogOpenButton));
    sBitBtn1 = Button(this, "sBitBtn1", tr("&Upload"), ThemeIcon("go-up", QStyle::SP_ArrowUp));
    sBitBtn2 = Button(this, "sBitBtn2", tr("A&bout"), ThemeIcon("help-about", QStyle::SP_MessageBoxInformation));

    PageControl = new QTabWidget(this);
    PageControl->setObjectName(QStringLiteral("PageControl"));

    // Page "Upload folder"
    auto *FolderPage = new QWidget;
    FolderPage->setObjectName(QStringLiteral("UploadFolderPage"));
    FTree = new TIpFtpDirectoryTree(FolderPage);
    FTree->setObjectName(QStringLiteral("IpFtpDirectoryTree1"));
    lbxFiles = new QTreeView(FolderPage);
    lbxFiles->setObjectName(QStringLiteral("lbxFiles"));
    FFiles = new TFileListModel(lbxFiles);
    // Row N of the columns is row N of the list, so the selection's rows
    // are the list's rows whichever column was clicked.
    FFileColumns = new TFileColumnsModel(FFiles, lbxFiles);
    lbxFiles->setModel(FFileColumns);
    lbxFiles->setItemDelegateForColumn(TFileColumnsModel::colName, new TFileListDelegate(lbxFiles));
    // Ctrl and Shift pick several entries; commands on one entry take the
    // current one.
    lbxFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lbxFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    lbxFiles->setRootIsDecorated(false);
    lbxFiles->setItemsExpandable(false);
    lbxFiles->setUniformRowHeights(true);
    lbxFiles->setAllColumnsShowFocus(true);
    lbxFiles->setTextElideMode(Qt::ElideMiddle);
    // Until a header is clicked the rows keep the server's order.
    lbxFiles->header()->setSectionsClickable(true);
    lbxFiles->header()->setSortIndicatorShown(true);
    lbxFiles->header()->setSortIndicator(-1, Qt::AscendingOrder);
    lbxFiles->header()->setStretchLastSection(false);
    lbxFiles->header()->setSectionResizeMode(QHeaderView::Interactive);
    lbxFiles->header()->setMinimumSectionSize(40);
    lbxFiles->setColumnWidth(TFileColumnsModel::colName, 150);
    lbxFiles->setColumnWidth(TFileColumnsModel::colSize, 72);
    lbxFiles->setColumnWidth(TFileColumnsModel::colModified, 132);
    lbxFiles->setColumnWidth(TFileColumnsModel::colPermissions, 110);
    lbxFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    lbxFiles->setAcceptDrops(true);
    lbxFiles->viewport()->setAcceptDrops(true);
    lbxFiles->viewport()->installEventFilter(this);
    FTree->SetListBox(FFiles);
    DefRemote = Edit(FolderPage, "DefRemote");
    DefRemote->setText(QStringLiteral("/"));
    sBitBtn4 = Button(FolderPage, "sBitBtn4", tr("Sa&ve"), ThemeIcon("document-save", QStyle::SP_DialogSaveButton));
    sBitBtn3 = Button(FolderPage, "sBitBtn3", tr("&Navigate"), ThemeIcon("go-jump", QStyle::SP_DirLinkIcon));
    // Never shown, so kept out of the window's widget tree: a screen reader
    // must not offer a button nobody can see.
    DoUp = Button(this, "DoUp", tr("DoUp"), QIcon());
    DoUp->setWindowFlags(Qt::Window);
    DoUp->setVisible(false);
    PageControl->addTab(FolderPage, ThemeIcon("folder-remote", QStyle::SP_DirIcon), tr("Upload folder"));

    // Page "Options"
    auto *OptionsPage = new QWidget;
    OptionsPage->setObjectName(QStringLiteral("OptionsPage"));
    rgDirStyle = RadioGroup(OptionsPage, "rgDirStyle", tr(" Style "),
                            {tr("None"), tr("Unix"), tr("Dos"), tr("Multinet"), tr("Vms")}, FDirStyleGroup);
    SendMode1 = RadioGroup(OptionsPage, "SendMode1", tr(" Send Mode "),
                           {tr("Append"), tr("Replace"), tr("Unique"), tr("Restart")}, FSendModeGroup);
    FileType1 = RadioGroup(OptionsPage, "FileType1", tr(" File Type "), {tr("Ascii"), tr("Binary")}, FFileTypeGroup);
    {
        // Listed first and chosen at start: machine-readable listings where
        // the server has them, otherwise LIST read in the style it shows.
        auto *Auto = new QRadioButton(tr("Automatic"), rgDirStyle);
        Auto->setObjectName(QStringLiteral("rgDirStyle_auto"));
        Auto->setToolTip(tr("MLSD when the server offers it; otherwise LIST, read in the style its lines have"));
        FDirStyleGroup->addButton(Auto, dsAuto);
        static_cast<QBoxLayout *>(rgDirStyle->layout())->insertWidget(0, Auto);
        Auto->setChecked(true);
    }
    FSendModeGroup->button(1)->setChecked(true);
    FFileTypeGroup->button(0)->setChecked(true);
    edtRestartAt = Edit(OptionsPage, "edtRestartAt");
    // A byte offset: digits only, up to the largest file size there is.
    edtRestartAt->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,18}")), edtRestartAt));
    edtRestartAt->setToolTip(tr("Byte offset at which a transfer in Restart mode resumes"));
    TimeoutEdit = Edit(OptionsPage, "TimeoutEdit");
    TimeoutEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,9}")), TimeoutEdit));
    TimeoutEdit->setToolTip(tr("Transfer time-out in milliseconds; 0 turns it off"));
    LoginTimeoutEdit = Edit(OptionsPage, "LoginTimeoutEdit");
    LoginTimeoutEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("\\d{0,5}")), LoginTimeoutEdit));
    LoginTimeoutEdit->setText(QStringLiteral("30"));
    LoginTimeoutEdit->setToolTip(tr("Seconds allowed for connecting, the greeting and the login; 0 waits for ever"));
    PageControl->addTab(OptionsPage, ThemeIcon("preferences-system", QStyle::SP_FileDialogDetailedView), tr("Options"));

    // Page "Log"
    FLogPage = new TLogPage;
    ReplyMemo = FLogPage->Memo();
    PageControl->addTab(FLogPage, ThemeIcon("text-x-generic", QStyle::SP_FileDialogContentsView), tr("Log"));

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(2000);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(1000);
    Timer2->setSingleShot(true);
    FRetryTimer = new QTimer(this);
    FRetryTimer->setObjectName(QStringLiteral("UnattendedRetry"));
    FRetryTimer->setInterval(1000);
    FLoginTimer = new QTimer(this);
    FLoginTimer->setObjectName(QStringLiteral("LoginTimer"));
    FLoginTimer->setSingleShot(true);
    FQuitTimer = new QTimer(this);
    FQuitTimer->setObjectName(QStringLiteral("QuitTimer"));
    FQuitTimer->setSingleShot(true);
    FQuitTimer->setInterval(5000);
    FCancelTimer = new QTimer(this);
    FCancelTimer->setObjectName(QStringLiteral("CancelTimer"));
    FCancelTimer->setSingleShot(true);
    FCancelTimer->setInterval(10000);
}

void TTolvaneFtp::CreateActions()
{
    RemotePopupMenu = new QMenu(this);
    RemotePopupMenu->setObjectName(QStringLiteral("RemotePopupMenu"));
    const auto Add = [this](const char *Name, const QString &Text, const QKeySequence &Key, const QString &Tip,
                            const QIcon &Icon) {
        auto *A = new QAction(Icon, Text, this);
        A->setObjectName(QLatin1String(Name));
        A->setShortcut(Key);
        A->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        A->setStatusTip(Tip);
        A->setToolTip(Tip);
        RemotePopupMenu->addAction(A);
        lbxFiles->addAction(A);
        return A;
    };
    Downloadfile1 = Add("Downloadfile1", tr("Download file"), QKeySequence(Qt::CTRL | Qt::Key_D),
                        tr("Download the selected file into a local folder"), ThemeIcon("document-save-as", QStyle::SP_ArrowDown));
    RemotePopupMenu->addSeparator();
    Refresh1 = Add("Refresh1", tr("Refresh"), QKeySequence(Qt::Key_F5), tr("List the remote folder again"),
                   ThemeIcon("view-refresh", QStyle::SP_BrowserReload));
    Delete2 = Add("Delete2", tr("Delete "), QKeySequence(Qt::Key_Delete), tr("Delete the selected file on the server"),
                  ThemeIcon("edit-delete", QStyle::SP_TrashIcon));
    Rename2 = Add("Rename2", tr("Rename"), QKeySequence(Qt::CTRL | Qt::Key_R), tr("Rename the selected file on the server"),
                  ThemeIcon("edit-rename", QStyle::SP_FileIcon));
    CreateFolderCommands();
    RemotePopupMenu->addSeparator();
    Permissions1 = Add("Permissions1", tr("Permissions"), QKeySequence(Qt::CTRL | Qt::Key_P),
                       tr("Change the permissions of the selected file"), ThemeIcon("document-properties", QStyle::SP_FileDialogInfoView));
    // Backspace opens the parent folder, from the list and from the tree.
    GoUp = new QAction(ThemeIcon("go-up", QStyle::SP_FileDialogToParent), tr("Parent folder"), this);
    GoUp->setObjectName(QStringLiteral("GoUp"));
    GoUp->setShortcut(QKeySequence(Qt::Key_Backspace));
    GoUp->setShortcutContext(Qt::WidgetShortcut);
    GoUp->setStatusTip(tr("Open the parent folder"));
    lbxFiles->addAction(GoUp);
    auto *TreeUp = new QAction(GoUp->text(), FTree);
    TreeUp->setObjectName(QStringLiteral("TreeGoUp"));
    TreeUp->setShortcut(GoUp->shortcut());
    TreeUp->setShortcutContext(Qt::WidgetShortcut);
    FTree->addAction(TreeUp);
    connect(TreeUp, &QAction::triggered, GoUp, &QAction::trigger);
    RemotePopupMenu->addSeparator();
    RemotePopupMenu->addAction(MakeShowHiddenAction(this, FFiles, FSettingsPath, [this] { Refresh1Click(); }));
}

void TTolvaneFtp::CreateLayout()
{
    auto *BarRows = new QVBoxLayout(FConnectionBar);
    BarRows->setContentsMargins(8, 4, 8, 6);
    BarRows->setSpacing(4);
    auto *Bar = new QHBoxLayout;
    BarRows->addLayout(Bar);
    Bar->addWidget(Caption(FConnectionBar, tr("FTP &Host:"), edtURL));
    Bar->addWidget(edtURL, 3);
    Bar->addSpacing(6);
    Bar->addWidget(Caption(FConnectionBar, tr("User na&me"), edtUserName));
    Bar->addWidget(edtUserName, 2);
    Bar->addSpacing(6);
    Bar->addWidget(Caption(FConnectionBar, tr("Pass&word"), edtPassword));
    Bar->addWidget(edtPassword, 2);
    Bar->addSpacing(6);
    Bar->addWidget(chkPassive);
    Bar->addWidget(sBitBtn5);
    auto *Security = new QHBoxLayout;
    BarRows->addLayout(Security);
    Security->addWidget(Caption(FConnectionBar, tr("&Encryption:"), cbxEncryption));
    Security->addWidget(cbxEncryption);
    Security->addSpacing(12);
    Security->addWidget(chkRememberPassword);
    Security->addStretch(1);

    auto *Summary = new QGridLayout;
    Summary->setHorizontalSpacing(8);
    Summary->setVerticalSpacing(2);
    Summary->addWidget(new QLabel(tr("File to upload:"), this), 0, 0);
    Summary->addWidget(FileLabel, 0, 1);
    Summary->addWidget(new QLabel(tr("Upload remote folder:"), this), 1, 0);
    Summary->addWidget(RemoteFolder, 1, 1);
    Summary->setColumnStretch(1, 1);
    auto *SummaryRow = new QHBoxLayout;
    SummaryRow->addLayout(Summary, 1);
    SummaryRow->addWidget(Progress1, 0, Qt::AlignVCenter);

    auto *Folder = new QGridLayout(PageControl->widget(0));
    Folder->setContentsMargins(6, 6, 6, 6);
    Folder->addWidget(Caption(PageControl->widget(0), tr("Select F&older:"), FTree), 0, 0);
    Folder->addWidget(new QLabel(tr("Files:"), PageControl->widget(0)), 0, 1);
    Folder->addWidget(FTree, 1, 0);
    Folder->addWidget(lbxFiles, 1, 1);
    Folder->setColumnStretch(0, 2);
    Folder->setColumnStretch(1, 3);
    Folder->setRowStretch(1, 1);
    auto *Default = new QHBoxLayout;
    Default->addWidget(Caption(PageControl->widget(0), tr("&Default upload folder:"), DefRemote));
    Default->addWidget(DefRemote, 1);
    Default->addWidget(sBitBtn4);
    Default->addWidget(sBitBtn3);
    Folder->addLayout(Default, 2, 0, 1, 2);

    auto *Options = new QGridLayout(PageControl->widget(1));
    Options->setContentsMargins(6, 6, 6, 6);
    Options->addWidget(rgDirStyle, 0, 0, 4, 1);
    Options->addWidget(SendMode1, 0, 1, 4, 1);
    Options->addWidget(FileType1, 0, 2, 4, 1);
    Options->addWidget(Caption(PageControl->widget(1), tr("&Restart at"), edtRestartAt), 0, 3);
    Options->addWidget(edtRestartAt, 0, 4);
    Options->addWidget(Caption(PageControl->widget(1), tr("&Timeout (ticks):"), TimeoutEdit), 1, 3);
    Options->addWidget(TimeoutEdit, 1, 4);
    Options->addWidget(Caption(PageControl->widget(1), tr("&Login time-out (s):"), LoginTimeoutEdit), 2, 3);
    Options->addWidget(LoginTimeoutEdit, 2, 4);
    Options->setRowStretch(3, 1);
    Options->setColumnStretch(4, 1);

    auto *Buttons = new QVBoxLayout;
    for (QPushButton *B : {ConnectBtn, sButton2, sBitBtn1, sBitBtnFolder, sBitBtn2}) {
        B->setMinimumHeight(34);
        B->setIconSize(QSize(20, 20));
        B->setStyleSheet(QStringLiteral("text-align: left; padding-left: 8px; padding-right: 8px;"));
        Buttons->addWidget(B);
    }
    Buttons->addStretch(1);

    auto *Left = new QVBoxLayout;
    Left->addLayout(SummaryRow);
    Left->addWidget(PageControl, 1);
    auto *Body = new QHBoxLayout;
    Body->addLayout(Left, 1);
    Body->addLayout(Buttons);

    auto *Main = new QVBoxLayout(centralWidget());
    Main->setContentsMargins(8, 6, 8, 8);
    Main->addWidget(FConnectionBar);
    Main->addLayout(Body, 1);

    resize(730, 396);
    setMinimumSize(minimumSizeHint());
    if (const QScreen *Screen = QGuiApplication::primaryScreen())
        move(Screen->availableGeometry().center() - rect().center());

    setTabOrder(edtURL, edtUserName);
    setTabOrder(edtUserName, edtPassword);
    setTabOrder(edtPassword, chkPassive);
    setTabOrder(chkPassive, sBitBtn5);
    setTabOrder(sBitBtn5, cbxEncryption);
    setTabOrder(cbxEncryption, chkRememberPassword);
    setTabOrder(chkRememberPassword, PageControl);
    setTabOrder(PageControl, FTree);
    setTabOrder(FTree, lbxFiles);
    setTabOrder(lbxFiles, DefRemote);
    setTabOrder(DefRemote, sBitBtn4);
    setTabOrder(sBitBtn4, sBitBtn3);
    setTabOrder(sBitBtn3, ConnectBtn);
    setTabOrder(ConnectBtn, sButton2);
    setTabOrder(sButton2, sBitBtn1);
    setTabOrder(sBitBtn1, sBitBtnFolder);
    setTabOrder(sBitBtnFolder, sBitBtn2);
}

void TTolvaneFtp::CreateAccessibility()
{
    edtURL->setAccessibleName(tr("FTP Host"));
    edtUserName->setAccessibleName(tr("User name"));
    edtPassword->setAccessibleName(tr("Password"));
    edtPassword->setAccessibleDescription(tr("Password field; the text is hidden"));
    chkPassive->setAccessibleName(tr("Passive"));
    chkRememberPassword->setAccessibleName(tr("Remember password"));
    sBitBtn5->setAccessibleName(tr("Save connection settings"));
    FileLabel->setAccessibleName(tr("File to upload"));
    RemoteFolder->setAccessibleName(tr("Upload remote folder"));
    Progress1->setAccessibleName(tr("Transfer progress"));
    SetConnectCaption(false);
    sButton2->setAccessibleName(tr("Select file"));
    sBitBtn1->setAccessibleName(tr("Upload"));
    sBitBtn2->setAccessibleName(tr("About"));
    PageControl->setAccessibleName(tr("Pages"));
    FTree->setAccessibleName(tr("Remote folders"));
    lbxFiles->setAccessibleName(tr("Remote files"));
    DefRemote->setAccessibleName(tr("Default upload folder"));
    sBitBtn4->setAccessibleName(tr("Save default upload folder"));
    sBitBtn3->setAccessibleName(tr("Navigate"));
    rgDirStyle->setAccessibleName(tr("Style"));
    SendMode1->setAccessibleName(tr("Send Mode"));
    FileType1->setAccessibleName(tr("File Type"));
    edtRestartAt->setAccessibleName(tr("Restart at"));
    TimeoutEdit->setAccessibleName(tr("Timeout (ticks)"));
    TimeoutEdit->setAccessibleDescription(TimeoutEdit->toolTip());
    LoginTimeoutEdit->setAccessibleName(tr("Login time-out in seconds"));
    LoginTimeoutEdit->setAccessibleDescription(LoginTimeoutEdit->toolTip());
    ReplyMemo->setAccessibleName(tr("Server replies"));
    RemotePopupMenu->setAccessibleName(tr("File actions"));
}
