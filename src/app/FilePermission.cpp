#include "app/FilePermission.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QVBoxLayout>

#include <cstring>

TFilePermission *FilePermission = nullptr;

std::string PermissionModeText(TIpFtpPermissions Owner, TIpFtpPermissions Group,
                               TIpFtpPermissions Other)
{
    std::string Mode = "0";
    for (TIpFtpPermissions Set : {Owner, Group, Other})
        Mode += static_cast<char>('0' + PermissionsOctalDigit(Set));
    return Mode;
}

namespace {

const QRegularExpression &ModePattern()
{
    static const QRegularExpression Pattern(QStringLiteral("[0-7]{1,4}"));
    return Pattern;
}

// Characters that would let a name rearrange or hide what a label shows:
// controls, and the marks that reorder text direction.
bool NeedsEscape(char32_t C)
{
    return C < 0x20 || (C >= 0x7f && C <= 0x9f) || C == 0x200e || C == 0x200f ||
           (C >= 0x202a && C <= 0x202e) || (C >= 0x2066 && C <= 0x2069);
}

// The name as a label shows it: bytes that are not UTF-8 become replacement
// characters and the characters above are shown as escapes, so what the
// server sent can neither disguise itself nor garble the dialog.
QString DisplayName(const std::string &Name)
{
    const QString Decoded = QString::fromUtf8(Name.data(), static_cast<qsizetype>(Name.size()));
    QString Shown;
    Shown.reserve(Decoded.size());
    for (char32_t C : Decoded.toUcs4()) {
        if (!NeedsEscape(C)) {
            Shown += QString::fromUcs4(&C, 1);
            continue;
        }
        switch (C) {
        case '\t': Shown += QStringLiteral("\\t"); break;
        case '\n': Shown += QStringLiteral("\\n"); break;
        case '\r': Shown += QStringLiteral("\\r"); break;
        default:
            Shown += C < 0x100 ? QStringLiteral("\\x%1").arg(uint(C), 2, 16, QLatin1Char('0'))
                               : QStringLiteral("\\u%1").arg(uint(C), 4, 16, QLatin1Char('0'));
        }
    }
    return Shown;
}

TIpFtpPermissions BoxesToSet(const QCheckBox *Read, const QCheckBox *Write, const QCheckBox *Execute)
{
    TIpFtpPermissions Set;
    if (Read->isChecked())
        Set.Include(prRead);
    if (Write->isChecked())
        Set.Include(prWrite);
    if (Execute->isChecked())
        Set.Include(prExecute);
    return Set;
}

void SetToBoxes(TIpFtpPermissions Set, QCheckBox *Read, QCheckBox *Write, QCheckBox *Execute)
{
    Read->setChecked(Set.Contains(prRead));
    Write->setChecked(Set.Contains(prWrite));
    Execute->setChecked(Set.Contains(prExecute));
}

} // namespace

bool IsPermissionMode(const QString &Text)
{
    static const QRegularExpression Whole(
        QRegularExpression::anchoredPattern(ModePattern().pattern()));
    return Whole.match(Text).hasMatch();
}

TFilePermission::TFilePermission(QWidget *Parent) : QDialog(Parent)
{
    setObjectName(QStringLiteral("FilePermission"));
    setWindowTitle(QStringLiteral("Set file permission"));
    setModal(true);
    CreateWidgets();
    CreateLayout();
    // Fixed dialog border: the client area keeps its size.
    setFixedSize(310, 218);
    UpdateOkButton();
}

void TFilePermission::CreateWidgets()
{
    SelectedFile = new QLabel(QStringLiteral("File.ext"), this);
    SelectedFile->setObjectName(QStringLiteral("SelectedFile"));
    // Names come from the server: never interpreted as markup.
    SelectedFile->setTextFormat(Qt::PlainText);
    SelectedFile->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont Bold = SelectedFile->font();
    Bold.setBold(true);
    SelectedFile->setFont(Bold);

    auto MakeBox = [this](const char *Name, const char *Caption) {
        auto *Box = new QCheckBox(QString::fromLatin1(Caption), this);
        Box->setObjectName(QString::fromLatin1(Name));
        // Three boxes share each caption; a screen reader also says whose.
        const char Who = Name[std::strlen(Name) - 1];
        Box->setAccessibleDescription(QStringLiteral("%1 may %2")
                                          .arg(Who == '1'   ? QStringLiteral("Owner")
                                               : Who == '2' ? QStringLiteral("Group")
                                                            : QStringLiteral("Everyone else"),
                                               QString::fromLatin1(Caption).toLower()));
        connect(Box, &QCheckBox::toggled, this, &TFilePermission::Recompute);
        return Box;
    };
    Read1 = MakeBox("Read1", "Read");
    Write1 = MakeBox("Write1", "Write");
    Execute1 = MakeBox("Execute1", "Execute");
    Read2 = MakeBox("Read2", "Read");
    Write2 = MakeBox("Write2", "Write");
    Execute2 = MakeBox("Execute2", "Execute");
    Read3 = MakeBox("Read3", "Read");
    Write3 = MakeBox("Write3", "Write");
    Execute3 = MakeBox("Execute3", "Execute");

    chmod = new QLineEdit(QStringLiteral("0664"), this);
    chmod->setObjectName(QStringLiteral("chmod"));
    chmod->setAccessibleName(QStringLiteral("Numeric value"));
    // Only an octal mode can be typed: anything else would reach the server
    // as a broken command.
    chmod->setValidator(new QRegularExpressionValidator(ModePattern(), chmod));
    chmod->setMaxLength(4);
    chmod->setMaximumWidth(chmod->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 16);
    chmod->setToolTip(QStringLiteral("Octal mode, for example 0644 or 755"));
    connect(chmod, &QLineEdit::textChanged, this, &TFilePermission::UpdateOkButton);

    sButton1 = new QPushButton(QStringLiteral("Ok"), this);
    sButton1->setObjectName(QStringLiteral("sButton1"));
    sButton1->setDefault(true);
    connect(sButton1, &QPushButton::clicked, this, &TFilePermission::sButton1Click);
    sButton2 = new QPushButton(QStringLiteral("Cancel"), this);
    sButton2->setObjectName(QStringLiteral("sButton2"));
    connect(sButton2, &QPushButton::clicked, this, &TFilePermission::sButton2Click);
}

void TFilePermission::CreateLayout()
{
    auto *FileRow = new QHBoxLayout;
    auto *FileCaption = new QLabel(QStringLiteral("Selected file:"), this);
    FileCaption->setBuddy(SelectedFile);
    FileRow->addWidget(FileCaption);
    FileRow->addWidget(SelectedFile, 1);

    auto *Groups = new QHBoxLayout;
    auto AddGroup = [&](const char *Title, QCheckBox *R, QCheckBox *W, QCheckBox *X) {
        auto *Group = new QGroupBox(QString::fromLatin1(Title), this);
        auto *Column = new QVBoxLayout(Group);
        Column->setSpacing(2);
        Column->addWidget(R);
        Column->addWidget(W);
        Column->addWidget(X);
        Groups->addWidget(Group);
    };
    AddGroup("Owner:", Read1, Write1, Execute1);
    AddGroup("Group:", Read2, Write2, Execute2);
    AddGroup("Public:", Read3, Write3, Execute3);

    auto *ModeRow = new QHBoxLayout;
    auto *ModeCaption = new QLabel(QStringLiteral("Numeric value:"), this);
    ModeCaption->setBuddy(chmod);
    ModeRow->addWidget(ModeCaption);
    ModeRow->addWidget(chmod);
    ModeRow->addStretch(1);

    auto *Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(sButton1);
    Buttons->addWidget(sButton2);

    auto *Main = new QVBoxLayout(this);
    Main->addLayout(FileRow);
    Main->addLayout(Groups);
    Main->addLayout(ModeRow);
    Main->addStretch(1);
    Main->addLayout(Buttons);

    setTabOrder(Read1, Write1);
    setTabOrder(Write1, Execute1);
    setTabOrder(Execute1, Read2);
    setTabOrder(Read2, Write2);
    setTabOrder(Write2, Execute2);
    setTabOrder(Execute2, Read3);
    setTabOrder(Read3, Write3);
    setTabOrder(Write3, Execute3);
    setTabOrder(Execute3, chmod);
    setTabOrder(chmod, sButton1);
    setTabOrder(sButton1, sButton2);
}

void TFilePermission::showEvent(QShowEvent *Event)
{
    // Only the dialog's own showing, not a restore from the minimised task bar.
    if (!Event->spontaneous())
        FormShow();
    QDialog::showEvent(Event);
}

void TFilePermission::FormShow()
{
    const TIpFtpFileInfo *Entry = FHost ? FHost->SelectedEntry() : nullptr;
    // The name is copied: a listing that arrives while the dialog is open
    // frees the entries, and the command must still name this file.
    FHasFile = Entry != nullptr;
    FFileName = Entry ? Entry->FileName : std::string();
    if (Entry) {
        ShowFileName(Entry->FileName);
        SetToBoxes(Entry->OwnerPerms, Read1, Write1, Execute1);
        SetToBoxes(Entry->GroupPerms, Read2, Write2, Execute2);
        SetToBoxes(Entry->OtherPerms, Read3, Write3, Execute3);
    }
    Recompute();
    UpdateOkButton();
}

void TFilePermission::ShowFileName(const std::string &Name)
{
    const QString Shown = DisplayName(Name);
    SelectedFile->setAccessibleName(Shown);
    // A long name is shortened in its middle so the dialog keeps its size.
    if (layout())
        layout()->activate();
    const int Room = std::max(SelectedFile->width(), 120);
    SelectedFile->setText(SelectedFile->fontMetrics().elidedText(Shown, Qt::ElideMiddle, Room));
}

void TFilePermission::Recompute()
{
    chmod->setText(QString::fromStdString(PermissionModeText(BoxesToSet(Read1, Write1, Execute1),
                                                             BoxesToSet(Read2, Write2, Execute2),
                                                             BoxesToSet(Read3, Write3, Execute3))));
}

void TFilePermission::UpdateOkButton()
{
    sButton1->setEnabled(FHasFile && IsPermissionMode(chmod->text()));
}

void TFilePermission::sButton1Click()
{
    // Nothing to apply without a file and a valid mode (the button is then
    // disabled; Enter in the field lands here too).
    if (!FHost || !FHasFile || !IsPermissionMode(chmod->text()))
        return;
    // SITE CHMOD: the bare "chmod" line is refused by most servers.
    const std::string Folder = FHost->RemoteFolderPath();
    FHost->SendFtpCommand("SITE CHMOD " + chmod->text().toStdString() + " " + Folder + FFileName);
    FHost->RepaintNow();
    FHost->ChangeDir(Folder);
    accept();
}

void TFilePermission::sButton2Click()
{
    reject();
}
