#pragma once
// Passwords in the desktop's keyring (the Secret Service on the session
// bus, through QtKeychain), one entry per user@host:port. Every call returns
// at once; the keyring's answer comes later through the callback, on the
// event loop, so the window never waits for the keyring (which may have to
// be started or unlocked first).

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>

namespace QKeychain {
class Job;
}

enum TPasswordOutcome : uint8_t {
    poDone,      // stored, removed, or read (the password is in Password)
    poNotFound,  // the keyring holds no password for the account
    poNoKeyring  // no keyring to ask, or it refused: Why says what happened
};

class TPasswordStore : public QObject
{
    Q_OBJECT

public:
    using TDone = std::function<void(TPasswordOutcome Outcome, const QString &Password, const QString &Why)>;

    explicit TPasswordStore(QObject *Parent = nullptr, const QString &Service = QStringLiteral("tolvane-ftp"));

    // The entry's name: "user@host:port". Host is the host text as typed
    // (with or without a port, an IPv6 address with or without brackets);
    // without a port, DefaultPort.
    static QString Account(const std::string &User, const std::string &HostText, uint16_t DefaultPort);

    void Read(const QString &Account, TDone Done);
    void Write(const QString &Account, const QString &Password, TDone Done);
    void Remove(const QString &Account, TDone Done = {});

    // Jobs that have not answered yet.
    int Pending() const { return FPending; }

private:
    void Finish(QKeychain::Job *Job, const TDone &Done, bool Reading);

    QString FService;
    int FPending = 0;
};
