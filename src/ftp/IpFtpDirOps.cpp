// Folder commands (MKD, RMD, CDUP), the transfer type kept for the session
// and what a listing already told about a file to download.

#include "ftp/IpFtpClient.h"

#include <cctype>

namespace {

bool HasLineBreak(const std::string &S)
{
    return S.find_first_of("\r\n") != std::string::npos;
}

} // namespace

uint64_t TIpCustomFtpClient::ControlSerial()
{
    if (FControlSocket == INVALID_SOCKET)
        return 0;
    TIpBaseSocket *Socket = FindSocket(FControlSocket, false);
    return Socket ? Socket->Serial() : 0;
}

bool TIpCustomFtpClient::MakeDir(const std::string &Path)
{
    if (FFtpState != stReady || Path.empty() || HasLineBreak(Path))
        return false;
    SetState(stCommand);
    FRemoteFileName = Path;
    FDirCommand = dcMkd;
    FDirCommandSerial = ControlSerial();
    WriteEventLog("Creating folder " + Path);
    SendCommand("MKD " + Path);
    return true;
}

bool TIpCustomFtpClient::RemoveDir(const std::string &Path)
{
    if (FFtpState != stReady || Path.empty() || HasLineBreak(Path))
        return false;
    SetState(stCommand);
    FRemoteFileName = Path;
    FDirCommand = dcNone;
    WriteEventLog("Removing folder " + Path);
    SendCommand("RMD " + Path);
    return true;
}

bool TIpCustomFtpClient::ChangeDirUp()
{
    if (FFtpState != stReady)
        return false;
    SetState(stDirectory);
    FDirCommand = dcCdup;
    FDirCommandSerial = ControlSerial();
    SendCommand("CDUP");
    return true;
}

bool TIpCustomFtpClient::DirCommandReply(const std::string &Text, int Code)
{
    // Replies come in the order of the commands: the first final one after
    // a TYPE is its answer.
    if (FTypeAwaited && Code >= 200) {
        FTypeAwaited = false;
        if (Code >= 400)
            FSettledType.clear();
    }
    if (FDirCommand == dcNone || Code < 200)
        return false;
    const TDirCommand Command = FDirCommand;
    FDirCommand = dcNone;
    // A reply on a later connection answers something else.
    if (FDirCommandSerial != ControlSerial() || Code == 421)
        return false;
    if (Command == dcMkd && FFtpState == stCommand && (Code == 257 || Code == 250)) {
        // 257 is also the answer to PWD: taken as one, it would move the
        // tree into the new folder.
        std::string Created = Code == 257 ? FtpQuotedPath(Text) : std::string();
        if (Created.empty())
            Created = FRemoteFileName;
        DoFtpStatus(fscComplete, Created);
        return true;
    }
    if (Command == dcCdup && FFtpState == stDirectory && (Code == 200 || Code == 250)) {
        // RFC 959 answers CDUP with 200, most servers with 250: either way
        // the new folder is asked for, as after CWD.
        SetState(stReady);
        CurrentDir();
        return true;
    }
    return false;
}

bool TIpCustomFtpClient::SkipSettledType(const std::string &Line)
{
    if (!FTypeOnce || FSettledType.empty() || Line != FSettledType ||
        (FFtpState != stRetrieve && FFtpState != stStore && FFtpState != stDirectory) ||
        FSettledTypeSerial != ControlSerial())
        return false;
    // The server has this type already: the transfer goes on with its next line.
    SendNextCommand();
    return true;
}

void TIpCustomFtpClient::NoteTypeSent(const std::string &Line)
{
    if (Line.compare(0, 5, "TYPE ") != 0)
        return;
    FSettledType = Line;
    FSettledTypeSerial = ControlSerial();
    FTypeAwaited = true;
}

void TIpCustomFtpClient::SetNextDownloadFacts(const std::string &RemoteFile, int64_t Size, int64_t ModifyTime)
{
    FKnownFile = RemoteFile;
    FKnownSize = Size;
    FKnownModifyTime = ModifyTime;
}

bool TIpCustomFtpClient::CanRestart() const
{
    if (!FFeatures.Has("REST"))
        return false;
    std::string Params = FFeatures.Parameters("REST");
    for (char &C : Params)
        C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    return Params.find("STREAM") != std::string::npos;
}
