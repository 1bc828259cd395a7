#include "support/BlockingSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <chrono>
#include <cctype>
#include <cstring>
#include <algorithm>

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TBlockingSocket::~TBlockingSocket()
{
    Close();
}

TBlockingSocket::TBlockingSocket(TBlockingSocket &&other) noexcept
{
    *this = std::move(other);
}

TBlockingSocket &TBlockingSocket::operator=(TBlockingSocket &&other) noexcept
{
    if (this != &other) {
        Close();
        FFd = other.FFd;
        FSsl = other.FSsl;
        other.FSsl = nullptr;
        FAbortFd = other.FAbortFd;
        FEof = other.FEof;
        FBuf = std::move(other.FBuf);
        OnReceive = std::move(other.OnReceive);
        FError = std::move(other.FError);
        other.FFd = -1;
    }
    return *this;
}

bool TBlockingSocket::Connect(uint16_t port, int timeoutMs, const std::string &host)
{
    Close();
    FEof = false;
    FBuf.clear();
    sockaddr_storage s{};
    socklen_t len = 0;
    if (host == "::1") {
        auto &a = reinterpret_cast<sockaddr_in6 &>(s);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_loopback;
        len = sizeof a;
    } else {
        auto &a = reinterpret_cast<sockaddr_in &>(s);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1 || (ntohl(a.sin_addr.s_addr) >> 24) != 127) {
            FError = "refusing to connect to non-loopback address " + host;
            return false;
        }
        len = sizeof a;
    }
    FFd = ::socket(s.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (FFd < 0) {
        FError = std::strerror(errno);
        return false;
    }
    int rc = ::connect(FFd, reinterpret_cast<sockaddr *>(&s), len);
    if (rc != 0 && errno != EINPROGRESS) {
        FError = std::string("connect: ") + std::strerror(errno);
        Close();
        return false;
    }
    if (rc != 0) {
        if (!Wait(true, NowMs() + timeoutMs)) {
            Close();
            return false;
        }
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            FError = std::string("connect: ") + std::strerror(err);
            Close();
            return false;
        }
    }
    int one = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool TBlockingSocket::Wait(bool forWrite, int64_t deadlineMs)
{
    for (;;) {
        pollfd p[2] = {{FFd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0}, {FAbortFd, POLLIN, 0}};
        int64_t left = deadlineMs - NowMs();
        if (left < 0)
            left = 0;
        int rc = ::poll(p, FAbortFd >= 0 ? 2 : 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0) {
            FError = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if (FAbortFd >= 0 && (p[1].revents & POLLIN)) {
            FError = "aborted";
            return false;
        }
        if (p[0].revents)
            return true;
        if (rc == 0 && NowMs() >= deadlineMs) {
            FError = "timed out";
            return false;
        }
    }
}

bool TBlockingSocket::Fill(int64_t deadlineMs)
{
    if (FFd < 0) {
        FError = "not connected";
        return false;
    }
    if (FEof) {
        FError = "closed by peer";
        return false;
    }
    for (;;) {
        char buf[65536];
        if (FSsl) {
            ERR_clear_error();
            const int n = SSL_read(FSsl, buf, sizeof buf);
            if (n > 0) {
                FBuf.append(buf, static_cast<size_t>(n));
                if (OnReceive)
                    OnReceive(std::string_view(buf, static_cast<size_t>(n)));
                return true;
            }
            const int step = TlsStep(n, deadlineMs);
            if (step == 0)
                continue;
            FEof = step == -2; // close_notify, a reset, or a TCP end without close_notify
            return false;
        }
        ssize_t n = ::recv(FFd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            FBuf.append(buf, static_cast<size_t>(n));
            if (OnReceive)
                OnReceive(std::string_view(buf, static_cast<size_t>(n)));
            return true;
        }
        if (n == 0) {
            FEof = true;
            FError = "closed by peer";
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            FEof = true;
            FError = std::string("recv: ") + std::strerror(errno);
            return false;
        }
        if (!Wait(false, deadlineMs))
            return false;
    }
}

bool TBlockingSocket::ReadMore(int timeoutMs)
{
    return Fill(NowMs() + timeoutMs);
}

bool TBlockingSocket::SendAll(std::string_view bytes, int timeoutMs)
{
    if (FFd < 0) {
        FError = "not connected";
        return false;
    }
    int64_t deadline = NowMs() + timeoutMs;
    while (!bytes.empty() && FSsl) {
        ERR_clear_error();
        const int n = SSL_write(FSsl, bytes.data(), static_cast<int>(bytes.size()));
        if (n > 0)
            bytes.remove_prefix(static_cast<size_t>(n));
        else if (TlsStep(n, deadline) < 0)
            return false;
    }
    while (!bytes.empty()) {
        ssize_t n = ::send(FFd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            FError = std::string("send: ") + std::strerror(errno);
            return false;
        }
        if (!Wait(true, deadline))
            return false;
    }
    return true;
}

bool TBlockingSocket::SendLine(std::string_view line, int timeoutMs)
{
    std::string s(line);
    s += "\r\n";
    return SendAll(s, timeoutMs);
}

std::optional<std::string> TBlockingSocket::ReadLine(int timeoutMs, size_t maxLen)
{
    int64_t deadline = NowMs() + timeoutMs;
    size_t scanned = 0;
    for (;;) {
        size_t lf = FBuf.find('\n', scanned);
        if (lf != std::string::npos) {
            std::string line = FBuf.substr(0, lf);
            FBuf.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        scanned = FBuf.size();
        if (FBuf.size() > maxLen) {
            FError = "line longer than " + std::to_string(maxLen) + " bytes";
            return std::nullopt;
        }
        if (!Fill(deadline))
            return std::nullopt;
    }
}

std::optional<std::string> TBlockingSocket::ReadExact(size_t n, int timeoutMs)
{
    int64_t deadline = NowMs() + timeoutMs;
    while (FBuf.size() < n)
        if (!Fill(deadline))
            return std::nullopt;
    std::string out = FBuf.substr(0, n);
    FBuf.erase(0, n);
    return out;
}

std::string TBlockingSocket::ReadSome(int timeoutMs)
{
    if (FBuf.empty())
        Fill(NowMs() + timeoutMs);
    return TakePending();
}

std::string TBlockingSocket::ReadUntilClose(int timeoutMs, bool *closed)
{
    int64_t deadline = NowMs() + timeoutMs;
    while (Fill(deadline)) {
    }
    if (closed)
        *closed = FEof;
    return TakePending();
}

std::string TBlockingSocket::TakePending()
{
    std::string out;
    out.swap(FBuf);
    return out;
}

int TBlockingSocket::TlsStep(int rc, int64_t deadlineMs)
{
    const int e = SSL_get_error(FSsl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return Wait(e == SSL_ERROR_WANT_WRITE, deadlineMs) ? 0 : -1;
    // The stream has ended or failed.
    const unsigned long code = ERR_peek_error();
    FError = e == SSL_ERROR_ZERO_RETURN ? "closed by peer (close_notify)"
             : code ? std::string("TLS: ") + ERR_reason_error_string(code)
                    : std::string("recv: ") + std::strerror(errno);
    return -2;
}

bool TBlockingSocket::StartTlsServer(const std::string &pem, int timeoutMs)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    const unsigned char id[] = "scripted";
    SSL_CTX_set_session_id_context(ctx, id, sizeof id - 1);
    if (SSL_CTX_use_certificate_chain_file(ctx, pem.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, pem.c_str(), SSL_FILETYPE_PEM) != 1) {
        SSL_CTX_free(ctx);
        FError = "cannot load " + pem;
        return false;
    }
    FSsl = SSL_new(ctx);
    SSL_CTX_free(ctx); // the connection keeps its own reference
    ::fcntl(FFd, F_SETFL, ::fcntl(FFd, F_GETFL) | O_NONBLOCK);
    SSL_set_fd(FSsl, FFd);
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_accept(FSsl);
        if (rc == 1)
            return true;
        if (TlsStep(rc, deadline) < 0)
            return false;
    }
}

bool TBlockingSocket::SendCloseNotify()
{
    return FSsl && SSL_shutdown(FSsl) >= 0;
}

void TBlockingSocket::Close()
{
    SSL_free(FSsl);
    FSsl = nullptr;
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

void TBlockingSocket::Reset()
{
    if (FFd >= 0) {
        linger l{1, 0};
        ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    Close();
}

void TBlockingSocket::ShutdownWrite()
{
    if (FFd >= 0)
        ::shutdown(FFd, SHUT_WR);
}

uint16_t TBlockingSocket::LocalPort() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (FFd < 0 || ::getsockname(FFd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

TFtpReply ReadFtpReply(TBlockingSocket &sock, int timeoutMs)
{
    TFtpReply r;
    int64_t deadline = NowMs() + timeoutMs;
    auto first = sock.ReadLine(static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0)));
    if (!first)
        return r;
    r.Text = *first;
    auto isCode = [](const std::string &l) {
        return l.size() >= 4 && std::isdigit(static_cast<unsigned char>(l[0])) &&
               std::isdigit(static_cast<unsigned char>(l[1])) && std::isdigit(static_cast<unsigned char>(l[2]));
    };
    if (!isCode(*first) && !(first->size() == 3 && isCode(*first + " ")))
        return r; // not an FTP reply line: Code stays -1, Text shows what came
    std::string code = first->substr(0, 3);
    if (first->size() > 3 && (*first)[3] == '-') {
        for (;;) {
            auto l = sock.ReadLine(static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0)));
            if (!l)
                return r;
            r.Text += "\n" + *l;
            if (l->size() >= 4 && l->compare(0, 3, code) == 0 && (*l)[3] == ' ')
                break;
            if (*l == code)
                break;
        }
    }
    r.Code = std::stoi(code);
    return r;
}

std::string Hex(std::string_view text)
{
    std::string out;
    int hi = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<char>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

std::string HexDump(std::string_view bytes, size_t maxBytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    size_t n = std::min(bytes.size(), maxBytes);
    for (size_t i = 0; i < n; ++i) {
        if (i)
            out += ' ';
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    if (bytes.size() > n)
        out += " ... (" + std::to_string(bytes.size()) + " bytes)";
    return out;
}
