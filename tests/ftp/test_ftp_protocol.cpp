// Protocol text handling of the FTP client that needs no socket: reply codes,
// the 227 and 257 texts, the PORT argument and multi-line reply assembly.

#include <gtest/gtest.h>

#include "ftp/IpFtpProtocol.h"

TEST(FtpProtocol, PathSeparatorsConvertBothWaysAndLeaveOtherBytesAlone)
{
    EXPECT_EQ(ToUnixPath("\\pub\\in coming\\f.txt"), "/pub/in coming/f.txt");
    EXPECT_EQ(ToDosPath("/pub/in coming/f.txt"), "\\pub\\in coming\\f.txt");
    std::string odd("a\\b\xff\x01/c", 7);
    EXPECT_EQ(ToUnixPath(odd), std::string("a/b\xff\x01/c", 7));
    EXPECT_EQ(ToDosPath(ToUnixPath(odd)), std::string("a\\b\xff\x01\\c", 7));
    EXPECT_EQ(ToUnixPath(""), "");
}

TEST(FtpProtocol, ReplyCodeIsThreeDigitsOrZero)
{
    EXPECT_EQ(FtpReplyCode("230 OK\r\n"), 230);
    EXPECT_EQ(FtpReplyCode("220-Welcome\r\n"), 220);
    EXPECT_EQ(FtpReplyCode("999"), 999);
    EXPECT_EQ(FtpReplyCode("\r\n"), 0);
    EXPECT_EQ(FtpReplyCode("23"), 0);
    EXPECT_EQ(FtpReplyCode("+23 x"), 0);
    EXPECT_EQ(FtpReplyCode(" 23 x"), 0);
    EXPECT_EQ(FtpReplyCode("2x3 x"), 0);
    EXPECT_EQ(FtpReplyCode(std::string("\0\xff\xfe garbage", 12)), 0);
}

TEST(FtpProtocol, PasvTextIsBetweenParenthesesWithFallbacks)
{
    EXPECT_EQ(FtpPasvText("227 Entering Passive Mode (192,168,1,20,19,137).\r\n"), "192,168,1,20,19,137");
    // Without ")" the text is empty.
    EXPECT_EQ(FtpPasvText("227 Entering Passive Mode (1,2,3,4,5,6\r\n"), "");
    EXPECT_EQ(FtpPasvText("227 ) (1,2,3,4,5,6)"), "1,2,3,4,5,6");
    // Parentheses that hold something else still refuse, even with numbers outside them.
    EXPECT_EQ(FtpPasvText("227 (port follows) 127,0,0,1,4,1\r\n"), "port follows");
}

TEST(FtpProtocol, PasvTextWithoutParenthesesIsTheFirstRunOfSixNumbers)
{
    EXPECT_EQ(FtpPasvText("227 Entering Passive Mode 127,0,0,1,4,1\r\n"), "127,0,0,1,4,1");
    EXPECT_EQ(FtpPasvText("227 =1,2,3,4,5,6)\r\n"), "1,2,3,4,5,6");
    EXPECT_EQ(FtpPasvText("227 Passive 10, 0, 0, 7, 195, 80."), "10, 0, 0, 7, 195, 80");
    // Shorter and longer runs are not addresses; the search goes on behind them.
    EXPECT_EQ(FtpPasvText("227 v1,2 then 1,2,3,4,5,6,7 then 9,8,7,6,5,4"), "9,8,7,6,5,4");
    for (const char *None : {"227 Entering Passive Mode\r\n", "227 1,2,3,4,5", "227 1,2,3,4,5,", "",
                             "227 1,2,3,4,5,6,7"}) {
        EXPECT_EQ(FtpPasvText(None), "") << None;
    }
    // What is found still has to be six byte values to be used.
    std::string A;
    EXPECT_FALSE(FtpPasvAddress(FtpPasvText("227 Mode 127,0,0,1,4,1000"), A));
    EXPECT_TRUE(FtpPasvAddress(FtpPasvText("227 Mode 127,0,0,1,4,1"), A));
    EXPECT_EQ(A, "127.0.0.1:1025");
}

TEST(FtpProtocol, PasvAddressAcceptsOnlySixByteValues)
{
    std::string a;
    ASSERT_TRUE(FtpPasvAddress("192,168,1,20,19,137", a));
    EXPECT_EQ(a, "192.168.1.20:5001");
    ASSERT_TRUE(FtpPasvAddress("127,0,0,1,0,0", a));
    EXPECT_EQ(a, "127.0.0.1:0");
    ASSERT_TRUE(FtpPasvAddress("127, 0, 0, 1, 255, 255", a));
    EXPECT_EQ(a, "127.0.0.1:65535");

    for (const char *bad : {"", "1,2,3,4,5", "1,2,3,4,5,6,7", "1,2,3,4,256,0", "1,2,3,4,0,999",
                            "a,b,c,d,1,2", "1,2,3,4,,6", "1,2,3,4,-1,6", "1,2,3,4,5,6x", "0x7f,0,0,1,1,1",
                            "1,2,3,4,0001,6"}) {
        a = "unchanged";
        EXPECT_FALSE(FtpPasvAddress(bad, a)) << bad;
        EXPECT_EQ(a, "") << bad;
    }
    EXPECT_FALSE(FtpPasvAddress(std::string(1 << 20, ','), a));
}

TEST(FtpProtocol, PortArgumentSplitsThePortIntoHighAndLowByte)
{
    EXPECT_EQ(FtpPortArgument("127.0.0.1", 5001), "127,0,0,1,19,137");
    EXPECT_EQ(FtpPortArgument("10.20.30.40", 0), "10,20,30,40,0,0");
    EXPECT_EQ(FtpPortArgument("10.20.30.40", 65535), "10,20,30,40,255,255");
    EXPECT_EQ(FtpPortArgument("10.20.30.40", 256), "10,20,30,40,1,0");
}

TEST(FtpProtocol, QuotedPathNeedsTwoQuotes)
{
    EXPECT_EQ(FtpQuotedPath("257 \"/pub/in coming\" is current directory.\r\n"), "/pub/in coming");
    EXPECT_EQ(FtpQuotedPath("257 \"/\"\r\n"), "/");
    EXPECT_EQ(FtpQuotedPath("257 \"\" empty\r\n"), "");
    EXPECT_EQ(FtpQuotedPath("257 \"/unterminated\r\n"), "");
    EXPECT_EQ(FtpQuotedPath("257 no quotes\r\n"), "");
}

TEST(FtpReplyAssembly, SingleLineRepliesCompleteAtOnce)
{
    TIpFtpReplyAssembler r;
    ASSERT_TRUE(r.AddLine("230 OK\r\n", 230));
    EXPECT_EQ(r.Text(), "230 OK\r\n");
    EXPECT_EQ(r.Code(), 230);
    // A bare CR LF is a complete reply with code 0; so is a short line.
    ASSERT_TRUE(r.AddLine("\r\n", 0));
    EXPECT_EQ(r.Text(), "\r\n");
    EXPECT_EQ(r.Code(), 0);
    ASSERT_TRUE(r.AddLine("22-", 0));
    EXPECT_FALSE(r.MultiLine());
}

TEST(FtpReplyAssembly, MultiLineReplyClosesOnlyOnCodeAndBlank)
{
    TIpFtpReplyAssembler r;
    EXPECT_FALSE(r.AddLine("220-Welcome\r\n", 220));
    EXPECT_TRUE(r.MultiLine());
    EXPECT_FALSE(r.AddLine("more\r\n", 0));
    EXPECT_FALSE(r.AddLine("220-still open\r\n", 220));
    EXPECT_FALSE(r.AddLine("221 other code\r\n", 221));
    EXPECT_FALSE(r.AddLine("220\r\n", 220));
    ASSERT_TRUE(r.AddLine("220 Ready\r\n", 220));
    EXPECT_EQ(r.Text(), "220-Welcome\r\nmore\r\n220-still open\r\n221 other code\r\n220\r\n");
    EXPECT_EQ(r.Code(), 220);
    EXPECT_FALSE(r.MultiLine());
    // The next line starts a new reply.
    ASSERT_TRUE(r.AddLine("200 next\r\n", 200));
    EXPECT_EQ(r.Text(), "200 next\r\n");
}

TEST(FtpReplyAssembly, GarbageWithDashDoesNotOpenABlockAndResetDropsOne)
{
    TIpFtpReplyAssembler r;
    ASSERT_TRUE(r.AddLine(std::string("\xff\x00\x01-junk\r\n", 9), 0));
    EXPECT_FALSE(r.MultiLine());

    EXPECT_FALSE(r.AddLine("211-Features\r\n", 211));
    EXPECT_FALSE(r.AddLine(" SIZE\r\n", 0));
    r.Reset();
    EXPECT_FALSE(r.MultiLine());
    ASSERT_TRUE(r.AddLine("220 fresh\r\n", 220));
    EXPECT_EQ(r.Text(), "220 fresh\r\n");
}

TEST(FtpReplyAssembly, EndlessContinuationLinesStayBounded)
{
    TIpFtpReplyAssembler r;
    EXPECT_FALSE(r.AddLine("211-start\r\n", 211));
    const std::string line(1000, 'x');
    for (int i = 0; i < 5000; ++i)
        ASSERT_FALSE(r.AddLine(line + "\r\n", 0));
    EXPECT_LE(r.Text().size(), TIpFtpReplyAssembler::MaxReplyText);
    EXPECT_GT(r.DroppedLines(), 0u);
    ASSERT_TRUE(r.AddLine("211 end\r\n", 211));
    EXPECT_EQ(r.Text().compare(0, 11, "211-start\r\n"), 0);
    EXPECT_EQ(r.Code(), 211);
}
