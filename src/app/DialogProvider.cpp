#include "app/DialogProvider.h"

#include "app/EngineTls.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {

class TQtDialogProvider : public TDialogProvider
{
public:
    void ShowMessage(QWidget *Parent, const QString &Text) override
    {
        QMessageBox Box(QMessageBox::NoIcon, QStringLiteral("Tolvane FTP Uploader"), Text, QMessageBox::Ok, Parent);
        Box.setTextFormat(Qt::PlainText);
        Box.exec();
    }

    TDialogAnswer WarningYesNo(QWidget *Parent, const QString &Title, const QString &Text) override
    {
        QMessageBox Box(QMessageBox::Warning, Title, Text, QMessageBox::NoButton, Parent);
        Box.setTextFormat(Qt::PlainText);
        QAbstractButton *Yes = Box.addButton(QObject::tr("&Yes"), QMessageBox::YesRole);
        QAbstractButton *No = Box.addButton(QObject::tr("&No"), QMessageBox::NoRole);
        Box.setEscapeButton(static_cast<QAbstractButton *>(nullptr));
        Box.exec();
        if (Box.clickedButton() == Yes)
            return daYes;
        if (Box.clickedButton() == No)
            return daNo;
        return daNone;
    }

    bool InputText(QWidget *Parent, const QString &Title, const QString &Prompt, QString &Value) override
    {
        bool Ok = false;
        const QString Text = QInputDialog::getText(Parent, Title, Prompt, QLineEdit::Normal, Value, &Ok);
        if (Ok)
            Value = Text;
        return Ok;
    }

    QStringList OpenFiles(QWidget *Parent) override { return QFileDialog::getOpenFileNames(Parent); }

    QString PickFolder(QWidget *Parent) override
    {
        return QFileDialog::getExistingDirectory(Parent, QString(), QDir::homePath());
    }

    TOverwriteAnswer AskOverwrite(QWidget *Parent, const QString &Text, bool CanResume, bool *ApplyToAll) override
    {
        QMessageBox Box(QMessageBox::Question, QStringLiteral("Tolvane FTP Uploader"), Text, QMessageBox::NoButton,
                        Parent);
        Box.setTextFormat(Qt::PlainText);
        QAbstractButton *Overwrite = Box.addButton(QObject::tr("&Overwrite"), QMessageBox::DestructiveRole);
        QAbstractButton *Resume = CanResume ? Box.addButton(QObject::tr("&Resume"), QMessageBox::AcceptRole) : nullptr;
        QAbstractButton *Rename = Box.addButton(QObject::tr("Re&name"), QMessageBox::ActionRole);
        QPushButton *Cancel = ApplyToAll ? Box.addButton(QObject::tr("&Skip"), QMessageBox::RejectRole)
                                         : Box.addButton(QMessageBox::Cancel);
        Box.setDefaultButton(Cancel);
        Box.setEscapeButton(Cancel);
        QCheckBox *All = nullptr;
        if (ApplyToAll) {
            All = new QCheckBox(QObject::tr("&Apply to all"), &Box);
            All->setAccessibleName(QObject::tr("Apply to all"));
            Box.setCheckBox(All);
        }
        Box.exec();
        if (All)
            *ApplyToAll = All->isChecked();
        if (Box.clickedButton() == Overwrite)
            return oaOverwrite;
        if (Resume && Box.clickedButton() == Resume)
            return oaResume;
        if (Box.clickedButton() == Rename)
            return oaRename;
        return oaCancel;
    }

    bool AskCancelTransfer(QWidget *Parent, const QString &Text) override
    {
        QMessageBox Box(QMessageBox::Warning, QStringLiteral("Tolvane FTP Uploader"), Text, QMessageBox::NoButton,
                        Parent);
        Box.setTextFormat(Qt::PlainText);
        QAbstractButton *Cancel = Box.addButton(QObject::tr("&Cancel the transfer"), QMessageBox::DestructiveRole);
        QPushButton *Keep = Box.addButton(QObject::tr("&Keep going"), QMessageBox::RejectRole);
        Box.setDefaultButton(Keep);
        Box.setEscapeButton(Keep);
        Box.exec();
        return Box.clickedButton() == Cancel;
    }

    TTrustAnswer AskTrust(QWidget *Parent, const TCertificateDetails &Info, const std::string &OldSha256) override
    {
        TTrustQuestion Box(Info, OldSha256, Parent);
        Box.exec();
        return Box.Answer();
    }

    bool AskPassword(QWidget *Parent, const QString &Prompt, QString &Password) override
    {
        bool Ok = false;
        const QString Text = QInputDialog::getText(Parent, QStringLiteral("Tolvane FTP Uploader"), Prompt,
                                                   QLineEdit::Password, QString(), &Ok);
        if (Ok)
            Password = Text;
        return Ok;
    }
};

TQtDialogProvider StandardDialogs;
TDialogProvider *Current = nullptr;

} // namespace

TDialogProvider &Dialogs() { return Current ? *Current : StandardDialogs; }

void SetDialogProvider(TDialogProvider *Provider) { Current = Provider; }
