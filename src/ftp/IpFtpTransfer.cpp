// Data transfers of the FTP client: listings, downloads and uploads over a
// passive or active data connection, progress, completion and time-out.

#include "ftp/IpFtpClient.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
// (and still counted as accepted, so the data connection ends normally) and
// the listing is marked as cut. The buffer grows to the cap at most, so a
// listing at the cap never holds more than the cap.
class TIpFtpListingStream : public TStream
{
public:
    int64_t Read(void *, int64_t) override { return 0; }
    int64_t Write(const void *Buffer, int64_t Count) override
    {
        if (Count <= 0)
            return 0;
        const int64_t Room = IpFtpMaxListingSize - static_cast<int64_t>(FData.size());
        const int64_t Take = Count < Room ? Count : (Room > 0 ? Room : 0);
        if (Take < Count)
            FCut = true;
        if (Take > 0) {
            const size_t Need = FData.size() + static_cast<size_t>(Take);
            if (Need > FData.capacity()) {
                size_t Want = FData.capacity() * 2;
                if (Want < Need)
                    Want = Need;
                if (Want > static_cast<size_t>(IpFtpMaxListingSize))
                    Want = static_cast<size_t>(IpFtpMaxListingSize);
                FData.reserve(Want);
            }
            FData.append(static_cast<const char *>(Buffer), static_cast<size_t>(Take));
        }
        return Count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(FData.size()); }
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }

    bool Cut() const { return FCut; }
    std::string Take() { return std::move(FData); }

private:
    std::string FData;
    bool FCut = false;
};

// The stream a data connection reads from or writes into. A local file
// error must end the transfer, not escape into the socket's notification
// (where it would leave a full receive buffer that is never read again, or
// an upload entry that never finishes): the first error is handed to the
// client, later writes are swallowed and reads give the end of the stream,
// which the data socket knows from a real end (SourceFailed). An upload
// whose file ends before the size it had at the start failed as well.
class TIpFtpGuardStream : public TStream, public TIpSendSource
{
public:
    using TFailure = std::function<void(int Code, const std::string &Text)>;

    TIpFtpGuardStream(std::unique_ptr<TStream> Inner, TFailure OnFailure, int64_t ReadTotal = -1,
                      const std::string &Name = std::string())
        : FInner(std::move(Inner)), FOnFailure(std::move(OnFailure)), FReadTotal(ReadTotal), FName(Name)
    {
    }

    int64_t Read(void *Buffer, int64_t Count) override
    {
        if (FFailed)
            return 0;
        try {
            const int64_t Got = FInner->Read(Buffer, Count);
            FRead += Got > 0 ? Got : 0;
            if (Got <= 0 && Count > 0 && FRead < FReadTotal)
                Fail(EIO, Format("Cannot read file \"%s\". It became shorter while it was sent (%lld of %lld bytes)",
                                 FName.c_str(), static_cast<long long>(FRead), static_cast<long long>(FReadTotal)));
            return Got;
        } catch (const EIpStreamError &E) {
            Fail(E.SysError() > 0 ? E.SysError() : EIO, E.what());
            return 0;
        }
    }
    bool SourceFailed() const override { return FFailed; }
    int64_t Write(const void *Buffer, int64_t Count) override
    {
        if (FFailed || Count <= 0)
            return Count > 0 ? Count : 0;
        try {
            FInner->WriteBuffer(Buffer, Count);
        } catch (const EIpStreamError &E) {
            Fail(E.SysError() > 0 ? E.SysError() : EIO, E.what());
        }
        return Count;
    }
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override { return FInner->Seek(Offset, Origin); }
    int64_t Size() override { return FInner->Size(); }
    void SetSize(int64_t NewSize) override { FInner->SetSize(NewSize); }
    // A failed move on the file's side comes back through Write or Read.
    int KernelFd() override { return FFailed ? -1 : FInner->KernelFd(); }

    TStream *Inner() const { return FInner.get(); }
    bool Failed() const { return FFailed; }

private:
    void Fail(int Code, const std::string &Text)
    {
        FFailed = true;
        if (FOnFailure)
            FOnFailure(Code, Text);
    }

    std::unique_ptr<TStream> FInner;
    TFailure FOnFailure;
    int64_t FReadTotal;
    int64_t FRead = 0;
    std::string FName;
    bool FFailed = false;
};

TStream *InnerStream(TStream *Stream)
{
    auto *Guard = dynamic_cast<TIpFtpGuardStream *>(Stream);
    return Guard ? Guard->Inner() : Stream;
}

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
    // PASV and PORT carry IPv4 addresses only: on an IPv6 connection the
    // extended commands are all there is.
    if (FPassiveMode) {
        PushCommand(FEpsvRefused && !ControlIsV6() ? "PASV" : "EPSV");
        PushDownloadQueries();
        SendCommand(TypeLine);
    } else {
        PushDownloadQueries();
        PushCommand(TypeLine);
        if (FEprtRefused && !ControlIsV6())
            SendCommand("PORT " + PreparePortArgument());
        else
            SendCommand("EPRT " + PrepareEprtArgument());
    }
}

TSockAddrIn TIpCustomFtpClient::OpenActiveListener()
{
    FListenSocket.reset();
    FListenHandle = INVALID_SOCKET;
    TSockAddrIn Local = FindSocket(FControlSocket, true)->LocalAddr();
    IpSetAddrPort(Local, 0);
    auto Listener = std::make_unique<TIpListenSocket>(this, INVALID_SOCKET, Local, nullptr, nullptr);
    TSockAddrIn Bound{};
    int Len = sizeof(Bound);
    if (WinSockAccess().getsockname(Listener->Handle(), reinterpret_cast<TSockAddr *>(&Bound), &Len) != 0)
        throw EIpWinSockError(WinSockAccess().WSAGetLastError(), "GetSockName");
    FListenHandle = Listener->Handle();
    FListenSocket = std::move(Listener);
    IpSetAddrPort(Local, IpAddrPort(Bound));
    return Local;
}

std::string TIpCustomFtpClient::PreparePortArgument()
{
    const TSockAddrIn Local = OpenActiveListener();
    return FtpPortArgument(AddressToText(IpAddrV4(Local)), IpAddrPort(Local));
}

std::string TIpCustomFtpClient::PrepareEprtArgument()
{
    const TSockAddrIn Local = OpenActiveListener();
    return FtpEprtArgument(AddressToText(Local), IpAddrIsV6(Local), IpAddrPort(Local));
}

bool TIpCustomFtpClient::DataCommandReply(const std::string &Text, int Code)
{
    if (FDataCommandSent == xcNone || Code < 200)
        return false;
    const bool Epsv = FDataCommandSent == xcEpsv;
    FDataCommandSent = xcNone;
    if (Code == 421)
        return false;
    uint16_t Port = 0;
    // Through a proxy that was given the server's name, the name is all
    // there is of the server's address.
    const TIpBaseSocket *Control = FindSocket(FControlSocket, false);
    const std::string Peer = !IpAddrUnspecified(FControlPeerAddr) ? AddressToText(FControlPeerAddr)
                             : Control                            ? Control->DestName()
                                                                  : std::string();
    if (Epsv && Code == 229 && FtpEpsvPort(Text, Port) && !Peer.empty()) {
        // The extended reply names a port only: the host is the server's.
        if (ConnectPassive(IpHostPortText(Peer, Port)))
            SendNextCommand();
        else
            DoFtpError(Code, Text);
        return true;
    }
    // 500/501/502: the command is unknown; 522: not for this family. A 229
    // that cannot be read is as good as none.
    const bool Refused = Code == 500 || Code == 501 || Code == 502 || Code == 522 || (Epsv && Code == 229);
    if (!Refused || ControlIsV6())
        return false;
    if (Epsv) {
        FEpsvRefused = true;
        WriteEventLog("EPSV not understood; PASV for the rest of the session");
        SendCommand("PASV");
    } else {
        FEprtRefused = true;
        WriteEventLog("EPRT not understood; PORT for the rest of the session");
        SendCommand("PORT " + PreparePortArgument());
    }
    return true;
}

bool TIpCustomFtpClient::PassiveReply(const std::string &Text)
{
    std::string Address;
    if (!FtpPasvAddress(FtpPasvText(Text), Address))
        return false;
    // The data connection belongs to the server we are talking to: a reply
    // that names another host (a server behind address translation, or one
    // that would have us fetch another service's bytes as the file) is
    // taken for its port only.
    if (!IpAddrUnspecified(FControlPeerAddr)) {
        const std::size_t Colon = Address.rfind(':');
        const std::string Named = Address.substr(0, Colon);
        const std::string Peer = AddressToText(FControlPeerAddr);
        if (Named != Peer) {
            WriteEventLog("Passive reply names " + Named + "; connecting to " + Peer + " instead");
            Address = IpHostText(Peer) + Address.substr(Colon);
        }
    }
    return ConnectPassive(Address);
}

bool TIpCustomFtpClient::ConnectPassive(const std::string &Address)
{
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
    // Only the server may deliver the file: a caller from any other address
    // is sent away and the port stays open for the server.
    TSockAddrIn Caller{};
    int Len = sizeof(Caller);
    const bool Named = WinSockAccess().getpeername(Accepted, reinterpret_cast<TSockAddr *>(&Caller), &Len) == 0;
    Caller = IpUnmappedAddress(Caller);
    if (!Named || (!IpAddrUnspecified(FControlPeerAddr) && !IpSameHost(Caller, FControlPeerAddr))) {
        WriteEventLog("Data connection from " + AddressToText(Caller) + " refused: not the server");
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
    std::unique_ptr<TIpDataSocket> Socket;
    try {
        Socket = std::make_unique<TIpDataSocket>(this, Accepted, DefaultLocalAddr(), &Inits, nullptr);
    } catch (...) {
        WinSockAccess().closesocket(Accepted);
        throw;
    }
    AddSocket(Socket.release());
    // Nobody else becomes the data connection: the port closes now.
    FListenSocket.reset();
    FListenHandle = INVALID_SOCKET;
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
    // An upload counts what reached the server, not what waits in the kernel.
    FBytesTransferred = static_cast<int64_t>(FFtpState == stRetrieve ? Socket->GetStatistics().Received()
                                                                     : Socket->AcknowledgedBytes());
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
        } else if (FTransferFailing) {
            // Its failure is on the way.
        } else if ((FFtpState == stDirectory || FFtpState == stRetrieve || FFtpState == stStore) &&
                   FTransferStream) {
            if (FFtpState != stDirectory)
                RefreshBytesTransferred();
            std::string Missing = MissingBytes();
            if (Missing.empty())
                Missing = TlsCutShort();
            if (!Missing.empty()) {
                PostTransferFailure(IpFtpIncompleteCode, Missing);
            } else {
                FDataClosed = true;
                MaybeCompleteTransfer();
            }
        }
        FDataSocket = INVALID_SOCKET;
        break;
    }
}

std::string TIpCustomFtpClient::MissingBytes()
{
    if (FFtpState == stStore) {
        // The socket stops taking the file when the server closes early;
        // what it never sent is no upload.
        if (FBytesTransferred < FUploadTotal)
            return Format("Upload incomplete: %lld of %lld bytes sent", static_cast<long long>(FBytesTransferred),
                          static_cast<long long>(FUploadTotal));
    } else if (FFtpState == stRetrieve && FTransferBinary && FExpectedSize >= 0) {
        // A server that announced the size and delivered less cut the file
        // short. A restarted download may be announced whole or as the rest.
        if (FRestartOffset + FBytesTransferred < FExpectedSize && FBytesTransferred < FExpectedSize)
            return Format("Download incomplete: %lld of %lld bytes received",
                          static_cast<long long>(FBytesTransferred), static_cast<long long>(FExpectedSize));
    }
    return std::string();
}

void TIpCustomFtpClient::MaybeCompleteTransfer()
{
    if (!FDataClosed || !FFinalReply || FTransferFailing || FCompletionPosted)
        return;
    // The 150 that announces the size may be handled after the data
    // connection's end was: the count is checked again with both at hand.
    const std::string Missing = MissingBytes();
    if (!Missing.empty()) {
        PostTransferFailure(IpFtpIncompleteCode, Missing);
        return;
    }
    FCompletionPosted = true;
    if (FFtpState == stDirectory) {
        std::string Listing;
        bool Cut = false;
        if (auto *Text = dynamic_cast<TIpFtpListingStream *>(InnerStream(FTransferStream.get()))) {
            Cut = Text->Cut();
            Listing = Text->Take();
        }
        if (Cut)
            TIpCustomMultiClient::DoError(INVALID_SOCKET, IpFtpListingCutCode,
                                          Format("Listing cut at %lld MiB: the server sent more",
                                                 static_cast<long long>(IpFtpMaxListingSize / (1024 * 1024))));
        if (FDirectoryTree)
            FDirectoryTree->LoadListing(Listing);
        PostMessage(CM_IPFTPSTATUS, static_cast<uintptr_t>(fscDirList), static_cast<intptr_t>(FTransferSerial),
                    Listing.empty() ? std::any() : std::any(std::move(Listing)));
    } else {
        PostTransferStatus(fscTransferOK, std::string());
    }
}

void TIpCustomFtpClient::PostTransferFailure(int Code, const std::string &Text)
{
    if (FTransferFailing)
        return;
    FTransferFailing = true;
    PostMessage(CM_IPFTPTRANSFERFAILED, static_cast<uintptr_t>(static_cast<uint32_t>(Code)),
                static_cast<intptr_t>(FTransferSerial), std::any(Text));
}

void TIpCustomFtpClient::FailTransfer(int Code, const std::string &Text)
{
    if (FFtpState != stRetrieve && FFtpState != stStore && FFtpState != stDirectory)
        return;
    // A data connection the server has already ended leaves it nothing to
    // abort: only the transfer's own final reply is still owed.
    AbortRunning(!FDataClosed && FDataSocket != INVALID_SOCKET);
    TIpCustomMultiClient::DoError(INVALID_SOCKET, Code, Text);
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
    // The server saw the data connection break and answers by itself.
    AbortRunning(false);
}

void TIpCustomFtpClient::DataTimeout(TSocket Handle)
{
    // The transfer may have ended between the tick and this message.
    if (Handle != FDataSocket || FDataSocket == INVALID_SOCKET)
        return;
    AbortRunning(true);
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

void TIpCustomFtpClient::NextTransferSerial()
{
    if (++FTransferSerial == 0)
        ++FTransferSerial;
}

void TIpCustomFtpClient::BeginTransfer()
{
    NextTransferSerial();
    FTransferCommandSent = false;
    FFinalReply = false;
    FDataClosed = false;
    FCompletionPosted = false;
    FTransferFailing = false;
    FTransferBinary = FFileType == ftBinary;
    FExpectedSize = -1;
    FRestartOffset = 0;
    FTruncateOnCommit = false;
    FUploadTotal = 0;
    FCreatedLocal = false;
    FQueries.clear();
    FQueryOut.clear();
    FRemoteModifyTime = -1;
}

bool TIpCustomFtpClient::IsTransferLine(const std::string &Line) const
{
    for (const char *Word : {"RETR ", "STOR ", "APPE ", "STOU ", "LIST", "NLST", "MLSD"})
        if (Line.compare(0, std::strlen(Word), Word) == 0)
            return true;
    return false;
}

bool TIpCustomFtpClient::CommitDownload(std::string &Error, int &Code)
{
    if (FTruncateOnCommit && FTransferStream) {
        // The server accepted the restart and the rest has arrived: only
        // now may stale bytes behind it go.
        try {
            TStream *File = InnerStream(FTransferStream.get());
            const int64_t End = File->Position();
            if (File->Size() > End)
                File->SetSize(End);
        } catch (const EIpStreamError &E) {
            Error = E.what();
            Code = E.SysError() > 0 ? E.SysError() : EIO;
            return false;
        }
    }
    if (FTempFileName.empty())
        return true;
    CloseDataSocket();
    FTransferStream.reset();
    std::string Temp;
    Temp.swap(FTempFileName);
    if (::rename(Temp.c_str(), FLocalFileName.c_str()) == 0)
        return true;
    const int Err = errno;
    Code = Err;
    // The download is whole; it stays where it is, and the message says where.
    Error = Format("Cannot replace file \"%s\". %s. The download is kept as \"%s\"", FLocalFileName.c_str(),
                   std::strerror(Err), Temp.c_str());
    return false;
}

void TIpCustomFtpClient::StartTransfer(const std::function<void()> &Start)
{
    const int Count = FCommandCount;
    try {
        Start();
    } catch (...) {
        // Whatever the transfer had set up goes; the client is idle again,
        // as it was before the call.
        FCommandCount = Count;
        SetState(stReady);
        CleanupTransfer();
        NextTransferSerial();
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
    BeginTransfer();
    StartTransfer([&] {
        FListedWithMlsd = FullList && UseMlsd();
        FListPath = Path;
        std::string Line = FListedWithMlsd ? "MLSD" : FullList ? "LIST" : "NLST";
        if (!Path.empty())
            Line += " " + Path;
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
    bool Created = false;
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
        Created = !Exists;
        const int64_t Size = Stream->Size();
        if (Mode == rmAppend) {
            Stream->Seek(0, soEnd);
        } else {
            RestartPos = (RestartAt >= 0 && RestartAt <= Size) ? RestartAt : Size;
            // Stale bytes past the restart point would survive behind a
            // shorter remote file, but they go only once the server has
            // accepted the restart and the transfer has completed.
            Stream->SetPosition(RestartPos);
        }
    }

    BeginTransfer();
    FCreatedLocal = Created;
    FRemoteFileName = RemoteFile;
    FLocalFileName = LocalFile;
    FTransferStream = std::make_unique<TIpFtpGuardStream>(
        std::move(Stream), [this](int Code, const std::string &Text) { PostTransferFailure(Code, Text); });
    FTempFileName = Temp;
    if (RestartPos >= 0) {
        FRestartOffset = RestartPos;
        FTruncateOnCommit = true;
    }
    SetState(stRetrieve);
    StartTransfer([&] {
        PushCommand("RETR " + FRemoteFileName);
        if (RestartPos >= 0) {
            PushCommand("REST " + std::to_string(RestartPos));
            WriteEventLog(sIpRestarting + FRemoteFileName);
        } else {
            WriteEventLog(sIpRetrieving + FRemoteFileName);
        }
        PlanDownloadQueries();
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
    const int64_t Size = Stream->Size();
    int64_t RestartPos = -1;
    if (Mode > smUnique)
        RestartPos = (RestartAt >= 0 && RestartAt <= Size) ? RestartAt : 0;
    const int64_t From = RestartPos > 0 ? RestartPos : 0;
    Stream->SetPosition(From);

    BeginTransfer();
    FUploadTotal = Size - From;
    FRemoteFileName = RemoteFile;
    FLocalFileName = LocalFile;
    FTransferStream = std::make_unique<TIpFtpGuardStream>(
        std::move(Stream), [this](int Code, const std::string &Text) { PostTransferFailure(Code, Text); },
        FUploadTotal, LocalFile);
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
