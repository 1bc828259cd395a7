#include "ftp/IpFtpTreeRemove.h"

#include <exception>

namespace {

constexpr uint32_t CM_REMOVEAPPLY = 4821;
constexpr uint32_t CM_REMOVENEXT = 4822;
constexpr uint32_t CM_REMOVEFINISHED = 4823;

} // namespace

TIpFtpRemovalCount IpFtpCountRemoval(const TIpFtpTreeWalk &Walk)
{
    TIpFtpRemovalCount Count;
    for (const TIpFtpWalkEntry &E : Walk.Entries)
        ++(E.Folder ? Count.Folders : Count.Files);
    for (const TIpFtpWalkProblem &P : Walk.Skipped)
        Count.Files += P.Removable;
    return Count;
}

TIpFtpTreeRemove::TIpFtpTreeRemove(TIpCustomFtpClient &Client)
    : FClient(Client), FHook(Client), FWindow([this](TIpMessage &Msg) { WndProc(Msg); })
{
    // Each command's final reply ends its step, whatever the code: a server
    // that answers DELE with 200 instead of 250 must not stop the removal.
    FHook.OnReply = [this](int Code, const std::string &Text) {
        if (Code >= 200)
            StepEnded(Code < 300, IpFtpFirstLine(Text));
    };
    FHook.OnDisconnected = [this] {
        if (!FRunning)
            return;
        FError = "Connection closed";
        if (FStepRunning)
            StepEnded(false, FError);
        else
            Finish(FError);
    };
}

TIpFtpTreeRemove::~TIpFtpTreeRemove() = default;

bool TIpFtpTreeRemove::Start(const std::string &RootPath, const TIpFtpTreeWalk &Walk)
{
    const size_t Slash = RootPath.find_last_of('/');
    if (FRunning || !Walk.RootFound || RootPath.size() < 2 || RootPath[0] != '/' || Slash == RootPath.size() - 1 ||
        FClient.FtpState() != stReady || !FClient.LoggedIn())
        return false;
    FSteps.clear();
    FSteps.push_back({Slash == 0 ? std::string("/") : RootPath.substr(0, Slash), skLeave});
    // Files first, in any order; then folders children before parents: the
    // walk names parents before their children, so backwards.
    for (const TIpFtpWalkEntry &E : Walk.Entries)
        if (!E.Folder)
            FSteps.push_back({IpFtpJoinPath(RootPath, E.Path), skFile});
    for (const TIpFtpWalkProblem &P : Walk.Skipped)
        if (P.Removable)
            FSteps.push_back({IpFtpJoinPath(RootPath, P.Path), skFile});
    for (auto It = Walk.Entries.rbegin(); It != Walk.Entries.rend(); ++It)
        if (It->Folder)
            FSteps.push_back({IpFtpJoinPath(RootPath, It->Path), skFolder});
    FSteps.push_back({RootPath, skFolder});
    FNext = 0;
    FRunning = true;
    FStepRunning = false;
    FCancelled = false;
    FFilesRemoved = FFoldersRemoved = 0;
    FRootRemoved = false;
    FFailed.clear();
    FError.clear();
    FHook.Attach();
    FWindow.PostMessage(CM_REMOVENEXT, 0, 0);
    return true;
}

void TIpFtpTreeRemove::WndProc(TIpMessage &Msg)
{
    try {
        switch (Msg.Msg) {
        case CM_REMOVEAPPLY:
            Apply();
            break;
        case IP_WM_TIMER:
            FWindow.KillTimer(1);
            Next();
            break;
        case CM_REMOVENEXT:
            Next();
            break;
        case CM_REMOVEFINISHED:
            if (OnFinished)
                OnFinished(*this);
            break;
        default:
            break;
        }
    } catch (...) {
        IpHandleApplicationException(std::current_exception());
    }
}

void TIpFtpTreeRemove::Next()
{
    if (!FRunning || FStepRunning)
        return;
    if (FCancelled) {
        Finish("Cancelled");
        return;
    }
    if (FNext >= FSteps.size()) {
        Finish(std::string());
        return;
    }
    if (FClient.FtpState() != stReady) {
        if (FClient.FtpState() == stClosed)
            Finish("Connection closed");
        else
            FWindow.SetTimer(1, 50); // the client still ends something else
        return;
    }
    const TStep &Step = FSteps[FNext];
    FStepRunning = true;
    FStepEnded = false;
    const bool Sent = Step.Kind == skLeave    ? FClient.SendFtpCommand("CWD " + Step.Path)
                      : Step.Kind == skFolder ? FClient.RemoveDir(Step.Path)
                                              : FClient.Delete(Step.Path);
    if (!Sent)
        StepEnded(false, "the name cannot be sent to the server");
}

void TIpFtpTreeRemove::StepEnded(bool Ok, const std::string &Reason)
{
    if (!FRunning || !FStepRunning || FStepEnded)
        return;
    FStepEnded = true;
    FStepOk = Ok;
    FStepReason = Reason;
    // Applied once the client has finished with the event that told it.
    FWindow.PostMessage(CM_REMOVEAPPLY, 0, 0);
}

void TIpFtpTreeRemove::Apply()
{
    if (!FRunning || !FStepRunning)
        return;
    FStepRunning = false;
    const TStep &Step = FSteps[FNext++];
    if (Step.Kind == skLeave) {
        // Refused, the removal still goes on: most servers remove the
        // folder they are in.
    } else if (FStepOk) {
        ++(Step.Kind == skFolder ? FFoldersRemoved : FFilesRemoved);
        FRootRemoved = FNext == FSteps.size();
    } else {
        FFailed.push_back({Step.Path, FStepReason});
    }
    if (OnStep && Step.Kind != skLeave)
        OnStep(*this, Step.Path);
    if (!FError.empty())
        Finish(FError);
    else
        Next();
}

void TIpFtpTreeRemove::Finish(const std::string &Error)
{
    if (!FRunning)
        return;
    FRunning = false;
    FError = Error;
    FHook.Detach();
    FWindow.PostMessage(CM_REMOVEFINISHED, 0, 0);
}
