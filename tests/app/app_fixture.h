#pragma once
// Shared by the window tests: a dialog provider that the test answers, and
// a main window started on a settings file of the test's own.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <deque>
#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "app/About.h"
#include "app/DialogProvider.h"
#include "app/EngineTls.h"
#include "app/FilePermission.h"
#include "app/TolvaneFtp.h"
#include "support/EventLoop.h"
#include "support/TestPaths.h"

// Readable failure messages for Qt strings.
inline void PrintTo(const QString &Text, std::ostream *Out) { *Out << '"' << Text.toStdString() << '"'; }

// Records every dialog the program opens and answers from queues; an empty
// queue answers "cancel" (and a Yes/No box "No").
class TScriptedDialogs : public TDialogProvider
{
public:
    TScriptedDialogs() { SetDialogProvider(this); }
    ~TScriptedDialogs() override { SetDialogProvider(nullptr); }

    void ShowMessage(QWidget *, const QString &Text) override { Messages.push_back(Text.toStdString()); }
    TDialogAnswer WarningYesNo(QWidget *, const QString &Title, const QString &Text) override
    {
        Warnings.push_back(Title.toStdString() + "|" + Text.toStdString());
        return Take(YesNo, daNo);
    }
    bool InputText(QWidget *, const QString &Title, const QString &Prompt, QString &Value) override
    {
        Inputs.push_back(Title.toStdString() + "|" + Prompt.toStdString() + "|" + Value.toStdString());
        if (InputAnswers.empty())
            return false;
        Value = QString::fromStdString(InputAnswers.front());
        InputAnswers.pop_front();
        return true;
    }
    QStringList OpenFiles(QWidget *) override
    {
        ++OpenFileCalls;
        QStringList Chosen;
        if (!FileLists.empty()) {
            for (const std::string &F : Take(FileLists, {}))
                Chosen << QString::fromStdString(F);
        } else if (const std::string F = Take(Files, std::string()); !F.empty()) {
            Chosen << QString::fromStdString(F);
        }
        return Chosen;
    }
    QString PickFolder(QWidget *) override
    {
        ++PickFolderCalls;
        if (DuringDialog)
            DuringDialog();
        return QString::fromStdString(Take(Folders, std::string()));
    }
    TOverwriteAnswer AskOverwrite(QWidget *, const QString &Text, bool CanResume, bool *ApplyToAll) override
    {
        Overwrites.push_back(Text.toStdString() + (CanResume ? "|resume" : "") + (ApplyToAll ? "|all" : ""));
        if (ApplyToAll)
            *ApplyToAll = Take(ApplyToAllAnswers, false);
        return Take(OverwriteAnswers, oaCancel);
    }
    bool AskCancelTransfer(QWidget *, const QString &Text) override
    {
        CancelQuestions.push_back(Text.toStdString());
        return Take(CancelAnswers, false);
    }
    TTrustAnswer AskTrust(QWidget *, const TCertificateDetails &Info, const std::string &OldSha256) override
    {
        Trusts.push_back({Info, OldSha256});
        if (DuringTrust)
            DuringTrust();
        return Take(TrustAnswers, taCancel);
    }
    bool AskPassword(QWidget *, const QString &Prompt, QString &Password) override
    {
        PasswordPrompts.push_back(Prompt.toStdString());
        if (PasswordAnswers.empty())
            return false;
        Password = QString::fromStdString(Take(PasswordAnswers, std::string()));
        return true;
    }

    std::vector<std::string> Messages;
    std::vector<std::string> Warnings;
    std::vector<std::string> Inputs;
    std::deque<TDialogAnswer> YesNo;
    std::deque<std::string> InputAnswers;
    std::deque<std::string> Files;
    std::deque<std::vector<std::string>> FileLists; // several files at once, before Files
    std::deque<std::string> Folders;
    std::vector<std::string> Overwrites;
    std::deque<TOverwriteAnswer> OverwriteAnswers;
    std::deque<bool> ApplyToAllAnswers; // the question's "Apply to all" box
    std::vector<std::string> CancelQuestions;
    std::deque<bool> CancelAnswers;
    std::vector<std::pair<TCertificateDetails, std::string>> Trusts; // what each trust question showed
    std::deque<TTrustAnswer> TrustAnswers;
    std::function<void()> DuringTrust; // runs while the trust question is open
    std::vector<std::string> PasswordPrompts;
    std::deque<std::string> PasswordAnswers;
    // Runs while a folder picker is open: the event loop goes on there.
    std::function<void()> DuringDialog;
    int OpenFileCalls = 0;
    int PickFolderCalls = 0;

private:
    template <typename T> static T Take(std::deque<T> &Queue, T Default)
    {
        if (Queue.empty())
            return Default;
        T Value = Queue.front();
        Queue.pop_front();
        return Value;
    }
};

// A button's caption as the user reads it (mnemonic marks removed).
inline std::string ShownText(const QAbstractButton *Button)
{
    return Button->text().remove(QLatin1Char('&')).toStdString();
}

// The main window with its two dialogs, as the program creates them, on a
// settings file in a temporary folder.
class TWindowFixture : public ::testing::Test
{
protected:
    void StartWindow(const QStringList &Arguments = {})
    {
        Window = std::make_unique<TTolvaneFtp>(SettingsPath(), Arguments);
        Permission = std::make_unique<TFilePermission>(Window.get());
        FilePermission = Permission.get();
        FilePermission->SetHost(Window.get());
        AboutBox = std::make_unique<TAbout>(Window.get());
        About = AboutBox.get();
    }
    void ShowWindow()
    {
        Window->show();
        QApplication::processEvents();
    }
    void TearDown() override
    {
        About = nullptr;
        FilePermission = nullptr;
        AboutBox.reset();
        Permission.reset();
        Window.reset();
    }

    std::string SettingsPath() const { return Dir.File("host.ini"); }
    void WriteSettings(const std::string &Text) { ASSERT_TRUE(WriteFile(SettingsPath(), Text)); }

    template <typename T> T *Find(const char *Name) const
    {
        T *Widget = Window->findChild<T *>(QLatin1String(Name));
        EXPECT_NE(Widget, nullptr) << "no widget " << Name;
        return Widget;
    }
    std::string Text(const char *Name) const
    {
        if (auto *Edit = Window->findChild<QLineEdit *>(QLatin1String(Name)))
            return Edit->text().toStdString();
        if (auto *Label = Window->findChild<QLabel *>(QLatin1String(Name)))
            return Label->text().toStdString();
        if (auto *Button = Window->findChild<QAbstractButton *>(QLatin1String(Name)))
            return ShownText(Button);
        ADD_FAILURE() << "no text widget " << Name;
        return {};
    }
    std::string Title() const { return Window->windowTitle().toStdString(); }

    TTempDir Dir{"tolvane-app"};
    TScriptedDialogs Dialogs;
    std::unique_ptr<TTolvaneFtp> Window;
    std::unique_ptr<TFilePermission> Permission;
    std::unique_ptr<TAbout> AboutBox;
};
