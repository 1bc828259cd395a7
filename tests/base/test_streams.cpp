// Streams: file streams with 64-bit offsets and clear open errors, string
// and null streams.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/IpStreams.h"
#include "support/TestPaths.h"

TEST(FileStream, CreateWriteReopenAndRead)
{
    TTempDir Dir;
    const std::string Name = Dir.File("a.bin");
    {
        TFileStream F(Name, fmCreate);
        const std::string Data("line1\r\nline2\0\xFF", 14);
        F.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
        EXPECT_EQ(F.Size(), 14);
        EXPECT_EQ(F.Position(), 14);
        F.SetPosition(0);
        char Buf[5];
        F.ReadBuffer(Buf, 5);
        EXPECT_EQ(std::string(Buf, 5), "line1");
    }
    {
        TFileStream F(Name, fmOpenRead);
        EXPECT_EQ(F.Size(), 14);
        char Buf[32];
        EXPECT_EQ(F.Read(Buf, sizeof(Buf)), 14);
        EXPECT_EQ(F.Read(Buf, sizeof(Buf)), 0); // end of file
        EXPECT_EQ(F.Seek(-2, soEnd), 12);
        EXPECT_EQ(F.Seek(1, soCurrent), 13);
        EXPECT_EQ(F.Read(Buf, 1), 1);
        EXPECT_EQ(Buf[0], '\xFF');
        // A read-only stream refuses to write, with a message that says so.
        try {
            F.WriteBuffer("x", 1);
            FAIL() << "write on a read-only stream succeeded";
        } catch (const EIpStreamError &E) {
            EXPECT_EQ(E.SysError(), EBADF);
            EXPECT_NE(std::string(E.what()).find("Stream write error"), std::string::npos);
            EXPECT_NE(std::string(E.what()).find(Name), std::string::npos);
        }
        EXPECT_THROW(F.Seek(-1, soBeginning), EIpStreamError);
        // Asking for more than is there is an error, not a short success.
        F.SetPosition(10);
        EXPECT_THROW(F.ReadBuffer(Buf, 10), EIpStreamError);
    }
    {
        // Read-write keeps the content; create truncates.
        TFileStream F(Name, fmOpenReadWrite);
        F.Seek(0, soEnd);
        F.WriteBuffer("!", 1);
        EXPECT_EQ(F.Size(), 15);
        F.SetSize(3);
        EXPECT_EQ(F.Size(), 3);
        EXPECT_EQ(F.Position(), 3);
    }
    EXPECT_EQ(ReadFile(Name), "lin");
    { TFileStream F(Name, fmCreate); }
    EXPECT_EQ(FileSize(Name), 0);
}

TEST(FileStream, PositionsBeyondFourGiB)
{
    TTempDir Dir;
    const std::string Name = Dir.File("sparse.bin");
    const int64_t Big = (int64_t(5) << 30) + 7; // 5 GiB + 7
    TFileStream F(Name, fmCreate);
    try {
        F.SetSize(Big); // ftruncate: sparse, no disk space used
    } catch (const EIpStreamError &E) {
        if (E.SysError() == EFBIG || E.SysError() == EINVAL)
            GTEST_SKIP() << "temporary file system refuses large files: " << E.what();
        throw;
    }
    EXPECT_EQ(F.Size(), Big);
    EXPECT_EQ(F.Seek(0, soEnd), Big);
    EXPECT_EQ(F.Seek(-3, soCurrent), Big - 3);
    F.WriteBuffer("END", 3);
    EXPECT_EQ(F.Position(), Big);
    F.SetPosition(Big - 3);
    char Buf[3];
    F.ReadBuffer(Buf, 3);
    EXPECT_EQ(std::string(Buf, 3), "END");
    // Just past the 32-bit boundary, where a truncated offset would land at 0.
    const int64_t Past4G = (int64_t(1) << 32) + 1;
    F.SetPosition(Past4G);
    F.WriteBuffer("X", 1);
    F.SetPosition(1);
    F.ReadBuffer(Buf, 1);
    EXPECT_EQ(Buf[0], '\0');
    F.SetPosition(Past4G);
    F.ReadBuffer(Buf, 1);
    EXPECT_EQ(Buf[0], 'X');
    EXPECT_EQ(FileSize(Name), Big);
}

TEST(FileStream, OpenFailuresNameTheFileAndTheReason)
{
    TTempDir Dir;
    const std::string Missing = Dir.File("missing.txt");
    try {
        TFileStream F(Missing, fmOpenRead);
        FAIL() << "opened a missing file";
    } catch (const EIpFOpenError &E) {
        EXPECT_EQ(std::string(E.what()), "Cannot open file \"" + Missing + "\". No such file or directory");
        EXPECT_EQ(E.SysError(), ENOENT);
    }
    const std::string InMissingDir = Dir.File("no/such/dir/x");
    try {
        TFileStream F(InMissingDir, fmCreate);
        FAIL() << "created a file in a missing folder";
    } catch (const EIpFCreateError &E) {
        EXPECT_EQ(std::string(E.what()), "Cannot create file \"" + InMissingDir + "\". No such file or directory");
    }
    // A folder is not a file, even for reading.
    try {
        TFileStream F(Dir.Path(), fmOpenRead);
        FAIL() << "opened a folder as a file";
    } catch (const EIpFOpenError &E) {
        EXPECT_EQ(E.SysError(), EISDIR);
        EXPECT_NE(std::string(E.what()).find("Is a directory"), std::string::npos);
    }
    // A name with a NUL would open a different file.
    EXPECT_THROW(TFileStream(Dir.File("a") + std::string(1, '\0') + "b", fmCreate), EIpFCreateError);
    EXPECT_FALSE(FileExists(Dir.File("a")));
}

namespace {

// Message of the failure to open Name for reading ("" when it opened),
// as an ordinary user: root would read the file regardless of its mode, so
// then the attempt runs in a child that has given up root.
std::string OpenFailureAsUser(const std::string &Name, int *SysError)
{
    auto Attempt = [&Name](int *Err) -> std::string {
        try {
            TFileStream F(Name, fmOpenRead);
            return "";
        } catch (const EIpFOpenError &E) {
            *Err = E.SysError();
            return E.what();
        }
    };
    if (::geteuid() != 0)
        return Attempt(SysError);
    int Fds[2];
    if (::pipe(Fds) != 0)
        return "pipe failed";
    const pid_t Pid = ::fork();
    if (Pid == 0) {
        ::close(Fds[0]);
        int Err = 0;
        std::string Msg = "cannot drop root";
        if (::setgid(65534) == 0 && ::setuid(65534) == 0)
            Msg = Attempt(&Err);
        const std::string Out = std::to_string(Err) + "|" + Msg;
        ssize_t W = ::write(Fds[1], Out.data(), Out.size());
        (void)W;
        ::_exit(0);
    }
    ::close(Fds[1]);
    std::string In;
    char Buf[512];
    ssize_t N;
    while ((N = ::read(Fds[0], Buf, sizeof(Buf))) > 0)
        In.append(Buf, static_cast<size_t>(N));
    ::close(Fds[0]);
    int Status = 0;
    ::waitpid(Pid, &Status, 0);
    const size_t Bar = In.find('|');
    if (Bar == std::string::npos)
        return "no answer from the child";
    *SysError = std::atoi(In.substr(0, Bar).c_str());
    return In.substr(Bar + 1);
}

} // namespace

TEST(FileStream, UnreadableFileGivesPermissionDenied)
{
    TTempDir Dir;
    const std::string Locked = Dir.File("locked.txt");
    ASSERT_TRUE(WriteFile(Locked, "secret"));
    ASSERT_EQ(::chmod(Locked.c_str(), 0), 0);
    int Err = 0;
    const std::string Msg = OpenFailureAsUser(Locked, &Err);
    EXPECT_EQ(Msg, "Cannot open file \"" + Locked + "\". Permission denied");
    EXPECT_EQ(Err, EACCES);
}

TEST(StringStream, GrowsZeroFillsAndRefusesNegativePositions)
{
    TStringStream S("abc");
    EXPECT_EQ(S.Size(), 3);
    EXPECT_EQ(S.Position(), 0);
    EXPECT_EQ(S.ReadString(2), "ab");
    S.WriteString("XYZ"); // overwrites 'c' and grows
    EXPECT_EQ(S.DataString(), "abXYZ");
    S.Seek(2, soEnd);
    S.WriteString("!");
    EXPECT_EQ(S.DataString(), std::string("abXYZ\0\0!", 8));
    EXPECT_THROW(S.Seek(-9, soCurrent), EIpStreamError);
    S.SetPosition(6);
    char B[4];
    EXPECT_THROW(S.ReadBuffer(B, 4), EIpStreamError);
    S.SetSize(2);
    EXPECT_EQ(S.DataString(), "ab");
    EXPECT_EQ(S.Position(), 2);
    EXPECT_EQ(S.Read(B, 4), 0);
    S.SetPosition(100);
    EXPECT_EQ(S.Read(B, 4), 0);
    EXPECT_EQ(S.ReadString(4), "");
}

TEST(StringStream, CopyFromMovesWholeOrPartialStreams)
{
    std::string Big;
    for (int I = 0; I < 200000; ++I)
        Big += static_cast<char>(I * 7);
    TStringStream Src(Big);
    Src.SetPosition(123);
    TStringStream Dst;
    EXPECT_EQ(Dst.CopyFrom(Src, 0), static_cast<int64_t>(Big.size())); // 0 = everything from the start
    EXPECT_EQ(Dst.DataString(), Big);
    Src.SetPosition(10);
    TStringStream Part;
    EXPECT_EQ(Part.CopyFrom(Src, 5), 5);
    EXPECT_EQ(Part.DataString(), Big.substr(10, 5));
    Src.SetPosition(Src.Size() - 2);
    EXPECT_THROW(Part.CopyFrom(Src, 5), EIpStreamError);
}

TEST(NullStream, CountsWhatIsWrittenAndYieldsNothing)
{
    TNullStream N;
    N.WriteBuffer("abc", 3);
    EXPECT_EQ(N.Size(), 3);
    EXPECT_EQ(N.Position(), 3);
    char B[4];
    EXPECT_EQ(N.Read(B, 4), 0);
    N.SetPosition(int64_t(6) << 30);
    N.WriteBuffer("x", 1);
    EXPECT_EQ(N.Size(), (int64_t(6) << 30) + 1);
    EXPECT_THROW(N.Seek(-1, soBeginning), EIpStreamError);
}
