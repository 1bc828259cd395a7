#include "support/TestPaths.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

TTempDir::TTempDir(const std::string &prefix)
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp(" + tmpl + "): " + std::strerror(errno));
    FPath = buf.data();
    ::chmod(FPath.c_str(), 0755);
}

TTempDir::~TTempDir()
{
    std::error_code ec;
    fs::remove_all(FPath, ec);
}

std::string TTempDir::File(const std::string &name) const
{
    return FPath + "/" + name;
}

std::string TTempDir::MakeDir(const std::string &name) const
{
    std::string p = File(name);
    std::error_code ec;
    fs::create_directories(p, ec);
    // Every level we created gets 0755 (the umask could have trimmed it).
    for (fs::path q = p; q.string().size() > FPath.size(); q = q.parent_path())
        ::chmod(q.c_str(), 0755);
    return p;
}

bool TTempDir::ChownTo(uid_t uid, gid_t gid) const
{
    return ChownTree(FPath, uid, gid);
}

bool TTempDir::ChownTo(uid_t uid, gid_t gid, const std::string &path) const
{
    return ChownTree(path, uid, gid);
}

bool ChownTree(const std::string &path, uid_t uid, gid_t gid)
{
    if (::lchown(path.c_str(), uid, gid) != 0)
        return false;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(path, ec)))
        return true;
    bool ok = true;
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        ok = ::lchown(it->path().c_str(), uid, gid) == 0 && ok;
    return ok && !ec;
}

namespace {

bool PortIsFree(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // No SO_REUSEADDR: a port still in TIME_WAIT counts as taken, since a
    // server without that option could not bind it either.
    bool ok = ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

std::mt19937 &PortRng()
{
    static std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    return rng;
}

} // namespace

uint16_t FreeTcpPortRange(int count)
{
    if (count < 1)
        count = 1;
    // 20000..31999 is below Linux's default ephemeral range (32768..60999).
    std::uniform_int_distribution<int> dist(20000, 32000 - count);
    for (int attempt = 0; attempt < 500; ++attempt) {
        int first = dist(PortRng());
        bool ok = true;
        for (int i = 0; i < count && ok; ++i)
            ok = PortIsFree(static_cast<uint16_t>(first + i));
        if (ok)
            return static_cast<uint16_t>(first);
    }
    throw std::runtime_error("no free loopback port range found");
}

uint16_t FreeTcpPort()
{
    return FreeTcpPortRange(1);
}

std::string ReadFile(const std::string &path)
{
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

bool WriteFile(const std::string &path, std::string_view data)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int64_t FileSize(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

uint64_t Fnv1a64(std::string_view data, uint64_t seed)
{
    uint64_t h = seed;
    for (unsigned char c : data) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

uint64_t FileChecksum(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    uint64_t h = Fnv1a64({});
    std::vector<char> buf(1 << 20);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
        h = Fnv1a64(std::string_view(buf.data(), n), h);
    std::fclose(f);
    return h;
}

namespace {

// xorshift64*: fast, deterministic, and every byte value turns up.
struct TByteStream
{
    uint64_t state;
    explicit TByteStream(uint64_t seed) : state(seed ? seed : 0x9e3779b97f4a7c15ULL) {}
    void Fill(char *p, size_t n)
    {
        while (n) {
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            uint64_t v = state * 0x2545F4914F6CDD1DULL;
            for (int i = 0; i < 8 && n; ++i, --n) {
                *p++ = static_cast<char>(v & 0xff);
                v >>= 8;
            }
        }
    }
};

} // namespace

std::string RandomBytes(size_t size, uint64_t seed)
{
    std::string out(size, '\0');
    TByteStream(seed).Fill(out.data(), size);
    return out;
}

uint64_t MakeRandomFile(const std::string &path, uint64_t size, uint64_t seed)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    TByteStream gen(seed);
    uint64_t h = Fnv1a64({});
    std::vector<char> buf(1 << 20);
    bool ok = true;
    for (uint64_t left = size; left && ok;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
        gen.Fill(buf.data(), n);
        h = Fnv1a64(std::string_view(buf.data(), n), h);
        ok = std::fwrite(buf.data(), 1, n, f) == n;
        left -= n;
    }
    ok = std::fclose(f) == 0 && ok;
    return ok ? h : 0;
}

int CountOpenFds()
{
    DIR *d = ::opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = ::readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(d);
    return n - 1; // the directory stream's own descriptor
}
