#include "support/ScriptedPeer.h"

#include "support/EventLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace {

// Control bytes kept while the script is idle; a client that floods more
// than this is simply not read any further (flow control stops it).
constexpr size_t kIdleReadLimit = 16u << 20;
constexpr size_t kMaxLine = 1u << 20;

int ListenLoopback(uint16_t *port, bool listening = true, uint16_t wanted = 0, bool ipv6 = false)
{
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_storage s{};
    socklen_t len = 0;
    if (ipv6) {
        auto &a = reinterpret_cast<sockaddr_in6 &>(s);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(wanted);
        len = sizeof a;
    } else {
        auto &a = reinterpret_cast<sockaddr_in &>(s);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(wanted);
        len = sizeof a;
    }
    // A given port is reused while the last connection on it lingers.
    const int on = 1;
    if (wanted != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&s), len) != 0 || (listening && ::listen(fd, 16) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&s), &len) != 0) {
        ::close(fd);
        return -1;
    }
    // Both families keep the port at the same place.
    *port = ntohs(reinterpret_cast<sockaddr_in &>(s).sin_port);
    return fd;
}

void CloseFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::string ReplaceAll(std::string s, const std::string &from, const std::string &to)
{
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

std::string PasvText(const std::string &tmpl, uint16_t port)
{
    std::string addr = "127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
    std::string text = ReplaceAll(ReplaceAll(tmpl, "{addr}", addr), "{port}", std::to_string(port));
    return ReplaceAll(ReplaceAll(text, "{p1}", std::to_string(port >> 8)), "{p2}", std::to_string(port & 0xff));
}

} // namespace

std::string EscapeBytes(std::string_view bytes, size_t maxLen)
{
    std::string out;
    size_t n = std::min(bytes.size(), maxLen);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    if (bytes.size() > n)
        out += "...(" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

TScriptedPeer::TScriptedPeer(bool ipv6) : FIpv6(ipv6)
{
    FListenFd = ListenLoopback(&FPort, true, 0, ipv6);
    FStopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    FStepFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FListenFd < 0 || FStopFd < 0 || FStepFd < 0)
        throw std::runtime_error(std::string("scripted peer: cannot listen on loopback: ") + std::strerror(errno));
    FCtrl.SetAbortFd(FStopFd);
    FData.SetAbortFd(FStopFd);
    FThread = std::thread([this] { ThreadMain(); });
}

TScriptedPeer::~TScriptedPeer()
{
    {
        std::lock_guard<std::mutex> g(FMutex);
        FStop = true;
    }
    FCond.notify_all();
    Wake(FStopFd);
    if (FThread.joinable())
        FThread.join();
    CloseAll();
    CloseFd(FListenFd);
    CloseFd(FStopFd);
    CloseFd(FStepFd);
}

void TScriptedPeer::Wake(int fd)
{
    uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

TScriptedPeer &TScriptedPeer::SetStepTimeout(int ms)
{
    std::lock_guard<std::mutex> g(FMutex);
    FStepTimeout = ms;
    return *this;
}

TScriptedPeer &TScriptedPeer::Add(std::string desc, std::function<bool(TScriptedPeer &, int)> run)
{
    {
        std::lock_guard<std::mutex> g(FMutex);
        FSteps.push_back({std::move(desc), std::move(run), FStepTimeout});
    }
    FCond.notify_all();
    Wake(FStepFd);
    return *this;
}

bool TScriptedPeer::Fail(const std::string &text)
{
    std::lock_guard<std::mutex> g(FMutex);
    std::string where = FNext < FSteps.size() ? "step " + std::to_string(FNext + 1) + " (" + FSteps[FNext].Desc + ")"
                                              : std::string("after the script");
    FFailures.push_back(where + ": " + text);
    return false;
}

// ------------------------------------------------------------------ thread

void TScriptedPeer::ThreadMain()
{
    for (;;) {
        TStep step;
        {
            std::unique_lock<std::mutex> g(FMutex);
            if (FStop)
                return;
            if (FAborted || FNext >= FSteps.size()) {
                g.unlock();
                Idle();
                continue;
            }
            step = FSteps[FNext];
            FRunning = true;
        }
        bool ok = step.Run(*this, step.TimeoutMs);
        bool stopping;
        {
            std::lock_guard<std::mutex> g(FMutex);
            stopping = FStop;
            FRunning = false;
            if (!ok)
                FAborted = true;
            else
                ++FNext;
        }
        if (!ok) {
            if (!stopping)
                CloseAll();
            FCond.notify_all();
        }
    }
}

// Between steps (and after a failure) the peer keeps reading the control
// connection so that Received() shows what the client sends meanwhile.
void TScriptedPeer::Idle()
{
    uint64_t drain;
    pollfd p[3] = {{FStopFd, POLLIN, 0}, {FStepFd, POLLIN, 0}, {-1, POLLIN, 0}};
    if (FCtrl.IsOpen() && !FCtrl.PeerClosed() && FCtrl.Pending().size() < kIdleReadLimit)
        p[2].fd = FCtrl.Fd();
    int rc = ::poll(p, 3, 200);
    if (rc <= 0)
        return;
    if (p[1].revents & POLLIN)
        (void)!::read(FStepFd, &drain, sizeof drain);
    if (p[2].revents) {
        if (!FCtrl.ReadMore(0) && FCtrl.PeerClosed()) {
            std::lock_guard<std::mutex> g(FMutex);
            FClientClosed = true;
        }
    }
}

void TScriptedPeer::CloseAll()
{
    FCtrl.Close();
    FData.Close();
    CloseFd(FPasvFd);
    CloseFd(FRefuseFd);
}

void TScriptedPeer::RecordControl(std::string_view bytes)
{
    std::lock_guard<std::mutex> g(FMutex);
    FReceivedBytes.append(bytes);
    for (char c : bytes) {
        if (c == '\n') {
            if (!FLinePartial.empty() && FLinePartial.back() == '\r')
                FLinePartial.pop_back();
            FReceived.push_back(std::move(FLinePartial));
            FLinePartial.clear();
        } else if (FLinePartial.size() < kMaxLine) {
            FLinePartial += c;
        }
    }
}

bool TScriptedPeer::AcceptOn(int listenFd, TBlockingSocket &into, int timeoutMs, const char *what)
{
    if (listenFd < 0)
        return Fail(std::string("no listener for the ") + what + " connection");
    int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {FStopFd, POLLIN, 0}};
        int rc = ::poll(p, 2, static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0)));
        if (rc < 0 && errno == EINTR)
            continue;
        if (p[1].revents & POLLIN)
            return Fail("stopped");
        if (p[0].revents & POLLIN) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return Fail(std::string("accept: ") + std::strerror(errno));
            into = TBlockingSocket(fd);
            into.SetAbortFd(FStopFd);
            return true;
        }
        if (NowMs() >= deadline)
            return Fail(std::string("no ") + what + " connection within " + std::to_string(timeoutMs) + " ms");
    }
}

bool TScriptedPeer::NeedControl(int timeoutMs)
{
    if (FCtrl.IsOpen())
        return true;
    int accepted;
    {
        std::lock_guard<std::mutex> g(FMutex);
        accepted = FConnections;
    }
    if (accepted > 0)
        return Fail("the control connection is closed (use Accept() for a new one)");
    if (!AcceptOn(FListenFd, FCtrl, timeoutMs, "control"))
        return false;
    FCtrl.OnReceive = [this](std::string_view b) { RecordControl(b); };
    std::lock_guard<std::mutex> g(FMutex);
    ++FConnections;
    FClientClosed = false;
    FLinePartial.clear();
    return true;
}

std::optional<std::string> TScriptedPeer::ReadControlLine(int timeoutMs)
{
    if (!NeedControl(timeoutMs))
        return std::nullopt;
    auto line = FCtrl.ReadLine(timeoutMs, kMaxLine);
    // Like the many servers that know only PASV and PORT, unless the script
    // takes the extended commands itself.
    while (line && !FExtended && (*line == "EPSV" || line->compare(0, 5, "EPRT ") == 0)) {
        if (!FCtrl.SendAll("500 Unknown command.\r\n", timeoutMs)) {
            Fail("send failed: " + FCtrl.LastError());
            return std::nullopt;
        }
        line = FCtrl.ReadLine(timeoutMs, kMaxLine);
    }
    if (!line) {
        if (FCtrl.PeerClosed()) {
            std::lock_guard<std::mutex> g(FMutex);
            FClientClosed = true;
        }
        std::string got = FCtrl.Pending().empty() ? "" : ", partial \"" + EscapeBytes(FCtrl.Pending()) + "\"";
        Fail("no line from the client: " + FCtrl.LastError() + got);
    }
    return line;
}

// ------------------------------------------------------------------ steps

TScriptedPeer &TScriptedPeer::Accept()
{
    return Add("accept control connection", [](TScriptedPeer &s, int t) {
        s.FCtrl.Close();
        if (!s.AcceptOn(s.FListenFd, s.FCtrl, t, "control"))
            return false;
        s.FCtrl.OnReceive = [&s](std::string_view b) { s.RecordControl(b); };
        std::lock_guard<std::mutex> g(s.FMutex);
        ++s.FConnections;
        s.FClientClosed = false;
        s.FLinePartial.clear();
        return true;
    });
}

TScriptedPeer &TScriptedPeer::Send(const std::string &line)
{
    return Add("send \"" + EscapeBytes(line, 60) + "\"", [line](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        if (!s.FCtrl.SendAll(line + "\r\n", t))
            return s.Fail("send failed: " + s.FCtrl.LastError());
        return true;
    });
}

TScriptedPeer &TScriptedPeer::SendRaw(const std::string &bytes)
{
    return Add("send raw \"" + EscapeBytes(bytes, 60) + "\"", [bytes](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        if (!s.FCtrl.SendAll(bytes, t))
            return s.Fail("send failed: " + s.FCtrl.LastError());
        return true;
    });
}

TScriptedPeer &TScriptedPeer::SendSplit(const std::vector<std::string> &parts, int pauseMs)
{
    return Add("send " + std::to_string(parts.size()) + " parts", [parts, pauseMs](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i && pauseMs > 0) {
                pollfd p{s.FStopFd, POLLIN, 0};
                if (::poll(&p, 1, pauseMs) > 0)
                    return s.Fail("stopped");
            }
            if (!s.FCtrl.SendAll(parts[i], t))
                return s.Fail("send of part " + std::to_string(i + 1) + " failed: " + s.FCtrl.LastError());
        }
        return true;
    });
}

TScriptedPeer &TScriptedPeer::Expect(const std::string &line)
{
    return Add("expect \"" + EscapeBytes(line, 60) + "\"", [line](TScriptedPeer &s, int t) {
        auto got = s.ReadControlLine(t);
        if (!got)
            return false;
        if (*got != line)
            return s.Fail("expected \"" + EscapeBytes(line) + "\" but received \"" + EscapeBytes(*got) + "\"");
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ExpectPrefix(const std::string &prefix)
{
    return Add("expect prefix \"" + EscapeBytes(prefix, 60) + "\"", [prefix](TScriptedPeer &s, int t) {
        auto got = s.ReadControlLine(t);
        if (!got)
            return false;
        if (got->compare(0, prefix.size(), prefix) != 0)
            return s.Fail("expected a line starting \"" + EscapeBytes(prefix) + "\" but received \"" +
                          EscapeBytes(*got) + "\"");
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ReceiveLine()
{
    return Add("receive a line", [](TScriptedPeer &s, int t) { return s.ReadControlLine(t).has_value(); });
}

TScriptedPeer &TScriptedPeer::ExpectBytes(const std::string &bytes)
{
    return Add("expect bytes " + HexDump(bytes, 32), [bytes](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        auto got = s.FCtrl.ReadExact(bytes.size(), t);
        if (!got)
            return s.Fail("expected " + std::to_string(bytes.size()) + " bytes [" + HexDump(bytes) + "] but got only [" +
                          HexDump(s.FCtrl.Pending()) + "]: " + s.FCtrl.LastError());
        if (*got != bytes)
            return s.Fail("expected [" + HexDump(bytes) + "] but received [" + HexDump(*got) + "]");
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ReceiveBytes(size_t count)
{
    return Add("receive " + std::to_string(count) + " bytes", [count](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        if (!s.FCtrl.ReadExact(count, t))
            return s.Fail("wanted " + std::to_string(count) + " bytes, got [" + HexDump(s.FCtrl.Pending()) +
                          "]: " + s.FCtrl.LastError());
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ExpectClosed()
{
    return Add("expect the client to close", [](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        bool closed = false;
        s.FCtrl.ReadUntilClose(t, &closed);
        if (!closed)
            return s.Fail("the client did not close the control connection within " + std::to_string(t) + " ms");
        std::lock_guard<std::mutex> g(s.FMutex);
        s.FClientClosed = true;
        return true;
    });
}

TScriptedPeer &TScriptedPeer::Close()
{
    return Add("close control", [](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        s.FCtrl.Close();
        return true;
    });
}

TScriptedPeer &TScriptedPeer::Reset()
{
    return Add("reset control", [](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        s.FCtrl.Reset();
        return true;
    });
}

TScriptedPeer &TScriptedPeer::Pause(int ms)
{
    return Add("pause " + std::to_string(ms) + " ms", [ms](TScriptedPeer &s, int) {
        pollfd p{s.FStopFd, POLLIN, 0};
        if (::poll(&p, 1, ms) > 0)
            return s.Fail("stopped");
        return true;
    });
}

TScriptedPeer &TScriptedPeer::Mark(const std::string &label)
{
    return Add("mark " + label, [label](TScriptedPeer &s, int) {
        std::lock_guard<std::mutex> g(s.FMutex);
        s.FMarks.insert(label);
        return true;
    });
}

TScriptedPeer &TScriptedPeer::Hold()
{
    return Add("hold until Release()", [](TScriptedPeer &s, int) {
        std::unique_lock<std::mutex> g(s.FMutex);
        bool released = s.FCond.wait_for(g, std::chrono::seconds(60), [&] { return s.FStop || s.FReleases > 0; });
        if (s.FStop || !released) {
            g.unlock();
            return s.Fail(released ? "stopped" : "not released within 60 s");
        }
        --s.FReleases;
        return true;
    });
}

void TScriptedPeer::Release()
{
    {
        std::lock_guard<std::mutex> g(FMutex);
        ++FReleases;
    }
    FCond.notify_all();
}

TScriptedPeer &TScriptedPeer::OpenPassive(const std::string &replyTemplate)
{
    return OpenPassiveAt(0, replyTemplate);
}

TScriptedPeer &TScriptedPeer::OpenPassiveAt(uint16_t wanted, const std::string &replyTemplate)
{
    return Add("open passive listener", [replyTemplate, wanted](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        CloseFd(s.FPasvFd);
        uint16_t port = 0;
        s.FPasvFd = ListenLoopback(&port, true, wanted, s.FIpv6);
        if (s.FPasvFd < 0)
            return s.Fail(std::string("cannot open a passive listener: ") + std::strerror(errno));
        {
            std::lock_guard<std::mutex> g(s.FMutex);
            s.FDataPort = port;
        }
        if (!s.FCtrl.SendAll(PasvText(replyTemplate, port) + "\r\n", t))
            return s.Fail("send failed: " + s.FCtrl.LastError());
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ExpectPasv(const std::string &replyTemplate)
{
    return Expect("PASV").OpenPassive(replyTemplate);
}

TScriptedPeer &TScriptedPeer::RefusePassive(const std::string &replyTemplate)
{
    return Add("announce a refusing passive port", [replyTemplate](TScriptedPeer &s, int t) {
        if (!s.NeedControl(t))
            return false;
        // Bound but not listening: the port stays ours and connects get RST.
        CloseFd(s.FRefuseFd);
        uint16_t port = 0;
        s.FRefuseFd = ListenLoopback(&port, false, 0, s.FIpv6);
        if (s.FRefuseFd < 0)
            return s.Fail("cannot reserve a port");
        {
            std::lock_guard<std::mutex> g(s.FMutex);
            s.FDataPort = port;
        }
        if (!s.FCtrl.SendAll(PasvText(replyTemplate, port) + "\r\n", t))
            return s.Fail("send failed: " + s.FCtrl.LastError());
        return true;
    });
}

TScriptedPeer &TScriptedPeer::AcceptData()
{
    return Add("accept data connection", [](TScriptedPeer &s, int t) {
        s.FData.Close();
        return s.AcceptOn(s.FPasvFd, s.FData, t, "passive data");
    });
}

TScriptedPeer &TScriptedPeer::ExtendedCommands()
{
    FExtended = true;
    return *this;
}

TScriptedPeer &TScriptedPeer::ExpectEpsv(const std::string &replyTemplate)
{
    return Expect("EPSV").OpenPassive(replyTemplate);
}

TScriptedPeer &TScriptedPeer::ExpectEprt()
{
    return Add("expect EPRT", [](TScriptedPeer &s, int t) {
        auto got = s.ReadControlLine(t);
        if (!got)
            return false;
        // "EPRT |1|127.0.0.1|port|" or "EPRT |2|::1|port|"
        const std::string want = s.FIpv6 ? "EPRT |2|::1|" : "EPRT |1|127.0.0.1|";
        unsigned port = 0;
        char tail = 0;
        char extra = 0;
        if (got->compare(0, want.size(), want) != 0 ||
            std::sscanf(got->c_str() + want.size(), "%u%c%c", &port, &tail, &extra) != 2 || tail != '|' ||
            port == 0 || port > 65535)
            return s.Fail("expected \"" + want + "port|\" but received \"" + EscapeBytes(*got) + "\"");
        s.FPortHost = s.FIpv6 ? "::1" : "127.0.0.1";
        s.FPortPort = static_cast<uint16_t>(port);
        std::lock_guard<std::mutex> g(s.FMutex);
        s.FDataPort = s.FPortPort;
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ExpectPort()
{
    return Add("expect PORT", [](TScriptedPeer &s, int t) {
        auto got = s.ReadControlLine(t);
        if (!got)
            return false;
        unsigned h[6];
        char tail;
        if (got->compare(0, 5, "PORT ") != 0 ||
            std::sscanf(got->c_str() + 5, "%u,%u,%u,%u,%u,%u%c", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5], &tail) != 6)
            return s.Fail("expected \"PORT h1,h2,h3,h4,p1,p2\" but received \"" + EscapeBytes(*got) + "\"");
        for (unsigned v : h)
            if (v > 255)
                return s.Fail("PORT numbers out of range: \"" + EscapeBytes(*got) + "\"");
        if (h[0] != 127)
            return s.Fail("PORT names a non-loopback address: \"" + EscapeBytes(*got) + "\"");
        s.FPortHost = std::to_string(h[0]) + "." + std::to_string(h[1]) + "." + std::to_string(h[2]) + "." +
                      std::to_string(h[3]);
        s.FPortPort = static_cast<uint16_t>(h[4] << 8 | h[5]);
        std::lock_guard<std::mutex> g(s.FMutex);
        s.FDataPort = s.FPortPort;
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ConnectData()
{
    return Add("connect data connection", [](TScriptedPeer &s, int t) {
        if (s.FPortPort == 0)
            return s.Fail("no PORT address received before");
        s.FData.Close();
        if (!s.FData.Connect(s.FPortPort, t, s.FPortHost))
            return s.Fail("connect to " + s.FPortHost + ":" + std::to_string(s.FPortPort) +
                          " failed: " + s.FData.LastError());
        return true;
    });
}

TScriptedPeer &TScriptedPeer::SendData(const std::string &bytes)
{
    return Add("send " + std::to_string(bytes.size()) + " data bytes", [bytes](TScriptedPeer &s, int t) {
        if (!s.FData.IsOpen())
            return s.Fail("no data connection");
        if (!s.FData.SendAll(bytes, t))
            return s.Fail("data send failed: " + s.FData.LastError());
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ReceiveData()
{
    return Add("receive data until closed", [](TScriptedPeer &s, int t) {
        if (!s.FData.IsOpen())
            return s.Fail("no data connection");
        bool closed = false;
        std::string data = s.FData.ReadUntilClose(t, &closed);
        {
            std::lock_guard<std::mutex> g(s.FMutex);
            s.FDataReceived.push_back(data);
        }
        s.FData.Close();
        if (!closed)
            return s.Fail("the client did not close the data connection within " + std::to_string(t) + " ms (" +
                          std::to_string(data.size()) + " bytes so far)");
        return true;
    });
}

TScriptedPeer &TScriptedPeer::StartTls(const std::string &pem)
{
    return Add("TLS on the control connection", [pem](TScriptedPeer &s, int t) {
        return s.NeedControl(t) && (s.FCtrl.StartTlsServer(pem, t) || s.Fail("TLS: " + s.FCtrl.LastError()));
    });
}

TScriptedPeer &TScriptedPeer::StartDataTls(const std::string &pem)
{
    return Add("TLS on the data connection", [pem](TScriptedPeer &s, int t) {
        return s.FData.StartTlsServer(pem, t) || s.Fail("data TLS: " + s.FData.LastError());
    });
}

TScriptedPeer &TScriptedPeer::ReceiveDataUntilReset()
{
    return Add("receive data until reset", [](TScriptedPeer &s, int t) {
        if (!s.FData.IsOpen())
            return s.Fail("no data connection");
        bool closed = false;
        std::string data = s.FData.ReadUntilClose(t, &closed);
        const std::string how = closed ? s.FData.LastError() : "still open";
        {
            std::lock_guard<std::mutex> g(s.FMutex);
            s.FDataReceived.push_back(data);
        }
        s.FData.Close();
        if (how.find("reset") == std::string::npos)
            return s.Fail("the data connection did not end with a reset: " + how);
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ReceiveDataBytes(size_t count)
{
    return Add("receive " + std::to_string(count) + " data bytes", [count](TScriptedPeer &s, int t) {
        if (!s.FData.IsOpen())
            return s.Fail("no data connection");
        std::optional<std::string> data = s.FData.ReadExact(count, t);
        if (!data)
            return s.Fail("fewer than " + std::to_string(count) + " data bytes arrived");
        std::lock_guard<std::mutex> g(s.FMutex);
        s.FDataReceived.push_back(*data);
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ShutdownData()
{
    return Add("shut down data sending", [](TScriptedPeer &s, int) {
        if (!s.FData.IsOpen())
            return s.Fail("no data connection");
        s.FData.ShutdownWrite();
        return true;
    });
}

TScriptedPeer &TScriptedPeer::CloseData()
{
    return Add("close data connection", [](TScriptedPeer &s, int) {
        s.FData.Close();
        CloseFd(s.FPasvFd);
        return true;
    });
}

TScriptedPeer &TScriptedPeer::ResetData()
{
    return Add("reset data connection", [](TScriptedPeer &s, int) {
        s.FData.Reset();
        CloseFd(s.FPasvFd);
        return true;
    });
}

TScriptedPeer &TScriptedPeer::SendBytesSplit(const std::string &bytes, const std::vector<size_t> &sizes, int pauseMs)
{
    std::vector<std::string> parts;
    size_t at = 0;
    for (size_t n : sizes) {
        if (at >= bytes.size())
            break;
        parts.push_back(bytes.substr(at, n));
        at += n;
    }
    if (at < bytes.size())
        parts.push_back(bytes.substr(at));
    return SendSplit(parts, pauseMs);
}

TScriptedPeer &TScriptedPeer::Login(const std::string &user, const std::string &password, const std::string &greeting)
{
    Send(greeting);
    Reply("USER " + user, "331 Password required for " + user + ".");
    return Reply("PASS " + password, "230 User " + user + " logged in.");
}

TScriptedPeer &TScriptedPeer::NoFeatures()
{
    return Reply("FEAT", "211 No features");
}

TScriptedPeer &TScriptedPeer::Reply(const std::string &command, const std::string &reply)
{
    Expect(command);
    return Send(reply);
}

// ------------------------------------------------------------------ results

bool TScriptedPeer::Done() const
{
    std::lock_guard<std::mutex> g(FMutex);
    return FAborted || (FNext >= FSteps.size() && !FRunning);
}

std::string TScriptedPeer::Describe() const
{
    std::lock_guard<std::mutex> g(FMutex);
    std::ostringstream o;
    if (FAborted)
        o << "script failed";
    else if (FNext < FSteps.size())
        o << "script at step " << FNext + 1 << " of " << FSteps.size() << " (" << FSteps[FNext].Desc << ")";
    else
        o << "script finished (" << FSteps.size() << " steps)";
    for (const auto &f : FFailures)
        o << "\n  failure: " << f;
    o << "\n  lines received (" << FReceived.size() << "):";
    for (const auto &l : FReceived)
        o << "\n    \"" << EscapeBytes(l) << "\"";
    if (!FLinePartial.empty())
        o << "\n    partial \"" << EscapeBytes(FLinePartial) << "\"";
    return o.str();
}

testing::AssertionResult TScriptedPeer::WaitDone(int timeoutMs)
{
    bool done = RunUntil([this] { return Done(); }, timeoutMs);
    bool failed;
    {
        std::lock_guard<std::mutex> g(FMutex);
        failed = !FFailures.empty();
    }
    if (done && !failed)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << (done ? "" : "timed out after " + std::to_string(timeoutMs) + " ms: ")
                                       << Describe();
}

std::vector<std::string> TScriptedPeer::Received() const
{
    std::lock_guard<std::mutex> g(FMutex);
    return FReceived;
}

std::string TScriptedPeer::ReceivedBytes() const
{
    std::lock_guard<std::mutex> g(FMutex);
    return FReceivedBytes;
}

std::vector<std::string> TScriptedPeer::DataReceived() const
{
    std::lock_guard<std::mutex> g(FMutex);
    return FDataReceived;
}

std::vector<std::string> TScriptedPeer::Failures() const
{
    std::lock_guard<std::mutex> g(FMutex);
    return FFailures;
}

bool TScriptedPeer::Reached(const std::string &label) const
{
    std::lock_guard<std::mutex> g(FMutex);
    return FMarks.count(label) > 0;
}

uint16_t TScriptedPeer::DataPort() const
{
    std::lock_guard<std::mutex> g(FMutex);
    return FDataPort;
}

int TScriptedPeer::Connections() const
{
    std::lock_guard<std::mutex> g(FMutex);
    return FConnections;
}

bool TScriptedPeer::ClientClosed() const
{
    std::lock_guard<std::mutex> g(FMutex);
    return FClientClosed;
}
