// A 4.5 GiB transfer proves that sizes, offsets and byte counts are 64-bit
// from end to end: upload, download and restarts beyond 4 GiB, against
// vsftpd over loopback. Slow by nature (several GiB move and are checksummed),
// so it runs only in the plain build.

#include "test_ftp_e2e_fixture.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr int64_t GiB = 1024LL * 1024 * 1024;
constexpr int64_t LargeSize = 4 * GiB + GiB / 2 + 3;

// A sparse file with data blocks around the 2 GiB and 4 GiB boundaries.
bool MakeSparseFile(const std::string &Path)
{
    int Fd = ::open(Path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (Fd < 0)
        return false;
    bool Ok = ::ftruncate(Fd, LargeSize) == 0;
    const int64_t Offsets[] = {0, 2 * GiB - 3, 4 * GiB - 5, 4 * GiB + 1000, LargeSize - 4096};
    uint64_t Seed = 1;
    for (int64_t At : Offsets) {
        const std::string Block = RandomBytes(4096, Seed++);
        Ok = Ok && ::pwrite(Fd, Block.data(), Block.size(), At) == static_cast<ssize_t>(Block.size());
    }
    return ::close(Fd) == 0 && Ok;
}

bool Truncate(const std::string &Path, int64_t Size)
{
    return ::truncate(Path.c_str(), Size) == 0;
}

} // namespace

TEST(FtpLargeFile, SlowSparseFileOfFourAndAHalfGiBWithRestartsBeyondFourGiB)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "moves about 10 GiB; runs in the plain build only";
#endif
    if (!TVsftpdServer::Available())
        GTEST_SKIP() << TVsftpdServer::Missing();
    TServer Server("vsftpd");
    TTempDir Local;
    struct statvfs Fs;
    ASSERT_EQ(::statvfs(Local.Path().c_str(), &Fs), 0);
    const int64_t Free = static_cast<int64_t>(Fs.f_bavail) * static_cast<int64_t>(Fs.f_frsize);
    if (Free < 3 * LargeSize)
        GTEST_SKIP() << "needs " << 3 * LargeSize / GiB << " GiB free on " << Local.Path() << ", has "
                     << Free / GiB << " GiB";
    ASSERT_TRUE(Server.Start());

    const std::string Source = Local.File("sparse.bin"), Copy = Local.File("copy.bin");
    ASSERT_TRUE(MakeSparseFile(Source));
    const uint64_t Sum = FileChecksum(Source);

    TSession S;
    S.Client.SetFileType(ftBinary);
    S.Client.SetPassiveMode(true);
    S.Client.SetTransferTimeout(60000);
    ASSERT_TRUE(S.LoginTo(Server));

    auto Run = [&](const std::function<bool()> &Start) -> testing::AssertionResult {
        S.Events.clear();
        if (!Start())
            return testing::AssertionFailure() << "not started";
        return S.WaitTransfer(20 * 60 * 1000);
    };

    // Whole upload and download.
    ASSERT_TRUE(Run([&] { return S.Client.Store("big.bin", Source, smReplace, 0); }));
    EXPECT_EQ(S.Client.BytesTransferred(), LargeSize);
    ASSERT_EQ(FileSize(Server.Path("big.bin")), LargeSize);
    ASSERT_TRUE(Run([&] { return S.Client.Retrieve("big.bin", Copy, rmReplace, 0); }));
    EXPECT_EQ(S.Client.BytesTransferred(), LargeSize);
    ASSERT_EQ(FileSize(Copy), LargeSize);
    EXPECT_EQ(FileChecksum(Copy), Sum);

    // The listing reports the size beyond 32 bits.
    TIpFtpFileList List;
    ASSERT_TRUE(S.List("", List));
    ASSERT_NE(Find(List, "big.bin"), nullptr) << S.LastListing;
    EXPECT_EQ(Find(List, "big.bin")->Size, LargeSize);

    // Restart the download past 4 GiB: only the rest moves.
    const int64_t Cut = 4 * GiB + 500;
    ASSERT_TRUE(Truncate(Copy, Cut));
    ASSERT_TRUE(Run([&] { return S.Client.Retrieve("big.bin", Copy, rmRestart, Cut); }));
    EXPECT_EQ(S.Client.BytesTransferred(), LargeSize - Cut);
    EXPECT_EQ(FileSize(Copy), LargeSize);
    EXPECT_EQ(FileChecksum(Copy), Sum);
    ::unlink(Copy.c_str());

    // Restart the upload past 4 GiB.
    ASSERT_TRUE(Truncate(Server.Path("big.bin"), Cut));
    ASSERT_TRUE(Run([&] { return S.Client.Store("big.bin", Source, smRestart, Cut); }));
    EXPECT_EQ(S.Client.BytesTransferred(), LargeSize - Cut);
    EXPECT_EQ(FileSize(Server.Path("big.bin")), LargeSize);
    EXPECT_EQ(FileChecksum(Server.Path("big.bin")), Sum);
}
