#include "app/PasswordStore.h"

#include "base/IpAddress.h"

#include <qt6keychain/keychain.h>

#include <cctype>

TPasswordStore::TPasswordStore(QObject *Parent, const QString &Service) : QObject(Parent), FService(Service) {}

QString TPasswordStore::Account(const std::string &User, const std::string &HostText, uint16_t DefaultPort)
{
    // The engine's own reading of the host text; text it cannot read is
    // kept whole, so that such an account still has a name of its own.
    std::string Host;
    std::string Port;
    if (!IpSplitHostPort(HostText, Host, Port))
        Host = HostText;
    if (Port.empty())
        Port = std::to_string(DefaultPort);
    for (char &C : Host)
        C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    if (Host.find(':') != std::string::npos)
        Host = "[" + Host + "]";
    return QString::fromStdString(User + "@" + Host + ":" + Port);
}

void TPasswordStore::Finish(QKeychain::Job *Job, const TDone &Done, bool Reading)
{
    --FPending;
    if (!Done)
        return;
    switch (Job->error()) {
    case QKeychain::NoError:
        Done(poDone, Reading ? static_cast<QKeychain::ReadPasswordJob *>(Job)->textData() : QString(), QString());
        break;
    case QKeychain::EntryNotFound:
        Done(poNotFound, QString(), Job->errorString());
        break;
    default:
        Done(poNoKeyring, QString(), Job->errorString());
        break;
    }
}

// The jobs have no parent: one that is still talking to the keyring when
// the window goes must not be destroyed under it. Each deletes itself when
// done; the store as the connection's context drops the answer if it has
// gone by then.
void TPasswordStore::Read(const QString &Account, TDone Done)
{
    auto *Job = new QKeychain::ReadPasswordJob(FService);
    Job->setAutoDelete(true);
    Job->setInsecureFallback(false);
    Job->setKey(Account);
    connect(Job, &QKeychain::Job::finished, this,
            [this, Done = std::move(Done)](QKeychain::Job *J) { Finish(J, Done, true); });
    ++FPending;
    Job->start();
}

void TPasswordStore::Write(const QString &Account, const QString &Password, TDone Done)
{
    auto *Job = new QKeychain::WritePasswordJob(FService);
    Job->setAutoDelete(true);
    Job->setInsecureFallback(false);
    Job->setKey(Account);
    Job->setTextData(Password);
    connect(Job, &QKeychain::Job::finished, this,
            [this, Done = std::move(Done)](QKeychain::Job *J) { Finish(J, Done, false); });
    ++FPending;
    Job->start();
}

void TPasswordStore::Remove(const QString &Account, TDone Done)
{
    auto *Job = new QKeychain::DeletePasswordJob(FService);
    Job->setAutoDelete(true);
    Job->setInsecureFallback(false);
    Job->setKey(Account);
    connect(Job, &QKeychain::Job::finished, this,
            [this, Done = std::move(Done)](QKeychain::Job *J) { Finish(J, Done, false); });
    ++FPending;
    Job->start();
}
