// Real servers on ::1: a listing, an upload and a download, passive (EPSV)
// and active (EPRT), all over IPv6.

#include "test_ftp_e2e_fixture.h"

#include <tuple>

namespace {

using TParam = std::tuple<std::string, bool>; // server kind, passive

class FtpIpv6Test : public ::testing::TestWithParam<TParam>
{
};

} // namespace

TEST_P(FtpIpv6Test, ListsUploadsAndDownloadsOverIpv6)
{
    const std::string Kind = std::get<0>(GetParam());
    if (!TServer::Available(Kind))
        GTEST_SKIP() << TServer::Missing(Kind);
    TServer Server(Kind, {}, {}, false, true);
    ASSERT_TRUE(Server.Start());
    TSession S;
    TTempDir Local;
    S.Client.SetFileType(ftBinary);
    S.Client.SetPassiveMode(std::get<1>(GetParam()));
    S.Client.SetTransferTimeout(30000);
    Server.Put("there.txt", "from the server\n");
    ASSERT_TRUE(S.LoginTo(Server, "::1"));
    EXPECT_EQ(IpAddrText(S.Client.FindSocket(S.Client.ControlSocket(), true)->RemoteAddr()), "::1");

    const std::string Data = RandomBytes(200 * 1024, 9);
    ASSERT_TRUE(WriteFile(Local.File("up.bin"), Data));
    S.Events.clear();
    ASSERT_TRUE(S.Client.Store("up.bin", Local.File("up.bin"), smReplace, 0));
    ASSERT_TRUE(S.WaitTransfer()) << Server.Log();
    EXPECT_EQ(ReadFile(Server.Path("up.bin")), Data);

    S.Events.clear();
    ASSERT_TRUE(S.Client.Retrieve("there.txt", Local.File("there.txt"), rmReplace, 0));
    ASSERT_TRUE(S.WaitTransfer()) << Server.Log();
    EXPECT_EQ(ReadFile(Local.File("there.txt")), "from the server\n");

    TIpFtpFileList List;
    ASSERT_TRUE(S.List("", List)) << Server.Log();
    EXPECT_NE(Find(List, "up.bin"), nullptr);
    EXPECT_NE(Find(List, "there.txt"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpIpv6Test,
                         ::testing::Combine(::testing::Values("pyftpd", "vsftpd"), ::testing::Bool()),
                         [](const testing::TestParamInfo<TParam> &I) {
                             return std::get<0>(I.param) + (std::get<1>(I.param) ? "_passive" : "_active");
                         });
