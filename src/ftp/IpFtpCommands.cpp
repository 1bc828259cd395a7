// Commands on the control connection alone that change or query the
// remote folder, delete and rename files, or send a line as it is; each
// checks the state, sends its first line and leaves the rest to the replies.

#include "ftp/IpFtpClient.h"

#include "base/IpConst.h"

namespace {

// Command lines and arguments must not smuggle a line break into the
// control connection: one call, one command.
bool HasLineBreak(const std::string &S)
{
    return S.find_first_of("\r\n") != std::string::npos;
}

} // namespace

bool TIpCustomFtpClient::ChangeDir(const std::string &Path)
{
    if (FFtpState != stReady || HasLineBreak(Path))
        return false;
    SetState(stDirectory);
    SendCommand(Path.empty() ? std::string("PWD") : "CWD " + Path);
    return true;
}

bool TIpCustomFtpClient::CurrentDir()
{
    if (FFtpState != stReady)
        return false;
    SetState(stCommand);
    SendCommand("PWD");
    return true;
}

bool TIpCustomFtpClient::QuerySystem()
{
    if (FFtpState != stReady)
        return false;
    SetState(stCommand);
    SendCommand("SYST");
    return true;
}

bool TIpCustomFtpClient::Delete(const std::string &FileName)
{
    if (FFtpState != stReady || FileName.empty() || HasLineBreak(FileName))
        return false;
    SetState(stCommand);
    FRemoteFileName = FileName;
    SendCommand("DELE " + FRemoteFileName);
    WriteEventLog(sIpDeleting + FRemoteFileName);
    return true;
}

bool TIpCustomFtpClient::Rename(const std::string &OldName, const std::string &NewName)
{
    if (FFtpState != stReady || OldName.empty() || NewName.empty() || HasLineBreak(OldName) ||
        HasLineBreak(NewName))
        return false;
    // A full stack raises here, before anything changed.
    PushCommand("RNTO " + NewName);
    SetState(stRename);
    FRemoteFileName = OldName;
    WriteEventLog(sIpRenaming + FRemoteFileName);
    SendCommand("RNFR " + FRemoteFileName);
    return true;
}

bool TIpCustomFtpClient::SendFtpCommand(const std::string &Command)
{
    if (FFtpState != stReady || HasLineBreak(Command))
        return false;
    SetState(stCommand);
    SendCommand(Command);
    return true;
}
