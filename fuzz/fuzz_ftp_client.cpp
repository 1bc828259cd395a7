// The FTP client's side of a hostile server: arbitrary bytes on the control
// connection, cut at arbitrary points, interleaved with the application's
// operations, data-connection events and timer ticks. The client is the
// real one; only its sockets are the ends of in-memory socket pairs (the
// fuzzer holds the other ends and plays the readiness notifications), so
// reply intake, assembly, ProcessReply, the command stack, the state
// machine, status dispatch and the transfers all run as they do for real.
//
// Input: settings byte, user name, password, then operations (see Step).
// Checks after every step: the state is a valid TIpFtpClientState, the
// command count stays within 0..128, the reply text and the control
// connection's partial line stay within their limits, the byte count is
// never negative, the socket list stays small, every line the client sends
// on the control connection is one command ended by CR LF, and nothing
// raises a programming error (out of range, bad cast, ...) anywhere.

#include <QCoreApplication>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <typeinfo>
#include <unistd.h>
#include <vector>

#include "FuzzSupport.h"
#include "ftp/IpFtpClient.h"
#include "ftp/IpFtpDirTree.h"
#include "platform/IpAsyncSelect.h"

namespace {

constexpr size_t LineLimit = IpMaxLineBuf + 2 * IpReceiveBufferSize;

std::string TempDir;
std::string SourceFile;
std::string TargetFile;

// Peer ends of the pairs, by the client's socket handle.
std::map<TSocket, int> Peers;
std::vector<int> OpenFds;

// FUZZ_TRACE=1 prints every step and every command line, for reading a
// finding.
const bool Trace = std::getenv("FUZZ_TRACE") != nullptr;
#define TRACE(...)                                   \
    do {                                             \
        if (Trace)                                   \
            std::fprintf(stderr, __VA_ARGS__);       \
    } while (0)

// An exception is acceptable when it is one of the engine's own errors or
// the documented runtime errors; a logic error means a bug.
void Classify(std::exception_ptr E, const char *Where)
{
    try {
        std::rethrow_exception(E);
    } catch (const std::logic_error &X) {
        FUZZ_CHECK(false, "%s raised %s: %s", Where, typeid(X).name(), X.what());
    } catch (const std::bad_cast &X) {
        FUZZ_CHECK(false, "%s raised %s", Where, typeid(X).name());
    } catch (const std::runtime_error &) {
    } catch (const std::exception &X) {
        FUZZ_CHECK(false, "%s raised %s: %s", Where, typeid(X).name(), X.what());
    } catch (...) {
        FUZZ_CHECK(false, "%s raised a foreign exception", Where);
    }
}

class TFuzzSocket : public TIpDataSocket
{
public:
    using TIpDataSocket::TIpDataSocket;

    // No connect leaves the process: the fuzzer decides when (and whether)
    // the connection comes up.
    void Connect(const TSockAddrIn &Addr, const std::string &HostText) override
    {
        TIpLockGuard<TIpBaseSocket> G(*this);
        FReadPos = 0;
        FWritePos = 0;
        FRemoteHost = HostText;
        FRemoteAddr = Addr;
    }
    // As the base does, with a loopback local address instead of the
    // pair's (so an active transfer listens on 127.0.0.1 only).
    void HandleConnect() override
    {
        TIpLockGuard<TIpBaseSocket> G(*this);
        FLocalAddr = IpMakeSockAddr(htonl(INADDR_LOOPBACK), 40000);
        FConnected = true;
        if (FSocksState == 1) {
            FSocksState = 2;
            StartSocksRequest();
            return;
        }
        FOwner->DoStatus(FHandle, skConnect, ConnRec());
    }
};

class TFuzzTree : public TIpFtpDirTree
{
public:
    void ClearAll() override { FList.Clear(); }
    void SetCurrentPath(const std::string &Path) override { FPath = Path; }
    void LoadListing(const std::string &Listing) override { FList.ParseListing(Listing, FStyle); }
    TIpFtpDirStyle DirectoryStyle() const override { return FStyle; }
    void SetDirectoryStyle(TIpFtpDirStyle Value) override
    {
        FUZZ_CHECK(Value <= dsUser, "style %d", int(Value));
        FStyle = Value;
    }

private:
    TIpFtpFileList FList;
    std::string FPath;
    TIpFtpDirStyle FStyle = dsNone;
};

class TFuzzClient : public TIpFtpClient
{
public:
    TSocket CreateSocket() override
    {
        int Pair[2];
        FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, Pair) == 0, "socketpair failed: %d", errno);
        TFuzzSocket *S = nullptr;
        try {
            S = new TFuzzSocket(this, TSocket(Pair[0]), DefaultLocalAddr(), nullptr, SocksServer());
        } catch (...) {
            ::close(Pair[0]);
            ::close(Pair[1]);
            throw;
        }
        IpSelectCancel(Pair[0]);
        const TIpDataInits *I = DataInits();
        S->SetFixedLineLength(I->FixedLineLength());
        S->SetLineTermChar(I->LineTermChar());
        S->SetLineTerminator(I->LineTerminator());
        S->SetReceiveMode(I->ReceiveMode());
        S->SetStripLineTerminator(I->StripLineTerminator());
        AddSocket(S);
        Peers[S->Handle()] = Pair[1];
        OpenFds.push_back(Pair[1]);
        return S->Handle();
    }
};

TFuzzClient *Client = nullptr;
std::string SentOnControl;
bool ControlTextChecked = true;
// With TLS required no handshake can succeed against the fuzzer (it has no
// certificate the system trusts), so no credential may ever go out.
bool CredentialsForbidden = false;

void Post(TSocket Handle, int Event, int Error)
{
    TIpMessage M;
    M.Msg = CM_IPASYNCSELECT;
    M.WParam = uintptr_t(Handle);
    M.LParam = IpMakeLong(uint32_t(Event), uint32_t(Error));
    Client->WndProc(M);
}

// Everything the client wrote to a peer; the control connection's bytes are
// kept for the command-line check.
void Drain()
{
    char Buf[65536];
    for (auto &[Handle, Fd] : Peers) {
        for (;;) {
            const ssize_t N = ::recv(Fd, Buf, sizeof(Buf), MSG_DONTWAIT);
            if (N <= 0)
                break;
            if (Handle == Client->ControlSocket() && SentOnControl.size() < 65536)
                SentOnControl.append(Buf, size_t(N));
        }
    }
}

void Settle()
{
    // Posted messages are what the event loop would deliver next; a handler
    // may post more, so until none is left (bounded, a loop would be a bug).
    for (int I = 0; I < 64; ++I)
        QCoreApplication::sendPostedEvents();
    Drain();
}

void CheckInvariants()
{
    const TIpFtpClientState State = Client->FtpState();
    FUZZ_CHECK(State <= stCommand, "state %d", int(State));
    FUZZ_CHECK(Client->CommandCount() >= 0 && Client->CommandCount() <= IpFtpCommandStackSize, "command count %d",
               Client->CommandCount());
    FUZZ_CHECK(Client->ReplyText().size() <= LineLimit, "reply text of %zu bytes", Client->ReplyText().size());
    FUZZ_CHECK(Client->BytesTransferred() >= 0, "bytes transferred %lld", (long long)Client->BytesTransferred());
    if (TIpDataSocket *C = Client->FindDataSocket(Client->ControlSocket(), false))
        FUZZ_CHECK(C->PartialLine().size() <= IpMaxLineBuf + IpReceiveBufferSize, "partial line of %zu bytes",
                   C->PartialLine().size());
    FUZZ_CHECK(Client->SocketList()->Count() <= 6, "%d sockets listed", Client->SocketList()->Count());
    if (CredentialsForbidden)
        FUZZ_CHECK(SentOnControl.find("USER ") == std::string::npos &&
                       SentOnControl.find("PASS ") == std::string::npos,
                   "a credential went out although TLS is required and never came up");
    if (ControlTextChecked) {
        // Complete lines only: CR LF ends each, no CR or LF inside.
        size_t Pos = 0;
        for (;;) {
            const size_t End = SentOnControl.find("\r\n", Pos);
            if (End == std::string::npos)
                break;
            const std::string Line = SentOnControl.substr(Pos, End - Pos);
            TRACE("  client sent: '%s'\n", Line.c_str());
            FUZZ_CHECK(Line.find_first_of("\r\n") == std::string::npos,
                       "broken command line '%s'", Line.c_str());
            Pos = End + 2;
        }
        SentOnControl.erase(0, Pos);
        FUZZ_CHECK(SentOnControl.find('\n') == std::string::npos, "LF without CR on the control connection");
    }
}

// Replies that take the client deep quickly; the fuzzer mixes them with its
// own bytes.
const char *const Canned[] = {
    "220 (vsFTPd 3.0.3)\r\n",
    "331 Please specify the password.\r\n",
    "230 Login successful.\r\n",
    "215 UNIX Type: L8\r\n",
    "215 Windows_NT\r\n",
    "215 VMS\r\n",
    "257 \"/pub\" is the current directory\r\n",
    "227 Entering Passive Mode (127,0,0,1,195,80).\r\n",
    "200 Switching to ASCII mode.\r\n",
    "200 PORT command successful. Consider using PASV.\r\n",
    "150 Here comes the directory listing.\r\n",
    "125 Data connection already open. Transfer starting.\r\n",
    "226 Directory send OK.\r\n",
    "250 Directory successfully changed.\r\n",
    "350 Ready for RNTO.\r\n",
    "421 Timeout.\r\n",
    "550 Failed to change directory.\r\n",
    "221 Goodbye.\r\n",
    "332 Need account for login.\r\n",
    "211-Features:\r\n EPSV\r\n211 End\r\n",
    "211-Features:\r\n MLST type*;size*;modify*;\r\n UTF8\r\n SIZE\r\n MDTM\r\n211 End\r\n",
    "200 Always in UTF8 mode.\r\n",
    "213 20240115103000\r\n",
    "250-Listing f\r\n type=file;size=12;modify=20240115103000; f\r\n250 End\r\n",
    "502 Command not implemented.\r\n",
    "214-The following commands are recognized.\r\n ABOR ACCT\r\n214 Help OK.\r\n",
    "530 Login incorrect.\r\n",
    "213 12\r\n",
    "225 Data connection open; no transfer in progress.\r\n",
    "500 Unknown command.\r\n",
    "226 Transfer complete.\r\n",
};

void Write(int Fd, std::string_view Bytes)
{
    size_t Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t W = ::send(Fd, Bytes.data() + Done, Bytes.size() - Done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (W <= 0)
            break; // a full pair drops the rest, like a peer that gives up
        Done += size_t(W);
    }
}

void ToControl(std::string_view Bytes)
{
    auto P = Peers.find(Client->ControlSocket());
    if (Client->ControlSocket() == INVALID_SOCKET || P == Peers.end())
        return;
    Write(P->second, Bytes);
    TRACE("  server sends %zu bytes: '%.*s'\n", Bytes.size(), int(std::min<size_t>(Bytes.size(), 200)), Bytes.data());
    Post(Client->ControlSocket(), FD_READ, 0);
}

void DataStep(TFuzzReader &In)
{
    const TSocket Handle = Client->DataSocket();
    auto P = Peers.find(Handle);
    const uint8_t Op = In.Byte();
    if (Handle == INVALID_SOCKET || P == Peers.end()) {
        In.Bytes(Op & 0x3F);
        return;
    }
    switch (Op % 5) {
    case 0:
        Post(Handle, FD_CONNECT, (Op & 0x80) ? 10061 : 0);
        if (!(Op & 0x80))
            Post(Handle, FD_WRITE, 0);
        break;
    case 1:
    case 2:
        Write(P->second, In.Bytes(In.Byte()));
        Post(Handle, FD_READ, 0);
        break;
    case 3:
        ::shutdown(P->second, SHUT_WR);
        Post(Handle, FD_CLOSE, (Op & 0x80) ? 10054 : 0);
        break;
    default:
        Post(Handle, FD_WRITE, 0);
        break;
    }
}

// An active-mode data connection: a real loopback connection to the
// client's listening socket, then the accept notification.
void AcceptStep()
{
    const TSocket Listen = Client->ListenHandle();
    if (Listen == INVALID_SOCKET || Client->DataSocket() != INVALID_SOCKET)
        return;
    sockaddr_in A{};
    socklen_t Len = sizeof(A);
    if (::getsockname(int(Listen), reinterpret_cast<sockaddr *>(&A), &Len) != 0 ||
        A.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
        return;
    const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (Fd < 0)
        return;
    OpenFds.push_back(Fd);
    if (::connect(Fd, reinterpret_cast<sockaddr *>(&A), sizeof(A)) != 0)
        return;
    Post(Listen, FD_ACCEPT, 0);
    Settle();
    if (Client->DataSocket() != INVALID_SOCKET)
        Peers[Client->DataSocket()] = Fd;
}

void UserStep(TFuzzReader &In)
{
    const uint8_t Op = In.Byte();
    TRACE("  operation %d\n", Op % 13);
    try {
        switch (Op % 13) {
        case 0: Client->ChangeDir(In.Short()); break;
        case 1: Client->CurrentDir(); break;
        case 2: Client->QuerySystem(); break;
        case 3: Client->Delete(In.Short()); break;
        case 4: {
            const std::string Old = In.Short();
            Client->Rename(Old, In.Short());
            break;
        }
        case 5: Client->SendFtpCommand(In.Short()); break;
        case 6: Client->ListDir(In.Short(), (Op & 0x80) != 0); break;
        case 7: Client->Logout(); break;
        case 8: {
            const std::string User = In.Short();
            Client->Login("127.0.0.1", User, In.Short());
            break;
        }
        case 9:
            Client->Retrieve(In.Short(), TargetFile, TIpFtpRetrieveMode(In.Byte() % 3), int64_t(In.U16()) - 100);
            break;
        case 10:
            Client->Store(In.Short(), SourceFile, TIpFtpStoreMode(In.Byte() % 4), int64_t(In.U16()) - 100);
            break;
        case 11: Client->SetPassiveMode((Op & 0x80) != 0); break;
        default: Client->SetFileType((Op & 0x80) ? ftBinary : ftAscii); break;
        }
    } catch (...) {
        Classify(std::current_exception(), "an operation");
    }
}

void Step(TFuzzReader &In)
{
    const uint8_t Op = In.Byte();
    TRACE("step %d (op %02x), state %d, commands %d\n", Op % 9, Op, int(Client->FtpState()),
          Client->CommandCount());
    switch (Op % 9) {
    case 0:
    case 1: // raw bytes from the server
        ToControl(In.Bytes(In.Byte()));
        break;
    case 2: // a known reply, whole or cut in two reads
    {
        const std::string R = Canned[In.Byte() % (sizeof(Canned) / sizeof(Canned[0]))];
        const size_t Cut = (Op & 0x80) ? In.Byte() % (R.size() + 1) : R.size();
        ToControl(std::string_view(R).substr(0, Cut));
        if (Cut < R.size())
            ToControl(std::string_view(R).substr(Cut));
        break;
    }
    case 3: // the control connection comes up (or is refused)
        if (Client->ControlSocket() != INVALID_SOCKET) {
            Post(Client->ControlSocket(), FD_CONNECT, (Op & 0x80) ? 10061 : 0);
            if (!(Op & 0x80))
                Post(Client->ControlSocket(), FD_WRITE, 0);
        }
        break;
    case 4: // the server closes (or resets) the control connection
        if (Client->ControlSocket() != INVALID_SOCKET) {
            auto P = Peers.find(Client->ControlSocket());
            if (P != Peers.end())
                ::shutdown(P->second, SHUT_WR);
            Post(Client->ControlSocket(), FD_CLOSE, (Op & 0x80) ? 10054 : 0);
        }
        break;
    case 5: DataStep(In); break;
    case 6: UserStep(In); break;
    case 7: Client->TimerElapsed(uint32_t(In.U16()) * 10); break;
    default:
        if (Op & 0x80)
            AcceptStep();
        else // a long line from the server, to reach the line and reply limits
        {
            const std::string Pattern = In.Short();
            std::string Chunk;
            for (size_t I = 0, N = In.U16() % 4096; I < N && !Pattern.empty(); ++I)
                Chunk += Pattern;
            for (size_t Pos = 0; Pos < Chunk.size(); Pos += 100000) {
                ToControl(std::string_view(Chunk).substr(Pos, 100000));
                Settle();
            }
        }
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *Argc, char ***Argv)
{
    static QCoreApplication App(*Argc, *Argv);
    char Template[] = "/tmp/tolvane-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(Template) != nullptr, "mkdtemp failed");
    TempDir = Template;
    SourceFile = TempDir + "/source.bin";
    TargetFile = TempDir + "/target.bin";
    const int Fd = ::open(SourceFile.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    const std::string Body(3000, 'x');
    FUZZ_CHECK(Fd >= 0 && ::write(Fd, Body.data(), Body.size()) == ssize_t(Body.size()), "source file");
    ::close(Fd);
    IpSetApplicationExceptionHandler([](std::exception_ptr E) { Classify(E, "an event handler"); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    const uint8_t Settings = In.Byte();
    const std::string User = (Settings & 1) ? In.Short() : std::string();
    const std::string Password = In.Short();
    ::unlink(TargetFile.c_str());

    Client = new TFuzzClient();
    TFuzzTree *Tree = nullptr;
    if (Settings & 2) {
        Tree = new TFuzzTree();
        Client->SetDirectoryTree(Tree);
        Tree->SetFtpClient(Client);
    }
    Client->SetPassiveMode((Settings & 4) != 0);
    Client->SetTransferTimeout((Settings & 8) ? 1000 : 0);
    Client->SetIdleTimeout((Settings & 16) ? 2000 : 0);
    ControlTextChecked = true;
    CredentialsForbidden = false;
    SentOnControl.clear();
    if (Settings & 32) {
        // Through a SOCKS proxy: the control connection starts binary.
        Client->SocksServer()->SetAddress("127.0.0.1");
        Client->SocksServer()->SetSocksVersion(TIpSocksVersion((Settings >> 6) % 3));
        Client->SocksServer()->SetUserCode("user");
        Client->SocksServer()->SetPassword("secret");
        ControlTextChecked = false;
    } else if ((Settings >> 6) % 3 != 0) {
        // Without a proxy the top bits choose FTP over TLS: "AUTH TLS" and
        // its replies; after a 234 the control connection carries records.
        Client->SetTlsMode(TIpFtpTlsMode((Settings >> 6) % 3));
        CredentialsForbidden = Client->TlsMode() == tmRequired;
        ControlTextChecked = false;
    }
    Client->OnFtpStatus = [](TObject *, TIpFtpStatusCode Code, const std::string &) {
        FUZZ_CHECK(Code <= fscTimeout, "status code %d", int(Code));
    };
    Client->OnFtpReply = [](TObject *, int Code, const std::string &) {
        FUZZ_CHECK(Code >= 0 && Code <= 999, "reply code %d", Code);
    };

    try {
        Client->Login("127.0.0.1", User, Password, "acct");
    } catch (...) {
        Classify(std::current_exception(), "Login");
    }
    Settle();
    CheckInvariants();
    while (!In.Empty()) {
        Step(In);
        Settle();
        CheckInvariants();
    }

    delete Client;
    Client = nullptr;
    delete Tree;
    for (int Fd : OpenFds)
        ::close(Fd);
    OpenFds.clear();
    Peers.clear();
    SentOnControl.clear();
    QCoreApplication::sendPostedEvents();
    return 0;
}
