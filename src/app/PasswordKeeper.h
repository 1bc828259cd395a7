#pragma once
// Where the window keeps the login password: in the desktop's keyring when
// there is one ("Remember password" on), in host.ini as before when there
// is none, and nowhere when the user does not want it remembered. A
// host.ini that holds a password goes on working as it is; the password
// leaves it only when the user saves and the keyring has taken it.

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>

#include "app/HostSettings.h"

class TPasswordStore;

class TPasswordKeeper : public QObject
{
    Q_OBJECT

public:
    TPasswordKeeper(QObject *Parent, std::string SettingsPath);

    enum TKeyring : uint8_t { krUnknown, krPresent, krMissing };
    TKeyring Keyring() const { return FKeyring; }

    // The password for the settings just read: the file's, the keyring's
    // (Done is called once the keyring has answered), or none. Done is
    // always called, at once when there is nothing to ask.
    void Load(const THostSettings &Settings, uint16_t DefaultPort, std::function<void(const QString &Password)> Done);
    bool Loading() const { return FLoading; }

    // Before Settings are written: leaves the password out of them when it
    // is not to be remembered, or when the keyring is known to keep it.
    void PrepareSave(THostSettings &Settings) const;
    // After they were written: the keyring takes the password (and the file
    // loses it once the keyring has it; the file keeps it when there is no
    // keyring), or forgets it.
    void AfterSave(const THostSettings &Settings, uint16_t DefaultPort);

    // Where the password went, for the status bar and the log; told when
    // that changes.
    std::function<void(const QString &Text)> OnNote;

    TPasswordStore *Store() const { return FStore; }

private:
    void Note(const QString &Text);
    // Puts the password into host.ini or takes it out, unless the file now
    // names another host or user than the saved ones.
    void FixFile(const THostSettings &Saved, bool InFile);

    std::string FSettingsPath;
    TPasswordStore *FStore;
    TKeyring FKeyring = krUnknown;
    bool FLoading = false;
    QString FStored;   // account and password the keyring is known to hold
    QString FLastNote;
};
