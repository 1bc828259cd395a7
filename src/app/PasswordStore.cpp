#include "app/PasswordStore.h"

#include <qt6keychain/keychain.h>

#include <cctype>

namespace {

bool AllDigits(const std::string &Text)
{
    if (Text.empty())
        return false;
    for (const char C : Text)
        if (!std::isdigit(static_cast<unsigned char>(C)))
            return false;
    return true;
}

} // namespace

TPasswordStore::TPasswordStore(QObject *Parent, const QString &Service) : QObject(Parent), FService(Service) {}

QString TPasswordStore::Account(const std::string &User, const std::string &HostText, uint16_t DefaultPort)
{
    std::string Host = HostText;
    std::string Port = std::to_string(DefaultPort);
    if (!Host.empty() && Host.front() == '[') {
        // "[::1]" or "[::1]:2121"
        const size_t Close = Host.find(']');
        if (Close != std::string::npos) {
            if (Close + 1 < Host.size() && Host[Close + 1] == ':' && AllDigits(Host.substr(Close + 2)))
                Port = Host.substr(Close + 2);
            Host = Host.substr(1, Close - 1);
        }
    } else if (const size_t Colon = Host.rfind(':');
               Colon != std::string::npos && Host.find(':') == Colon && AllDigits(Host.substr(Colon + 1))) {
        // One colon: "name:port". More than one is an IPv6 address without a port.
        Port = Host.substr(Colon + 1);
        Host.resize(Colon);
    }
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
