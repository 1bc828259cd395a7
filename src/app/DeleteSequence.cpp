#include "app/DeleteSequence.h"

#include <QTimer>

TDeleteSequence::TDeleteSequence(TIpCustomFtpClient &Client, QObject *Parent)
    : QObject(Parent), FClient(Client), FHook(Client)
{
    FHook.OnStatus = [this](TIpFtpStatusCode Code, const std::string &) {
        if (Code == fscComplete)
            Answered(true, std::string());
    };
    FHook.OnFtpError = [this](int, const std::string &Text) { Answered(false, IpFtpFirstLine(Text)); };
    FHook.OnDisconnected = [this] {
        if (!FRunning)
            return;
        FOutcome.NotTried += static_cast<int>(FNames.size()) + (FWaiting ? 1 : 0);
        FNames.clear();
        FWaiting = false;
        QTimer::singleShot(0, this, [this] { Finish(); });
    };
}

TDeleteSequence::~TDeleteSequence() { FHook.Detach(); }

bool TDeleteSequence::Start(const std::vector<std::string> &Names)
{
    if (FRunning || Names.empty() || FClient.FtpState() != stReady || !FClient.LoggedIn())
        return false;
    FNames.assign(Names.begin(), Names.end());
    FOutcome = TOutcome();
    FRunning = true;
    FHook.Attach();
    Next();
    return true;
}

void TDeleteSequence::Answered(bool Deleted, const std::string &Why)
{
    if (!FWaiting)
        return;
    FWaiting = false;
    if (Deleted)
        ++FOutcome.Deleted;
    else
        FOutcome.Refused.emplace_back(FCurrent, Why);
    // The client is done with its event only once this returns.
    QTimer::singleShot(0, this, [this] { Next(); });
}

void TDeleteSequence::Next()
{
    if (!FRunning || FWaiting)
        return;
    while (!FNames.empty()) {
        FCurrent = FNames.front();
        FNames.pop_front();
        if (FClient.Delete(FCurrent)) {
            FWaiting = true;
            return;
        }
        if (FClient.FtpState() == stClosed) {
            FOutcome.NotTried += 1 + static_cast<int>(FNames.size());
            FNames.clear();
            break;
        }
        FOutcome.Refused.emplace_back(FCurrent, "the name cannot be sent");
    }
    Finish();
}

void TDeleteSequence::Finish()
{
    if (!FRunning)
        return;
    FRunning = false;
    FHook.Detach();
    if (OnFinished)
        OnFinished(FOutcome);
}
