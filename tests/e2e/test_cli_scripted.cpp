// tolvane-cli against a scripted server, for what real servers do not do
// on demand: replies with terminal controls, a reply too long to print,
// slow final replies, a 227 without parentheses and a refused data
// connection; and the exact commands of a listing of another folder.

#include "e2e/test_cli_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// "ls DIR" and "nlst DIR" change into DIR and list it without an argument:
// a server may read a LIST argument as options and patterns.
TEST_F(CliBinary, ListingAnotherFolderChangesIntoItFirst)
{
    {
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures()
            .Reply("SYST", "215 UNIX Type: L8")
            .Reply("PWD", "257 \"/\" is the current folder")
            .Reply("CWD -sub dir", "250 ok")
            .Reply("TYPE A", "200 ok")
            .ExpectPasv()
            .Expect("LIST")
            .Send("150 here it comes")
            .AcceptData()
            .SendData("-rw-r--r--   1 u  g   5 Jan 01  2024 inner.txt\r\n")
            .CloseData()
            .Send("226 done")
            .Expect("QUIT")
            .Send("221 Bye");
        TCliRun R = RunCli({"-u", "bob:pw", "--", Target(Srv.Port()), "ls", "-sub dir"});
        EXPECT_EQ(R.Status, 0) << Describe(R);
        EXPECT_EQ(ListedEntry(R.Out, "inner.txt").size(), 5u) << Describe(R);
        EXPECT_TRUE(Srv.WaitDone(5000));
    }
    {
        // A folder the server refuses: its reply, and no listing of the wrong folder.
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures()
            .Expect("CWD nowhere")
            .Send("550 No such folder")
            .Expect("QUIT")
            .Send("221 Bye");
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "nlst", "nowhere"});
        EXPECT_EQ(R.Status, 1) << Describe(R);
        EXPECT_EQ(R.Err, "tolvane-cli: 550 No such folder\n") << Describe(R);
        EXPECT_TRUE(R.Out.empty()) << Describe(R);
        EXPECT_TRUE(Srv.WaitDone(5000));
    }
}

// C1 controls (0x9B is CSI on many terminals, and U+009B in UTF-8) are
// escaped like the C0 ones, in reply texts and in names; other UTF-8 stays.
TEST_F(CliBinary, ControlCharactersOfBothRangesAreEscaped)
{
    {
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures()
            .Expect("DELE x")
            .SendRaw("550 a\x9b" "2J b\xc2\x9b" "2J c\xc2\x85 d\xc3\xa9\r\n")
            .Expect("QUIT")
            .Send("221 Bye");
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "rm", "x"});
        EXPECT_EQ(R.Status, 1) << Describe(R);
        EXPECT_EQ(R.Err, "tolvane-cli: 550 a\\x9b2J b\\xc2\\x9b2J c\\xc2\\x85 d\xc3\xa9\n") << Describe(R);
    }
    {
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures()
            .Reply("TYPE A", "200 ok")
            .ExpectPasv()
            .Expect("NLST")
            .Send("150 names")
            .AcceptData()
            .SendData("plain\r\nbad\x9b]0;title\x07name\r\nutf\xc2\x9b" "1m\xe2\x9b\x84\r\n")
            .CloseData()
            .Send("226 done")
            .Expect("QUIT")
            .Send("221 Bye");
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "nlst"});
        EXPECT_EQ(R.Status, 0) << Describe(R);
        // The last name's snowman (E2 9B 84) is well-formed UTF-8 and stays.
        EXPECT_EQ(R.Out, "plain\nbad\\x9b]0;title\\x07name\nutf\\xc2\\x9b1m\xe2\x9b\x84\n") << Describe(R);
    }
}

// Bidi controls and invisible characters are escaped like C1 ones: a name
// must not show as another ("bidi\u202Etxt.exe" as "bidiexe.txt").
TEST_F(CliBinary, NamesThatReorderOrHideTextAreEscaped)
{
    TScriptedFtpServer Srv;
    Srv.Login("bob", "pw").NoFeatures().Reply("TYPE A", "200 ok").ExpectPasv().Expect("NLST").Send("150 names").AcceptData()
        .SendData("bidi\xe2\x80\xaetxt.exe\r\nzero\xe2\x80\x8bwidth\xef\xbb\xbf\r\niso\xe2\x81\xa6late\r\n")
        .CloseData().Send("226 done").Expect("QUIT").Send("221 Bye");
    TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "nlst"});
    EXPECT_EQ(R.Status, 0) << Describe(R);
    EXPECT_EQ(R.Out, "bidi\\xe2\\x80\\xaetxt.exe\nzero\\xe2\\x80\\x8bwidth\\xef\\xbb\\xbf\niso\\xe2\\x81\\xa6late\n")
        << Describe(R);
}

// "--ssl" that goes on in the clear says so even without -v; a password
// sent with quote is masked in the trace whatever its case.
TEST_F(CliBinary, ClearTextAfterARefusedAuthTlsIsSaidAndQuotedPasswordsAreMasked)
{
    for (bool Ssl : {true, false}) {
        TScriptedFtpServer Srv;
        Srv.Send("220 ready");
        if (Ssl)
            Srv.Expect("AUTH TLS").Send("500 no TLS here");
        Srv.Reply("USER bob", "331 pw").Reply("PASS pw", "230 in").Reply("FEAT", "211 No features").Reply("pass sekrit", "230 again")
            .Expect("QUIT").Send("221 Bye");
        TCliRun R = RunCli({Ssl ? "--ssl" : "-v", "-u", "bob:pw", Target(Srv.Port()), "quote", "pass sekrit"});
        EXPECT_EQ(R.Status, 0) << Describe(R);
        if (Ssl) {
            EXPECT_EQ(R.Err, "Warning: --ssl: the server refused AUTH TLS; this session, the password included, is "
                             "not encrypted\n");
        } else {
            EXPECT_NE(R.Err.find("> PASS ****\n"), std::string::npos) << Describe(R);
        }
        EXPECT_EQ(R.Err.find("sekrit"), std::string::npos) << Describe(R);
    }
}

// A quote reply above the print limit: the lines that fit, the closing
// line, a note on standard error and a failure status.
TEST_F(CliBinary, QuoteReplyCutAtTheLimitSaysSo)
{
    std::string Reply = "214-The following lines are many\r\n";
    for (int I = 0; I < 100000; ++I)
        Reply += " help line " + std::to_string(100000 + I) + " with some text after it to fill\r\n";
    Reply += "214 End of help\r\n";
    TScriptedFtpServer Srv;
    Srv.Login("bob", "pw").NoFeatures().Expect("HELP").SendRaw(Reply).Expect("QUIT").Send("221 Bye");
    TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "quote", "HELP"});
    EXPECT_NE(R.Status, 0) << Describe(R);
    EXPECT_EQ(R.Err, "tolvane-cli: reply cut at 1000000 bytes\n") << Describe(R);
    auto Out = Lines(R.Out);
    ASSERT_GE(Out.size(), 2u);
    EXPECT_EQ(Out.front(), "214-The following lines are many");
    EXPECT_EQ(Out.back(), "214 End of help");
    EXPECT_LE(R.Out.size(), 1000000u + Out.back().size() + 1);
    EXPECT_GT(R.Out.size(), 990000u);

    // A reply just under the limit is printed whole and succeeds.
    TScriptedFtpServer Small;
    Small.Login("bob", "pw").NoFeatures().Expect("HELP").SendRaw("214-a\r\n b\r\n214 c\r\n").Expect("QUIT").Send("221 Bye");
    TCliRun Whole = RunCli({"-u", "bob:pw", Target(Small.Port()), "quote", "HELP"});
    EXPECT_EQ(Whole.Status, 0) << Describe(Whole);
    EXPECT_EQ(Whole.Out, "214-a\n b\n214 c\n");
}

// The time-out measures silence: data that moves for most of the limit and
// a final reply that takes most of the limit after the data connection
// ended are no time-out, while silence of the whole limit is.
TEST_F(CliBinary, TimeoutRestartsWhenTheDataConnectionEnds)
{
    {
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures().Reply("TYPE I", "200 ok").ExpectPasv().Expect("RETR f.bin").Send("150 go").AcceptData();
        std::string Sent;
        for (int I = 0; I < 9; ++I) {
            const std::string Piece(1000, char('a' + I));
            Srv.SendData(Piece).Pause(200);
            Sent += Piece;
        }
        Srv.CloseData().Pause(1200).Send("226 done").Expect("QUIT").Send("221 Bye");
        TTempDir Local("tolvane-cli-local");
        TCliRun R = RunCli({"-u", "bob:pw", "--timeout", "2000", Target(Srv.Port()), "get", "f.bin",
                            Local.File("f.bin")});
        EXPECT_EQ(R.Status, 0) << Describe(R);
        EXPECT_EQ(ReadFile(Local.File("f.bin")), Sent);
    }
    {
        // The final reply never comes: the limit after the data's end applies.
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures()
            .Reply("TYPE I", "200 ok")
            .ExpectPasv()
            .Expect("RETR f.bin")
            .Send("150 go")
            .AcceptData()
            .SendData("all")
            .CloseData()
            .Pause(4000);
        TTempDir Local("tolvane-cli-local");
        TCliRun R = RunCli({"-u", "bob:pw", "--timeout", "500", Target(Srv.Port()), "get", "f.bin",
                            Local.File("f.bin")});
        EXPECT_EQ(R.Status, 4) << Describe(R);
        EXPECT_EQ(R.Err, "tolvane-cli: Timed out waiting for the server\n") << Describe(R);
        EXPECT_LT(R.Seconds, 3.5) << Describe(R);
    }
}

// A 227 whose numbers stand without parentheses is read as well; a refused
// data connection names the address it tried.
TEST_F(CliBinary, PassiveRepliesWithoutParenthesesAndRefusedDataConnections)
{
    {
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures()
            .Reply("TYPE I", "200 ok")
            .ExpectPasv("227 Entering Passive Mode {addr}")
            .Expect("RETR f.bin")
            .Send("150 go")
            .AcceptData()
            .SendData("bare numbers")
            .CloseData()
            .Send("226 done")
            .Expect("QUIT")
            .Send("221 Bye");
        TTempDir Local("tolvane-cli-local");
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "get", "f.bin", Local.File("f.bin")});
        EXPECT_EQ(R.Status, 0) << Describe(R);
        EXPECT_EQ(ReadFile(Local.File("f.bin")), "bare numbers");
    }
    {
        TScriptedFtpServer Srv;
        Srv.Login("bob", "pw").NoFeatures().Reply("TYPE I", "200 ok").Expect("PASV").RefusePassive().Pause(3000);
        TTempDir Local("tolvane-cli-local");
        TCliRun R = RunCli({"-u", "bob:pw", Target(Srv.Port()), "get", "f.bin", Local.File("f.bin")});
        EXPECT_EQ(R.Status, 3) << Describe(R);
        EXPECT_EQ(R.Err.rfind("tolvane-cli: data connection to 127.0.0.1 port ", 0), 0u) << Describe(R);
        EXPECT_NE(R.Err.find(" failed: Connection refused\n"), std::string::npos) << Describe(R);
        EXPECT_TRUE(OneLineMessage(R.Err)) << Describe(R);
    }
}
