// Folder trees up and down with tolvane-cli against pyftpdlib and vsftpd,
// compared byte for byte; mkdir and rmdir.

#include "e2e/test_cli_fixture.h"

#include <dirent.h>
#include <sys/stat.h>

#include <map>

namespace {

// Every entry below Root by relative path: a file's bytes, "<dir>" for a
// folder, "<other>" for the rest.
void ReadTree(const std::string &Root, const std::string &Rel, std::map<std::string, std::string> &Out)
{
    DIR *D = ::opendir((Rel.empty() ? Root : Root + "/" + Rel).c_str());
    ASSERT_NE(D, nullptr) << Root << "/" << Rel;
    std::vector<std::string> Names;
    while (dirent *E = ::readdir(D))
        if (std::strcmp(E->d_name, ".") != 0 && std::strcmp(E->d_name, "..") != 0)
            Names.push_back(E->d_name);
    ::closedir(D);
    for (const std::string &Name : Names) {
        const std::string Path = Rel.empty() ? Name : Rel + "/" + Name;
        struct stat St;
        ASSERT_EQ(::lstat((Root + "/" + Path).c_str(), &St), 0) << Path;
        if (S_ISDIR(St.st_mode)) {
            Out[Path] = "<dir>";
            ReadTree(Root, Path, Out);
        } else {
            Out[Path] = S_ISREG(St.st_mode) ? ReadFile(Root + "/" + Path) : "<other>";
        }
    }
}

std::map<std::string, std::string> Tree(const std::string &Root)
{
    std::map<std::string, std::string> Out;
    ReadTree(Root, "", Out);
    return Out;
}

// Nested folders, an empty one, names with blanks, 200 small files, and a
// link and a FIFO that are not copied.
void MakeSite(const std::string &Site)
{
    for (const char *D : {"", "/sub dir", "/empty", "/deep", "/deep/x", "/deep/x/y", "/many"})
        ASSERT_EQ(::mkdir((Site + D).c_str(), 0755), 0) << D;
    ASSERT_TRUE(WriteFile(Site + "/a.txt", "alpha\n"));
    ASSERT_NE(MakeRandomFile(Site + "/sub dir/b c.bin", 300000, 5), 0u);
    ASSERT_TRUE(WriteFile(Site + "/deep/x/y/z.txt", ""));
    for (int I = 0; I < 200; ++I)
        ASSERT_TRUE(WriteFile(Site + "/many/f" + std::to_string(I), std::string(100 + I, char('a' + I % 26))));
    ASSERT_EQ(::symlink("a.txt", (Site + "/link").c_str()), 0);
    ASSERT_EQ(::mkfifo((Site + "/pipe").c_str(), 0644), 0);
}

void CopyBothWays(const std::string &Host, const std::string &User, const std::string &Served)
{
    TTempDir Local("tolvane-cli-tree");
    const std::string Site = Local.File("site");
    MakeSite(Site);
    std::map<std::string, std::string> Want = Tree(Site);
    Want.erase("link");
    Want.erase("pipe");

    TCliRun Put = RunCli({"-u", User, Host, "put", "-r", Site, "up"}, {.TimeoutMs = 60000});
    ASSERT_EQ(Put.Status, 0) << Describe(Put);
    EXPECT_NE(Put.Err.find("skipped: " + Site + "/link"), std::string::npos) << Put.Err;
    EXPECT_NE(Put.Err.find("skipped: " + Site + "/pipe"), std::string::npos) << Put.Err;
    EXPECT_EQ(Tree(Served + "/up"), Want);

    TCliRun Get = RunCli({"-u", User, Host, "get", "-r", "up", Local.File("back")}, {.TimeoutMs = 60000});
    ASSERT_EQ(Get.Status, 0) << Describe(Get);
    EXPECT_EQ(Tree(Local.File("back")), Want);
    TCliRun Active = RunCli({"--active", "-u", User, Host, "get", "-r", "up", Local.File("active")},
                            {.TimeoutMs = 60000});
    ASSERT_EQ(Active.Status, 0) << Describe(Active);
    EXPECT_EQ(Tree(Local.File("active")), Want);
    // Restart mode resumes the one file cut short and skips the whole ones.
    ASSERT_EQ(::truncate(Local.File("back/many/f3").c_str(), 50), 0);
    TCliRun Resume = RunCli({"--mode", "restart", "-u", User, Host, "get", "-r", "up", Local.File("back")},
                            {.ErrIsTerminal = true, .TimeoutMs = 60000});
    ASSERT_EQ(Resume.Status, 0) << Describe(Resume);
    EXPECT_NE(Resume.Err.find("1 of 1 files"), std::string::npos) << Describe(Resume);
    EXPECT_EQ(Tree(Local.File("back")), Want);

    // A file that cannot be stored fails alone: the rest still goes, and
    // the failure is named at the end.
    ASSERT_EQ(::unlink((Served + "/up/a.txt").c_str()), 0);
    ASSERT_EQ(::mkdir((Served + "/up/a.txt").c_str(), 0777), 0);
    ASSERT_EQ(::unlink((Served + "/up/many/f7").c_str()), 0);
    TCliRun Again = RunCli({"-u", User, Host, "put", "-r", Site, "up"}, {.TimeoutMs = 60000});
    EXPECT_EQ(Again.Status, 1) << Describe(Again);
    EXPECT_NE(Again.Err.find("failed: " + Site + "/a.txt: 55"), std::string::npos) << Again.Err;
    EXPECT_NE(Again.Err.find("1 failed"), std::string::npos) << Again.Err;
    EXPECT_EQ(ReadFile(Served + "/up/many/f7"), Want["many/f7"]);

    ASSERT_EQ(RunCli({"-u", User, Host, "mkdir", "new one"}).Status, 0);
    struct stat St;
    EXPECT_TRUE(::stat((Served + "/new one").c_str(), &St) == 0 && S_ISDIR(St.st_mode));
    TCliRun NotEmpty = RunCli({"-u", User, Host, "rmdir", "up"});
    EXPECT_EQ(NotEmpty.Status, 1) << Describe(NotEmpty);
    ASSERT_EQ(RunCli({"-u", User, Host, "rmdir", "new one"}).Status, 0);
    EXPECT_NE(::stat((Served + "/new one").c_str(), &St), 0);
}

} // namespace

TEST_F(CliBinary, FolderTreesBothWaysWithPyftpdlib)
{
    if (!TPyFtpdServer::Available())
        GTEST_SKIP() << TPyFtpdServer::Missing();
    TPyFtpdServer Srv;
    ASSERT_TRUE(Srv.Start());
    CopyBothWays(Target(Srv.Port()), "tolvane:secret", Srv.Root());
}

TEST_F(CliBinary, FolderTreesBothWaysWithVsftpd)
{
    if (!TVsftpdServer::Available())
        GTEST_SKIP() << TVsftpdServer::Missing();
    TVsftpdServer Srv;
    ASSERT_TRUE(Srv.Start());
    CopyBothWays(Target(Srv.Port()), std::string(TVsftpdServer::User()) + ":" + TVsftpdServer::Password(),
                 Srv.Root());
}
