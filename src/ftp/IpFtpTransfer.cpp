// Data transfers of the FTP client: listings, downloads and uploads over a
// passive or active data connection, progress, completion and time-out.

#include "ftp/IpFtpClient.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "base/IpConst.h"
#include "base/IpWinSock.h"

namespace {

bool HasLineBreak(const std::string &S)
{
    return S.find_first_of("\r\n") != std::string::npos;
}

// A listing is collected in memory; past the cap further bytes are dropped
// (and still counted as accepted, so the data connection ends normally).
class TIpFtpListingStream : public TStringStream
{
public:
    int64_t Write(const void *Buffer, int64_t Count) override
    {
        int64_t Room = IpFtpMaxListingSize - Position();
        if (Room > 0)
            TStringStream::Write(Buffer, Count < Room ? Count : Room);
        return Count;
    }
};

enum TLocalKind { lkMissing, lkFile, lkOther };

TLocalKind LocalKind(const std::string &Path)
{
    struct stat St;
    if (::stat(Path.c_str(), &St) != 0)
        return lkMissing;
    return S_ISREG(St.st_mode) ? lkFile : lkOther;
}

[[noreturn]] void RaiseCreateError(const std::string &FileName, int Err)
{
    throw EIpFCreateError(Format(sFCreateErrorFmt, FileName.c_str(), std::strerror(Err)), Err);
}

// A new empty file beside Target, with the permissions a plain create gives.
std::string MakeTempBeside(const std::string &Target)
{
    std::size_t Slash = Target.rfind('/');
    std::string Dir = Slash == std::string::npos ? std::string() : Target.substr(0, Slash + 1);
    std::string Base = Target.substr(Slash == std::string::npos ? 0 : Slash + 1);
    if (Base.size() > 200)
        Base.resize(200);
    std::string Template = Dir + "." + Base + ".part-XXXXXX";
    int Fd = ::mkstemp(Template.data());
    if (Fd < 0)
        RaiseCreateError(Target, errno);
    mode_t Mask = ::umask(0);
    ::umask(Mask);
    ::fchmod(Fd, 0666 & ~Mask);
    ::close(Fd);
    return Template;
}

} // namespace

// ---------------------------------------------------------------------------
// Opening the data connection

void TIpCustomFtpClient::OpenDataConnection(char TypeLetter)
{
    FBytesTransferred = 0;
    FDataTlsGo = false;
    const std::string TypeLine = std::string("TYPE ") + TypeLetter;
    if (FPassiveMode) {
        PushCommand("PASV");
        SendCommand(TypeLine);
    } else {
        PushCommand(TypeLine);
        SendCommand("PORT " + PreparePortArgument());
    }
}

std::string TIpCustomFtpClient::PreparePortArgument()
{
    FListenSocket.reset();
    FListenHandle = INVALID_SOCKET;
    const TSockAddrIn Local = FindSocket(FControlSocket, true)->LocalAddr();
    auto Listener = std::make_unique<TIpListenSocket>(this, INVALID_SOCKET,
                                                      IpMakeSockAddr(Local.sin_addr.s_addr, 0), nullptr, nullptr);
    TSockAddrIn Bound{};
    int Len = sizeof(Bound);
    if (WinSockAccess().getsockname(Listener->Handle(), reinterpret_cast<TSockAddr *>(&Bound), &Len) != 0)
        throw EIpWinSockError(WinSockAccess().WSAGetLastError(), "GetSockName");
    FListenHandle = Listener->Handle();
    FListenSocket = std::move(Listener);
    return FtpPortArgument(AddressToText(Local.sin_addr.s_addr), WinSockAccess().ntohs(Bound.sin_port));
}

bool TIpCustomFtpClient::PassiveReply(const std::string &Text)
{
    std::string Address;
    if (!FtpPasvAddress(FtpPasvText(Text), Address))
        return false;
    // A second 227 for the same transfer replaces the first connection.
    CloseDataSocket();
    TSocket Handle = INVALID_SOCKET;
    try {
        Handle = ConnectSocket(Address);
    } catch (const EIpWinSockError &E) {
        TIpCustomMultiClient::DoError(INVALID_SOCKET, E.ErrorCode(), E.what());
        return false;
    }
    FDataSocket = Handle;
    FTimeoutPosted = false;
    FDataFailed = false;
    FUploadConnected = false;
    FUploadStarted = false;
    if (Handle != INVALID_SOCKET) {
        SetSocketIdleTimeout(Handle, FTransferTimeout);
        StartDataTls(Handle);
    }
    return true;
}

void TIpCustomFtpClient::SocketAccept(TSocket Handle)
{
    if (Handle == INVALID_SOCKET || Handle != FListenHandle || !FListenSocket) {
        TIpCustomMultiClient::SocketAccept(Handle);
        return;
    }
    TSocket Accepted = FListenSocket->Accept();
    if (Accepted == INVALID_SOCKET)
        return;
    // One data connection per transfer: a second caller on our port (anyone
    // may connect to it) is turned away.
    if (FDataSocket != INVALID_SOCKET) {
        WinSockAccess().closesocket(Accepted);
        return;
    }
    // The accepted connection takes the client's data-socket settings, but
    // keeps the OS buffer sizes it was accepted with: shrinking the receive
    // buffer of an established Linux connection stalls the peer's sending
    // for a delayed acknowledgement on every buffer full.
    TIpDataInits Inits;
    const TIpDataInits &Own = *DataInits();
    Inits.SetSocketOptions(Own.SocketOptions());
    Inits.SetFixedLineLength(Own.FixedLineLength());
    Inits.SetIdleTimeout(Own.IdleTimeout());
    Inits.SetLineTermChar(Own.LineTermChar());
    Inits.SetLineTerminator(Own.LineTerminator());
    Inits.SetLogOptions(Own.LogOptions());
    Inits.SetReceiveMode(Own.ReceiveMode());
    Inits.SetStripLineTerminator(Own.StripLineTerminator());
    Inits.SetReceiveBufferSize(0);
    Inits.SetSendBufferSize(0);
    auto Socket = std::make_unique<TIpDataSocket>(this, Accepted, DefaultLocalAddr(), &Inits, nullptr);
    AddSocket(Socket.release());
    FDataSocket = Accepted;
    FTimeoutPosted = false;
    FDataFailed = false;
    FUploadConnected = false;
    FUploadStarted = false;
    SetSocketIdleTimeout(Accepted, FTransferTimeout);
    StartDataTls(Accepted);
    SocketConnect(Accepted);
}

// ---------------------------------------------------------------------------
// Data-socket events

TStream *TIpCustomFtpClient::ReceiveTarget()
{
    if ((FFtpState == stRetrieve || FFtpState == stDirectory) && FTransferStream)
        return FTransferStream.get();
    return FDiscardStream.get();
}

void TIpCustomFtpClient::RefreshBytesTransferred()
{
    TIpDataSocket *Socket = FindDataSocket(FDataSocket, false);
    if (!Socket)
        return;
    TIpSockStatRec Stats = Socket->GetStatistics();
    FBytesTransferred = static_cast<int64_t>(FFtpState == stRetrieve ? Stats.Received() : Stats.Sent());
}

void TIpCustomFtpClient::PostTransferStatus(TIpFtpStatusCode Code, const std::string &Info)
{
    PostMessage(CM_IPFTPSTATUS, static_cast<uintptr_t>(Code), static_cast<intptr_t>(FTransferSerial),
                Info.empty() ? std::any() : std::any(Info));
}

void TIpCustomFtpClient::DataStatus(TIpStatusKind Kind)
{
    switch (Kind) {
    case skConnect:
        if (FFtpState == stStore && FTransferStream) {
            FUploadConnected = true;
            MaybeStartUpload();
        } else {
            SetSocketReceiveMode(FDataSocket, rmStream);
            SetSocketReceiveStream(FDataSocket, ReceiveTarget());
        }
        break;
    case skProgress:
        if (FFtpState != stDirectory) {
            RefreshBytesTransferred();
            PostTransferStatus(fscProgress, std::string());
        }
        break;
    case skClose:
        if (FDataFailed) {
            // The error has been reported already; the transfer ends without
            // a completion status and a replace-download keeps the old file.
            PostMessage(CM_IPFTPDATAFAILED, 0, static_cast<intptr_t>(FTransferSerial));
        } else if (FFtpState == stDirectory) {
            std::string Listing;
            if (auto *Text = dynamic_cast<TStringStream *>(FTransferStream.get())) {
                Text->SetPosition(0);
                Listing = Text->DataString();
            }
            if (FDirectoryTree)
                FDirectoryTree->LoadListing(Listing);
            PostTransferStatus(fscDirList, Listing);
        } else if (FFtpState == stRetrieve || FFtpState == stStore) {
            RefreshBytesTransferred();
            PostTransferStatus(fscTransferOK, std::string());
        }
        FDataSocket = INVALID_SOCKET;
        break;
    }
}

void TIpCustomFtpClient::ResetUploadGate()
{
    FUploadConnected = false;
    FUploadAccepted = false;
    FUploadStarted = false;
}

void TIpCustomFtpClient::MaybeStartUpload()
{
    if (FFtpState != stStore || !FTransferStream || FDataSocket == INVALID_SOCKET || !FUploadConnected ||
        !FUploadAccepted || FUploadStarted)
        return;
    FUploadStarted = true;
    PutStream(FDataSocket, FTransferStream.get(), true);
}

void TIpCustomFtpClient::DataFailed()
{
    if (FFtpState != stRetrieve && FFtpState != stStore && FFtpState != stDirectory)
        return;
    SetState(stReady);
    CleanupTransfer();
    if (++FTransferSerial == 0)
        ++FTransferSerial;
}

void TIpCustomFtpClient::DataTimeout(TSocket Handle)
{
    // The transfer may have ended between the tick and this message.
    if (Handle != FDataSocket || FDataSocket == INVALID_SOCKET)
        return;
    FCommandCount = 0;
    SetState(stReady);
    CleanupTransfer();
    PostFtpStatus(fscTimeout, std::string());
}

// ---------------------------------------------------------------------------
// Cleanup

void TIpCustomFtpClient::CloseDataSocket()
{
    if (FDataSocket == INVALID_SOCKET)
        return;
    // Forgotten first: the close this causes is the client's own doing and
    // must not be taken for the end of the transfer.
    TSocket Handle = FDataSocket;
    FDataSocket = INVALID_SOCKET;
    if (FindSocket(Handle, false))
        CloseSocket(Handle);
}

void TIpCustomFtpClient::CleanupTransfer()
{
    if (FTransferStream) {
        CloseDataSocket();
        FTransferStream.reset();
    }
    if (!FTempFileName.empty()) {
        // Whatever did not complete never touches the target.
        ::unlink(FTempFileName.c_str());
        FTempFileName.clear();
    }
    FListenSocket.reset();
    FListenHandle = INVALID_SOCKET;
}

bool TIpCustomFtpClient::CommitDownload(std::string &Error)
{
    if (FTempFileName.empty())
        return true;
    CloseDataSocket();
    FTransferStream.reset();
    std::string Temp;
    Temp.swap(FTempFileName);
    if (::rename(Temp.c_str(), FLocalFileName.c_str()) == 0)
        return true;
    int Err = errno;
    ::unlink(Temp.c_str());
    Error = Format("Cannot replace file \"%s\". %s", FLocalFileName.c_str(), std::strerror(Err));
    return false;
}

void TIpCustomFtpClient::StartTransfer(const std::function<void()> &Start)
{
    const int Count = FCommandCount;
    const TIpFtpClientState State = FFtpState;
    try {
        Start();
    } catch (...) {
        FCommandCount = Count;
        SetState(State == stDirectory ? stReady : State);
        CleanupTransfer();
        throw;
    }
}

// ---------------------------------------------------------------------------
// Operations

void TIpCustomFtpClient::ListDir(const std::string &Path, bool FullList)
{
    if (HasLineBreak(Path))
        throw EIpBaseException("Line break in a listing path");
    // A listing started in the middle of a file transfer would tear that
    // transfer down and then be taken for it.
    if (FFtpState != stReady && FFtpState != stDirectory)
        throw EIpBaseException("Cannot list a folder while the client is busy");
    // A transfer left over from an earlier failure must not keep a data
    // socket that writes into the stream replaced here.
    if (FTransferStream || FDataSocket != INVALID_SOCKET) {
        CloseDataSocket();
        CleanupTransfer();
    }
    // The client's own listing comes with stDirectory set; an application
    // that lists an idle client gets the same state, so the data connection
    // feeds the listing rather than nothing.
    if (FFtpState == stReady)
        SetState(stDirectory);
    if (++FTransferSerial == 0)
        ++FTransferSerial;
    StartTransfer([&] {
        std::string Line = FullList ? "LIST" : "NLST";
        if (!Path.empty())
            Line += " " + ToUnixPath(Path);
        PushCommand(Line);
        FTransferStream = std::make_unique<TIpFtpListingStream>();
        OpenDataConnection('A');
    });
}

bool TIpCustomFtpClient::Retrieve(const std::string &RemoteFile, const std::string &LocalFile,
                                  TIpFtpRetrieveMode Mode, int64_t RestartAt)
{
    if (FFtpState != stReady || RemoteFile.empty() || LocalFile.empty() || HasLineBreak(RemoteFile))
        return false;
    if (FTransferStream || FDataSocket != INVALID_SOCKET) {
        CloseDataSocket();
        CleanupTransfer();
    }

    // The local side first: when it cannot be had, nothing has changed.
    std::unique_ptr<TStream> Stream;
    std::string Temp;
    int64_t RestartPos = -1;
    if (Mode == rmReplace) {
        if (LocalKind(LocalFile) == lkOther)
            RaiseCreateError(LocalFile, EISDIR);
        Temp = MakeTempBeside(LocalFile);
        try {
            Stream = std::make_unique<TFileStream>(Temp, fmOpenReadWrite);
        } catch (...) {
            ::unlink(Temp.c_str());
            throw;
        }
    } else {
        const bool Exists = LocalKind(LocalFile) != lkMissing;
        Stream = std::make_unique<TFileStream>(LocalFile, Exists ? fmOpenReadWrite : fmCreate);
        const int64_t Size = Stream->Size();
        if (Mode == rmAppend) {
            Stream->Seek(0, soEnd);
        } else {
            RestartPos = (RestartAt >= 0 && RestartAt <= Size) ? RestartAt : Size;
            // The rest comes from the server; stale bytes past the restart
            // point would otherwise survive behind a shorter remote file.
            if (RestartPos < Size)
                Stream->SetSize(RestartPos);
            Stream->SetPosition(RestartPos);
        }
    }

    if (++FTransferSerial == 0)
        ++FTransferSerial;
    FRemoteFileName = ToUnixPath(RemoteFile);
    FLocalFileName = LocalFile;
    FTransferStream = std::move(Stream);
    FTempFileName = Temp;
    SetState(stRetrieve);
    StartTransfer([&] {
        PushCommand("RETR " + FRemoteFileName);
        if (RestartPos >= 0) {
            PushCommand("REST " + std::to_string(RestartPos));
            WriteEventLog(sIpRestarting + FRemoteFileName);
        } else {
            WriteEventLog(sIpRetrieving + FRemoteFileName);
        }
        OpenDataConnection(FFileType == ftBinary ? 'I' : 'A');
    });
    return true;
}

bool TIpCustomFtpClient::Store(const std::string &RemoteFile, const std::string &LocalFile, TIpFtpStoreMode Mode,
                               int64_t RestartAt)
{
    if (FFtpState != stReady || RemoteFile.empty() || HasLineBreak(RemoteFile) ||
        LocalKind(LocalFile) != lkFile)
        return false;
    if (FTransferStream || FDataSocket != INVALID_SOCKET) {
        CloseDataSocket();
        CleanupTransfer();
    }

    auto Stream = std::make_unique<TFileStream>(LocalFile, fmOpenRead);
    int64_t RestartPos = -1;
    if (Mode > smUnique) {
        const int64_t Size = Stream->Size();
        RestartPos = (RestartAt >= 0 && RestartAt <= Size) ? RestartAt : 0;
    }
    Stream->SetPosition(RestartPos > 0 ? RestartPos : 0);

    if (++FTransferSerial == 0)
        ++FTransferSerial;
    FRemoteFileName = ToUnixPath(RemoteFile);
    FLocalFileName = LocalFile;
    FTransferStream = std::move(Stream);
    ResetUploadGate();
    SetState(stStore);
    StartTransfer([&] {
        switch (Mode) {
        case smAppend:
            PushCommand("APPE " + FRemoteFileName);
            WriteEventLog(sIpStoring + FLocalFileName);
            break;
        case smReplace:
            PushCommand("STOR " + FRemoteFileName);
            WriteEventLog(sIpStoring + FLocalFileName);
            break;
        case smUnique:
            PushCommand("STOU " + FRemoteFileName);
            WriteEventLog(sIpStoring + FLocalFileName);
            break;
        default:
            PushCommand("STOR " + FRemoteFileName);
            PushCommand("REST " + std::to_string(RestartPos));
            WriteEventLog(sIpRestarting + FRemoteFileName);
            break;
        }
        OpenDataConnection(FFileType == ftBinary ? 'I' : 'A');
    });
    return true;
}
