// Ending a transfer on the client's side: the user's cancel, a local file
// error, a time-out or a logout in the middle of a transfer. The server is
// told with ABOR while the data connection is still open, the connection is
// then reset so that nothing looks like a complete file, and the replies the
// server still owes (the transfer command's 426 or 226, ABOR's 225 or 226)
// are absorbed instead of being taken for the answers to later commands,
// which wait until they are in.

#include "ftp/IpFtpClient.h"

#include <unistd.h>

bool TIpCustomFtpClient::TransferRunning() const
{
    return (FFtpState == stRetrieve || FFtpState == stStore || FFtpState == stDirectory) && FTransferStream;
}

bool TIpCustomFtpClient::AbortTransfer()
{
    if (!TransferRunning())
        return false;
    // A file this download made holds only part of the remote one; a
    // replace-download's temporary file goes with the transfer.
    const bool Remove = FFtpState == stRetrieve && FCreatedLocal && FTempFileName.empty();
    const std::string Local = FLocalFileName;
    AbortRunning(true);
    if (Remove)
        ::unlink(Local.c_str());
    PostMessage(CM_IPFTPABORTED, static_cast<uintptr_t>(IpFtpCancelledCode), 0,
                std::any(std::string("Transfer cancelled")));
    return true;
}

void TIpCustomFtpClient::AbortRunning(bool SendAbor)
{
    // The server is still at the transfer while its final reply is missing.
    if (SendAbor && FTransferCommandSent && !FFinalReply && FControlSocket != INVALID_SOCKET) {
        // The lines of the transfer not sent yet never will be.
        FDeferredCommands.clear();
        FOwedReplies = 0;
        WriteCommand("ABOR");
    }
    ResetDataSocket();
    FCommandCount = 0;
    FDeferredCommands.clear();
    FOwedReplies = FOutstanding;
    FOwedWait = 0;
    SetState(stReady);
    CleanupTransfer();
    NextTransferSerial();
}

void TIpCustomFtpClient::ResetDataSocket()
{
    if (FDataSocket == INVALID_SOCKET)
        return;
    // Forgotten first: its close is the client's own doing.
    const TSocket Handle = FDataSocket;
    FDataSocket = INVALID_SOCKET;
    if (TIpDataSocket *Socket = FindDataSocket(Handle, false)) {
        Socket->Abort();
        CloseSocket(Handle);
    }
}

bool TIpCustomFtpClient::AbsorbOwedReply(const std::string &Text, int Code)
{
    if (FOwedReplies <= 0)
        return false;
    // The server is closing the connection: that is news, not an old answer.
    if (Code == 421) {
        ForgetOwedReplies();
        return false;
    }
    std::string Line = Text.substr(0, Text.find_first_of("\r\n"));
    WriteEventLog("Reply for the ended transfer: " + Line);
    if (Code / 100 != 1 && --FOwedReplies == 0)
        FlushDeferredCommands();
    return true;
}

void TIpCustomFtpClient::FlushDeferredCommands()
{
    while (FOwedReplies == 0 && !FDeferredCommands.empty()) {
        const std::string Line = std::move(FDeferredCommands.front());
        FDeferredCommands.pop_front();
        WriteCommand(Line);
    }
}

void TIpCustomFtpClient::ForgetOwedReplies()
{
    FOutstanding = 0;
    FOwedReplies = 0;
    FOwedWait = 0;
    FDeferredCommands.clear();
}

void TIpCustomFtpClient::TimerElapsed(uint32_t Ms)
{
    TIpCustomMultiClient::TimerElapsed(Ms);
    if (FOwedReplies <= 0)
        return;
    FOwedWait += Ms;
    if (FOwedWait < IpFtpOwedReplyWaitMs)
        return;
    // A server that sends fewer replies than it owes must not hold the
    // next commands back for ever.
    WriteEventLog("No more replies for the ended transfer; going on");
    FOutstanding = 0;
    FOwedReplies = 0;
    FlushDeferredCommands();
}
