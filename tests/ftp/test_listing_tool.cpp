// The tolvane-listing command-line tool, run as a separate program.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/TestPaths.h"

namespace {

const std::string Tool = TOLVANE_BINARY_DIR "/src/tools/tolvane-listing";

struct TRun
{
    int Status = -1;
    std::string Out;
    std::string Err;
};

std::string Quoted(const std::string &S)
{
    std::string Q = "'";
    for (char C : S)
        Q += C == '\'' ? std::string("'\\''") : std::string(1, C);
    return Q + "'";
}

// Runs the tool with Args (already quoted) and optional standard input.
TRun RunTool(const TTempDir &Dir, const std::string &Args, const std::string *Input = nullptr)
{
    std::string Cmd = Quoted(Tool) + " " + Args;
    if (Input) {
        WriteFile(Dir.File("stdin"), *Input);
        Cmd += " < " + Quoted(Dir.File("stdin"));
    }
    Cmd += " > " + Quoted(Dir.File("out")) + " 2> " + Quoted(Dir.File("err"));
    TRun R;
    const int Raw = std::system(Cmd.c_str());
    R.Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
    R.Out = ReadFile(Dir.File("out"));
    R.Err = ReadFile(Dir.File("err"));
    return R;
}

class ListingTool : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!FileExists(Tool))
            FAIL() << Tool << " is not built (cmake --build ... --target tolvane-listing)";
    }
    TTempDir Dir{"tolvane-listing"};
};

} // namespace

TEST_F(ListingTool, PrintsKeptEntriesFromAFileAndFromStandardInput)
{
    const std::string Listing = "total 8\r\n"
                                "drwxr-x--- 2 web www 4096 Jan 15 10:30 My Files\r\n"
                                "-rw-r--r-- 1 ftp ftp 17577705968 Mar  8  2009 big\tname.mkv\n"
                                "-rw-r--r-- 1 ftp ftp 12 Mar  8  2009 .hidden\n";
    ASSERT_TRUE(WriteFile(Dir.File("list.txt"), Listing));
    const std::string Want = "dir\t4096\tweb\twww\t750\tJan 15 10:30\tMy Files\n"
                             "file\t17577705968\tftp\tftp\t644\tMar 8 2009\tbig\\tname.mkv\n"
                             "file\t12\tftp\tftp\t644\tMar 8 2009\t.hidden\n";

    const TRun FromFile = RunTool(Dir, "unix " + Quoted(Dir.File("list.txt")));
    EXPECT_EQ(FromFile.Status, 0) << FromFile.Err;
    EXPECT_EQ(FromFile.Out, Want);
    EXPECT_EQ(FromFile.Err, "");

    const TRun FromStdin = RunTool(Dir, "unix", &Listing);
    EXPECT_EQ(FromStdin.Status, 0) << FromStdin.Err;
    EXPECT_EQ(FromStdin.Out, Want);

    const std::string Dos = "01-06-09  02:42PM       <DIR>          Sub Dir\r\n"
                            "05-22-97  12:08AM           5000000000 AUTOEXEC.BAK\r\n";
    const TRun DosRun = RunTool(Dir, "dos", &Dos);
    EXPECT_EQ(DosRun.Status, 0);
    EXPECT_EQ(DosRun.Out, "dir\t0\tUnknown\tUnknown\t000\t01-06-09 02:42PM\tSub Dir\n"
                          "file\t5000000000\tUnknown\tUnknown\t000\t05-22-97 12:08AM\tAUTOEXEC.BAK\n");

    const std::string Names = "a\x01name\r\n\\b\n";
    const TRun NoneRun = RunTool(Dir, "none", &Names);
    EXPECT_EQ(NoneRun.Status, 0);
    EXPECT_EQ(NoneRun.Out, "unknown\t0\tUnknown\tUnknown\t000\t\ta\\x01name\n"
                           "unknown\t0\tUnknown\tUnknown\t000\t\t\\\\b\n");
}

TEST_F(ListingTool, RefusesBadStylesAndUnreadableFiles)
{
    const TRun BadStyle = RunTool(Dir, "windows");
    EXPECT_EQ(BadStyle.Status, 2);
    EXPECT_EQ(BadStyle.Out, "");
    EXPECT_NE(BadStyle.Err.find("unknown style 'windows'"), std::string::npos) << BadStyle.Err;

    const TRun Missing = RunTool(Dir, "vms " + Quoted(Dir.File("absent")));
    EXPECT_EQ(Missing.Status, 2);
    EXPECT_NE(Missing.Err.find("cannot read"), std::string::npos) << Missing.Err;
    EXPECT_NE(Missing.Err.find("No such file"), std::string::npos) << Missing.Err;

    const TRun Folder = RunTool(Dir, "unix " + Quoted(Dir.Path()));
    EXPECT_EQ(Folder.Status, 2);
    EXPECT_NE(Folder.Err.find("Is a directory"), std::string::npos) << Folder.Err;

    const TRun NoArgs = RunTool(Dir, "");
    EXPECT_EQ(NoArgs.Status, 2);
    EXPECT_NE(NoArgs.Err.find("usage: tolvane-listing STYLE [FILE]"), std::string::npos);
}
