#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

// A temporary folder removed (with everything in it) when the object dies.
// It is created with mode 0755 so that servers running as another user can
// reach folders inside it; ChownTo() hands the tree to that user.
class TTempDir
{
public:
    explicit TTempDir(const std::string &prefix = "tolvane-test");
    ~TTempDir();
    TTempDir(const TTempDir &) = delete;
    TTempDir &operator=(const TTempDir &) = delete;

    const std::string &Path() const { return FPath; }
    // Path() + "/" + name (no check that it exists).
    std::string File(const std::string &name) const;
    // Creates Path()/name (and missing parents) with mode 0755; returns its path.
    std::string MakeDir(const std::string &name) const;
    // Recursively gives Path() (or one path inside it) to uid:gid.
    bool ChownTo(uid_t uid, gid_t gid) const;
    bool ChownTo(uid_t uid, gid_t gid, const std::string &path) const;

private:
    std::string FPath;
};

// Recursively changes owner of path and everything below it (no symlink follow).
bool ChownTree(const std::string &path, uid_t uid, gid_t gid);

// A loopback TCP port that nothing listens on or is bound to right now.
// Picked at random below the kernel's ephemeral range so that it does not
// collide with the source ports of outgoing connections.
uint16_t FreeTcpPort();
// count consecutive free ports (for a server's passive range); returns the first.
uint16_t FreeTcpPortRange(int count);

// Whole-file helpers (binary). ReadFile returns "" when the file is missing;
// FileExists tells the difference.
std::string ReadFile(const std::string &path);
bool WriteFile(const std::string &path, std::string_view data);
bool FileExists(const std::string &path);
int64_t FileSize(const std::string &path); // -1 when missing

// 64-bit FNV-1a: a cheap checksum to compare transferred files.
uint64_t Fnv1a64(std::string_view data, uint64_t seed = 0xcbf29ce484222325ULL);
uint64_t FileChecksum(const std::string &path); // streams the file; 0 when missing
// size bytes of a deterministic pseudo-random sequence (all 256 byte values,
// CR, LF and NUL included).
std::string RandomBytes(size_t size, uint64_t seed = 1);
// Writes RandomBytes(size, seed) to path in chunks and returns its checksum
// (equal to Fnv1a64 of the content); 0 on a write failure.
uint64_t MakeRandomFile(const std::string &path, uint64_t size, uint64_t seed = 1);

// Number of open file descriptors of this process (entries of /proc/self/fd).
int CountOpenFds();
