// What a transfer does with local files when something goes wrong on this
// side: a download that cannot be written, an upload that cannot be read,
// a finished download that cannot be moved over its target, a restart the
// server refuses. The transfer fails with the system's reason, the client
// is idle again and no file the user had is lost.

#include "test_ftp_fixture.h"

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

// The file-size limit of this process, lowered while the object lives;
// SIGXFSZ ignored so that a write past it fails with EFBIG instead.
class TFileSizeLimit
{
public:
    explicit TFileSizeLimit(rlim_t Bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &FSaved);
        FOldHandler = ::signal(SIGXFSZ, SIG_IGN);
        rlimit Lower = FSaved;
        Lower.rlim_cur = Bytes;
        FOk = ::setrlimit(RLIMIT_FSIZE, &Lower) == 0;
    }
    ~TFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &FSaved);
        ::signal(SIGXFSZ, FOldHandler);
    }
    bool Ok() const { return FOk; }

private:
    rlimit FSaved{};
    sighandler_t FOldHandler = SIG_DFL;
    bool FOk = false;
};

} // namespace

TEST_F(TTransferTest, ADownloadThatCannotBeWrittenFailsAtOnceWithTheSystemsReason)
{
    const std::string Data = RandomBytes(300 * 1024, 31);
    struct TCase
    {
        const char *Name;
        std::string Local;
        TIpFtpRetrieveMode Mode;
        const char *Reason;
        int Code;
    };
    const std::string Keep = Dir.File("keep.bin");
    const TCase Cases[] = {{"over the file-size limit", Keep, rmReplace, "File too large", EFBIG},
                           {"into a full device", "/dev/full", rmAppend, "No space left on device", ENOSPC}};
    ScriptLogin(Peer);
    ASSERT_TRUE(LoginTo(R, Peer));
    for (const TCase &C : Cases) {
        SCOPED_TRACE(C.Name);
        ASSERT_TRUE(WriteFile(Keep, "precious"));
        R.Events.clear();
        R.Errors.clear();
        Peer.Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData()
            .SendData(Data).Expect("ABOR").CloseData().Send("426 Transfer aborted").Send("226 ABOR ok");
        {
            TFileSizeLimit Limit(100 * 1024);
            ASSERT_TRUE(Limit.Ok());
            ASSERT_TRUE(R.Client.Retrieve("f", C.Local, C.Mode, 0));
            // Ended at once, before the server is done: not stuck waiting
            // for a close that a full receive buffer never lets through.
            ASSERT_EVENTUALLY(R.Client.FtpState() == stReady, 5000) << R.Joined();
        }
        ASSERT_FALSE(R.Errors.empty()) << R.Joined();
        EXPECT_NE(R.Errors.back().find(C.Reason), std::string::npos) << R.Errors.back();
        EXPECT_TRUE(R.Has("sockerror " + std::to_string(C.Code))) << R.Joined();
        EXPECT_TRUE(IpFtpIsLocalError(C.Code));
        EXPECT_EQ(R.Client.DataSocket(), INVALID_SOCKET);
        EXPECT_EQ(R.Client.TransferStream(), nullptr);
        ASSERT_TRUE(Peer.WaitDone());
        EXPECT_TRUE(NextCommandGetsItsOwnAnswer(R, Peer));
        EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
        EXPECT_EQ(R.Client.FtpState(), stReady);
        EXPECT_EQ(ReadFile(Keep), "precious");
        EXPECT_EQ(DirEntries(Dir.Path()), std::vector<std::string>{"keep.bin"});
        EXPECT_EQ(R.Client.SocketList()->Count(), 1);
    }
}

TEST_F(TTransferTest, AnUploadWhoseFileCannotBeReadFailsInsteadOfStalling)
{
    // Linux gives EIO for reading the unmapped first page of a process's
    // memory, a regular file by its type.
    const std::string Unreadable = "/proc/self/mem";
    struct stat St;
    ASSERT_EQ(::stat(Unreadable.c_str(), &St), 0);
    ASSERT_TRUE(S_ISREG(St.st_mode));
    // The server hears of it while the data connection is open, and then
    // sees it reset: never an end that it could take for the whole file.
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("STOR mem").Send("150 go").AcceptData()
        .Expect("ABOR").ReceiveDataUntilReset().Send("426 Transfer aborted").Send("226 ABOR ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    ASSERT_TRUE(R.Client.Store("mem", Unreadable, smReplace, 0));
    ASSERT_EVENTUALLY(!R.Errors.empty(), 5000) << R.Joined();
    EXPECT_NE(R.Errors.back().find("Input/output error"), std::string::npos) << R.Errors.back();
    EXPECT_TRUE(R.Has("sockerror " + std::to_string(EIO))) << R.Joined();
    ASSERT_TRUE(Peer.WaitDone());
    EXPECT_TRUE(NextCommandGetsItsOwnAnswer(R, Peer));
    EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_EQ(R.Client.TransferStream(), nullptr);
    EXPECT_EQ(R.Client.SocketList()->Count(), 1);
}

TEST_F(TTransferTest, AFinishedDownloadThatCannotReplaceItsTargetIsKeptAndNamed)
{
    const std::string Data = RandomBytes(5000, 32);
    const std::string Local = Dir.File("target");
    ASSERT_TRUE(WriteFile(Local, "old"));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("RETR f").Send("150 go").AcceptData()
        .Mark("started").Hold().SendData(Data).CloseData().Send("226 ok");
    ASSERT_TRUE(LoginTo(R, Peer));
    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("f", Local, rmReplace, 0));
    ASSERT_EVENTUALLY(Peer.Reached("started"), 5000);
    // Meanwhile the target has become a folder with something in it: no
    // file can be renamed over that.
    ASSERT_EQ(::unlink(Local.c_str()), 0);
    Dir.MakeDir("target/inside");
    Peer.Release();
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(!R.Errors.empty() && R.Client.FtpState() == stReady, 5000) << R.Joined();
    RunFor(200);
    EXPECT_FALSE(R.Has("fscTransferOK")) << R.Joined();
    const std::string &Error = R.Errors.back();
    EXPECT_NE(Error.find("Cannot replace file"), std::string::npos) << Error;
    auto Names = DirEntries(Dir.Path());
    Names.erase(std::remove(Names.begin(), Names.end(), "target"), Names.end());
    ASSERT_EQ(Names.size(), 1u);
    // The error names the file that holds the download, and it is whole.
    EXPECT_NE(Error.find(Dir.File(Names[0])), std::string::npos) << Error;
    EXPECT_EQ(ReadFile(Dir.File(Names[0])), Data);
}

TEST_F(TTransferTest, ARefusedRestartLeavesTheLocalFileUntouched)
{
    const std::string Local = Dir.File("r.txt");
    ASSERT_TRUE(WriteFile(Local, "0123456789"));
    ScriptLogin(Peer).Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("REST 4")
        .Send("502 REST not implemented");
    ASSERT_TRUE(LoginTo(R, Peer));
    ASSERT_TRUE(R.Client.Retrieve("r.txt", Local, rmRestart, 4));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("error 502"), 5000) << R.Joined();
    RunFor(200);
    EXPECT_EQ(R.Client.FtpState(), stReady);
    EXPECT_EQ(ReadFile(Local), "0123456789");
    // A restart that fails after part of the rest arrived keeps the bytes
    // behind it: only a completed restart cuts the file at its new end.
    Peer.Expect("TYPE I").Send("200 ok").ExpectPasv().Expect("REST 4").Send("350 ok").Expect("RETR r.txt")
        .Send("150 go").AcceptData().SendData("ab").CloseData().Pause(200).Send("426 Aborted");
    R.Events.clear();
    ASSERT_TRUE(R.Client.Retrieve("r.txt", Local, rmRestart, 4));
    ASSERT_TRUE(Peer.WaitDone());
    ASSERT_EVENTUALLY(R.Has("error 426"), 5000) << R.Joined();
    RunFor(200);
    EXPECT_FALSE(R.Has("fscTransferOK"));
    EXPECT_EQ(ReadFile(Local), "0123ab6789");
}
