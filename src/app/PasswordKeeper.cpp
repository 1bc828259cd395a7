#include "app/PasswordKeeper.h"

#include "app/PasswordStore.h"

namespace {

// One string for "this account has this password", to compare with.
QString Pair(const QString &Account, const QString &Password) { return Account + QChar(0) + Password; }

} // namespace

TPasswordKeeper::TPasswordKeeper(QObject *Parent, std::string SettingsPath)
    : QObject(Parent), FSettingsPath(std::move(SettingsPath)), FStore(new TPasswordStore(this))
{
}

void TPasswordKeeper::Note(const QString &Text)
{
    if (Text == FLastNote)
        return;
    FLastNote = Text;
    if (OnNote)
        OnNote(Text);
}

void TPasswordKeeper::Load(const THostSettings &Settings, uint16_t DefaultPort,
                           std::function<void(const QString &Password)> Done)
{
    if (!Settings.RememberPassword || !Settings.Password.empty() || Settings.Host.empty() ||
        Settings.Username.empty()) {
        Done(QString::fromStdString(Settings.RememberPassword ? Settings.Password : std::string()));
        return;
    }
    FLoading = true;
    const QString Account = TPasswordStore::Account(Settings.Username, Settings.Host, DefaultPort);
    FStore->Read(Account, [this, Account, Done](TPasswordOutcome Outcome, const QString &Password, const QString &Why) {
        FLoading = false;
        FKeyring = Outcome == poNoKeyring ? krMissing : krPresent;
        if (Outcome == poDone)
            FStored = Pair(Account, Password);
        else if (Outcome == poNoKeyring)
            Note(tr("The keyring could not be read (%1), so no password was filled in.").arg(Why));
        Done(Password);
    });
}

void TPasswordKeeper::PrepareSave(THostSettings &Settings) const
{
    if (!Settings.RememberPassword) {
        Settings.Password.clear();
        Settings.PasswordInFile = false;
        return;
    }
    // Until the keyring has taken it, the file keeps it: a keyring that
    // turns out to be missing must not cost the user the password.
    Settings.PasswordInFile = FKeyring != krPresent || Settings.Password.empty();
}

void TPasswordKeeper::AfterSave(const THostSettings &Settings, uint16_t DefaultPort)
{
    const QString Account = TPasswordStore::Account(Settings.Username, Settings.Host, DefaultPort);
    const QString Password = QString::fromStdString(Settings.Password);
    if (!Settings.RememberPassword || Password.isEmpty()) {
        if (FStored.startsWith(Account + QChar(0)) || FKeyring != krMissing) {
            FStored.clear();
            FStore->Remove(Account);
        }
        if (!Settings.RememberPassword)
            Note(tr("The password is not stored; Connect asks for it."));
        return;
    }
    if (FKeyring == krPresent && FStored == Pair(Account, Password))
        return; // the keyring has it already
    FStore->Write(Account, Password, [this, Settings, Account, Password](TPasswordOutcome Outcome, const QString &,
                                                                          const QString &Why) {
        if (Outcome == poDone) {
            FKeyring = krPresent;
            FStored = Pair(Account, Password);
            FixFile(Settings, false);
            Note(tr("The password for %1 is kept in the keyring.").arg(Account));
        } else {
            FKeyring = krMissing;
            FStored.clear();
            FixFile(Settings, true);
            Note(tr("No keyring is available (%1): the password is kept in host.ini.").arg(Why));
        }
    });
}

void TPasswordKeeper::FixFile(const THostSettings &Saved, bool InFile)
{
    std::string Problem;
    THostSettings Now = ReadHostSettings(FSettingsPath, &Problem);
    if (!Problem.empty() || Now.Host != Saved.Host || Now.Username != Saved.Username ||
        (InFile && Now.Password == Saved.Password) || (!InFile && Now.Password.empty()))
        return;
    Now.Password = InFile ? Saved.Password : std::string();
    Now.PasswordInFile = InFile;
    try {
        WriteHostSettings(FSettingsPath, Now);
    } catch (const EHostSettingsError &E) {
        Note(QString::fromUtf8(E.what()));
    }
}
