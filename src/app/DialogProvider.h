#pragma once
// Every dialog and message box of the program goes through one provider, so
// that tests can answer them; the program uses Qt's standard dialogs.

#include <QString>
#include <QStringList>

#include <string>

#include "app/TrustQuestion.h"

class QWidget;
struct TCertificateDetails;

enum TDialogAnswer { daNone, daYes, daNo };

// What to do with a file that a transfer would replace.
enum TOverwriteAnswer { oaCancel, oaOverwrite, oaResume, oaRename };

class TDialogProvider
{
public:
    virtual ~TDialogProvider() = default;
    // A plain message box with an OK button.
    virtual void ShowMessage(QWidget *Parent, const QString &Text) = 0;
    // The warning box with Yes and No; daNone when it was closed unanswered.
    virtual TDialogAnswer WarningYesNo(QWidget *Parent, const QString &Title, const QString &Text) = 0;
    // The input box with OK and Cancel; false when cancelled.
    virtual bool InputText(QWidget *Parent, const QString &Title, const QString &Prompt, QString &Value) = 0;
    // The files to upload (one or several); empty when cancelled.
    virtual QStringList OpenFiles(QWidget *Parent) = 0;
    // The download folder; empty when cancelled.
    virtual QString PickFolder(QWidget *Parent) = 0;
    // Text names the file that exists; Resume is offered only when
    // CanResume. A box closed without an answer is oaCancel. With ApplyToAll
    // the question belongs to a job of several files: it offers "Apply to
    // all" (its state comes back there) and its cancel skips the file.
    virtual TOverwriteAnswer AskOverwrite(QWidget *Parent, const QString &Text, bool CanResume,
                                          bool *ApplyToAll = nullptr) = 0;
    // A transfer runs while the user disconnects or closes: true to cancel
    // it, false to keep it going.
    virtual bool AskCancelTransfer(QWidget *Parent, const QString &Text) = 0;
    // A server certificate that could not be verified (OldSha256 empty), or
    // one that differs from the one trusted before (OldSha256 names that).
    // A box closed without an answer is taCancel.
    virtual TTrustAnswer AskTrust(QWidget *Parent, const TCertificateDetails &Info, const std::string &OldSha256) = 0;
    // The password for a login, typed hidden; false when cancelled.
    virtual bool AskPassword(QWidget *Parent, const QString &Prompt, QString &Password) = 0;
};

// The provider in use (Qt's standard dialogs unless a test installed another).
TDialogProvider &Dialogs();
// Installs Provider (not owned); nullptr restores the standard dialogs.
void SetDialogProvider(TDialogProvider *Provider);
