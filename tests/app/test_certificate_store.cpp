// The store of certificates trusted always: names, fingerprints, the file's
// mode and atomic replacement, and a damaged file that is refused and kept.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tls_fixture.h"

TEST(CertificateStore, FingerprintsAndEntryNamesHaveOneForm)
{
    std::string Pairs;
    for (int I = 0; I < 32; ++I)
        Pairs += (I ? ":" : "") + std::string("AA");
    EXPECT_EQ(NormalFingerprint(" " + std::string(64, 'a')), Pairs);
    EXPECT_EQ(NormalFingerprint(Pairs), Pairs);
    for (const std::string &Bad : {std::string(62, 'a'), std::string(66, 'a'), std::string(63, 'a') + "g"})
        EXPECT_EQ(NormalFingerprint(Bad), "") << Bad;
    EXPECT_EQ(TrustKey("FTP.Example.org", 21), "ftp.example.org:21");
    EXPECT_EQ(TrustKey("::1", 990) + TrustKey("[::1]", 990), "[::1]:990[::1]:990");
    EXPECT_EQ(TCertificateStore::PathFor("", "/home/ann"), "/home/ann/.local/share/tolvane-ftp/trusted-certificates.ini");
}

class CertificateStoreFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!TTestCerts::Available())
            GTEST_SKIP() << "the openssl command is missing";
        ASSERT_EQ(TTestCerts::Get().Error, "");
        ASSERT_NE(Sha, "");
    }
    const std::string Pem = ReadFile(TTestCerts::Get().ServerPem), Sha = OpensslFingerprint(TTestCerts::Get().ServerPem);
    const std::string Other = ReadFile(TTestCerts::Get().ExpiredPem);
    const std::string OtherSha = OpensslFingerprint(TTestCerts::Get().ExpiredPem);
    TTempDir Dir;
    TCertificateStore Store{Dir.File("data/tolvane-ftp/trusted-certificates.ini")};
};

TEST_F(CertificateStoreFile, TrustedAlwaysReadsBackPrivateAndReplacedWhole)
{
    EXPECT_FALSE(Store.Find("localhost", 21)) << "an absent file is an empty store";
    EXPECT_EQ(Store.Problem(), "");
    EXPECT_FALSE(Store.Trust("localhost", 21, OtherSha, Pem)) << "a fingerprint that is not the certificate's";
    ASSERT_TRUE(Store.Trust("LocalHost", 21, Sha, Pem)) << Store.Problem();
    ASSERT_TRUE(Store.Trust("::1", 990, OtherSha, Other)) << Store.Problem();
    struct stat St = {};
    ASSERT_EQ(::stat(Store.Path().c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 07777, 0600u);
    ASSERT_TRUE(Store.Find("localhost", 21));
    EXPECT_EQ(Store.Find("localhost", 21)->Sha256, Sha);
    EXPECT_NE(Pem.find(Store.Find("localhost", 21)->Pem), std::string::npos) << "the certificate itself";
    EXPECT_EQ(Store.Find("[::1]", 990)->Sha256, OtherSha);
    EXPECT_FALSE(Store.Find("localhost", 990)) << "per host and port";

    // Written beside the old file and renamed over it: when that cannot
    // happen, the old file stays whole.
    const std::string Before = ReadFile(Store.Path());
    ASSERT_EQ(::mkdir((Store.Path() + ".new").c_str(), 0700), 0);
    EXPECT_FALSE(Store.Trust("localhost", 21, OtherSha, Other));
    EXPECT_NE(Store.Problem().find("Unable to write"), std::string::npos) << Store.Problem();
    EXPECT_EQ(ReadFile(Store.Path()), Before);
    ::rmdir((Store.Path() + ".new").c_str());
    EXPECT_TRUE(Store.Trust("localhost", 21, OtherSha, Other));
    EXPECT_EQ(Store.Find("localhost", 21)->Sha256, OtherSha) << "the older entry replaced";
}

TEST_F(CertificateStoreFile, ADamagedFileIsRefusedWithAReasonAndNeverOverwritten)
{
    ASSERT_TRUE(Store.Trust("localhost", 21, Sha, Pem));
    const std::string Good = ReadFile(Store.Path());
    std::string Swapped = Good; // a fingerprint that is not the certificate's
    Swapped.replace(Swapped.find("Sha256=") + 7, 2, Sha.substr(0, 2) == "00" ? "11" : "00");
    for (const std::string &Text : {Good + "garbage\n", Swapped, "[localhost:21]\nSha256=" + Sha + "\n",
                                    Good + Good.substr(Good.find('['))}) {
        ASSERT_TRUE(WriteFile(Store.Path(), Text));
        EXPECT_FALSE(Store.Find("localhost", 21)) << Text;
        EXPECT_NE(Store.Problem().find("is damaged"), std::string::npos) << Store.Problem();
        EXPECT_FALSE(Store.Trust("other", 21, Sha, Pem));
        EXPECT_NE(Store.Problem().find("left as it is"), std::string::npos) << Store.Problem();
        EXPECT_EQ(ReadFile(Store.Path()), Text);
    }
}
