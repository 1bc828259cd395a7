// Listing parser against hostile and real-world text: huge lines, NUL and
// 0xFF bytes, listings of nothing but separators, random bytes, and every
// line of the shared corpus of listing lines gathered from other parsers'
// test suites.
//
// The corpus lives outside the repository (its lines come from other
// projects). TOLVANE_LISTING_CORPUS names its folder; by default the shared
// work folder is used, and the corpus tests skip when it is absent.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "ftp/IpFtpList.h"
#include "support/TestPaths.h"

namespace {

const TIpFtpDirStyle AllStyles[] = {dsNone, dsUnix, dsDos, dsMultiNet, dsVms, dsUser};

// What must hold for any text whatever: entries are named (never "." or ".."), of a kind the
// style can produce, with a sane size; names never span lines and only links carry a target.
void ExpectSaneList(const TIpFtpFileList &List, TIpFtpDirStyle Style, const std::string &What)
{
    for (std::size_t I = 0; I < List.Count(); ++I) {
        const TIpFtpFileInfo &E = *List.Items(I);
        SCOPED_TRACE(What + " entry " + std::to_string(I) + " style " + std::to_string(Style));
        ASSERT_FALSE(E.FileName.empty());
        EXPECT_TRUE(E.FileName != "." && E.FileName != "..");
        EXPECT_EQ(E.FileName.find('\n'), std::string::npos);
        EXPECT_GE(E.Size, 0);
        EXPECT_TRUE(E.LinkPath.empty() || E.FileKind == fkLink);
        switch (Style) {
        case dsNone:
            EXPECT_EQ(E.FileKind, fkUnknown);
            EXPECT_EQ(E.Size, 0);
            break;
        case dsUnix:
            EXPECT_TRUE(E.FileKind == fkFile || E.FileKind == fkDirectory || E.FileKind == fkLink);
            if (E.FileKind == fkLink) {
                EXPECT_EQ(E.FileName.find(" -> "), std::string::npos);
            }
            break;
        case dsDos:
            EXPECT_TRUE(E.FileKind == fkFile || E.FileKind == fkDirectory);
            EXPECT_TRUE(E.OwnerPerms.Empty() && E.GroupPerms.Empty() && E.OtherPerms.Empty());
            break;
        case dsMultiNet:
        case dsVms:
            EXPECT_TRUE(E.FileKind == fkFile || E.FileKind == fkDirectory);
            EXPECT_EQ(E.FileName.find(':'), std::string::npos);
            if (Style == dsVms) {
                EXPECT_EQ(E.Size % 512, 0);
            } else {
                EXPECT_TRUE(E.OtherPerms.Empty());
            }
            break;
        default:
            ADD_FAILURE() << "no entry expected without a handler";
        }
    }
}

void ParseInEveryStyle(const std::string &Listing, const std::string &What)
{
    TIpFtpFileList List;
    for (TIpFtpDirStyle Style : AllStyles) {
        List.ParseListing(Listing, Style);
        ExpectSaneList(List, Style, What);
    }
}

// ---------------------------------------------------------------------------
// Corpus access

struct TCorpusRecord
{
    std::string Id;
    std::string Family;
    std::string Line; // exact bytes
    bool Entry = false;
    bool Exact = true; // false when the source's name is a decoding of other bytes
    bool HasExpect = false;
    std::string Name;
    bool Dir = false;
    bool Link = false;
    bool HasSize = false;
    int64_t Size = 0;
};

std::filesystem::path CorpusDir()
{
    if (const char *Env = std::getenv("TOLVANE_LISTING_CORPUS"))
        return Env;
    return "/work/shared/corpus/listings";
}

std::vector<TCorpusRecord> LoadCorpus(const std::string &FileName)
{
    std::vector<TCorpusRecord> Records;
    QFile File(QString::fromStdString((CorpusDir() / FileName).string()));
    if (!File.open(QIODevice::ReadOnly))
        return Records;
    while (!File.atEnd()) {
        const QByteArray Raw = File.readLine().trimmed();
        if (Raw.isEmpty())
            continue;
        const QJsonObject O = QJsonDocument::fromJson(Raw).object();
        TCorpusRecord R;
        R.Id = O["id"].toString().toStdString();
        R.Family = O["family"].toString().toStdString();
        R.Line = O.contains("line_hex") ? QByteArray::fromHex(O["line_hex"].toString().toLatin1()).toStdString()
                                        : O["line"].toString().toUtf8().toStdString();
        R.Entry = O["entry"].toBool();
        R.Exact = !O.contains("line_hex");
        const QJsonObject X = O["expect"].toObject();
        R.HasExpect = !X.isEmpty();
        R.Name = X["name"].toString().toUtf8().toStdString();
        R.Dir = X["dir"].toBool();
        R.Link = X["link"].toBool();
        R.HasSize = X["size"].isDouble();
        // Sizes beyond 2^53 lose digits as JSON numbers; take them from the line.
        R.Size = static_cast<int64_t>(X["size"].toDouble());
        Records.push_back(std::move(R));
    }
    return Records;
}

std::string Upper(std::string S)
{
    for (char &C : S)
        if (C >= 'a' && C <= 'z')
            C = static_cast<char>(C - 32);
    return S;
}

TIpFtpFileInfo *OnlyEntry(TIpFtpFileList &List, const std::string &Line, TIpFtpDirStyle Style)
{
    List.ParseListing(Line, Style);
    return List.Count() == 1 ? List.Items(0) : nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// Hostile input

TEST(ListingHostileInput, HugeLinesParseInEveryStyle)
{
    const std::string Name(4 << 20, 'n');
    TIpFtpFileList List;
    ASSERT_TRUE(List.ParseListing("-rw-r--r-- 1 a b 1 Jan 1 2020 " + Name + "\r\n", dsUnix));
    EXPECT_EQ(List.Items(0)->FileName.size(), Name.size());
    ASSERT_TRUE(List.ParseListing("01-01-20 00:00 7 " + Name, dsDos));
    EXPECT_EQ(List.Items(0)->Size, 7);
    ASSERT_TRUE(List.ParseListing(Name + ".DIR;1 1/1", dsVms));
    EXPECT_EQ(List.Items(0)->FileName.size(), Name.size());
    ParseInEveryStyle(Name, "one huge token");

    // Hundreds of thousands of tokens on one line: the name joins them all.
    std::string Many = "-rw-r--r-- 1 a b 1 Jan 1 2020";
    for (int I = 0; I < 300000; ++I)
        Many += " x";
    ASSERT_TRUE(List.ParseListing(Many, dsUnix));
    EXPECT_EQ(List.Items(0)->FileName.size(), 300000u * 2 - 1);
    ASSERT_TRUE(List.ParseListing("01-01-20 00:00 <DIR> " + Many, dsDos));
    EXPECT_EQ(List.Items(0)->FileName.substr(0, 12), "-rw-r--r-- 1");
    ParseInEveryStyle(Many, "300000 tokens");
}

TEST(ListingHostileInput, NulAndHighBytesAreOrdinaryNameBytes)
{
    TIpFtpFileList List;
    const std::string Nul("-rw-r--r-- 1 a b 12 Jan 1 2020 na\0me\0\r\n\0\n", 42);
    ASSERT_TRUE(List.ParseListing(Nul, dsUnix));
    ASSERT_EQ(List.Count(), 1u);
    EXPECT_EQ(List.Items(0)->FileName, std::string("na\0me", 5));
    EXPECT_EQ(List.Items(0)->Size, 12);

    const std::string High = "-rw-r--r-- 1 \xff\xfe \x80 1\xff Jan 1 2020 \xff\xff\n\xff\xff\xff\n";
    ASSERT_TRUE(List.ParseListing(High, dsUnix));
    ASSERT_EQ(List.Count(), 1u);
    EXPECT_EQ(List.Items(0)->Owner, "\xff\xfe");
    EXPECT_EQ(List.Items(0)->Size, 0);
    EXPECT_EQ(List.Items(0)->FileName, "\xff\xff");
    ASSERT_TRUE(List.ParseListing(High, dsNone));
    EXPECT_EQ(List.Count(), 2u);
    ParseInEveryStyle(Nul + High, "NUL and 0xFF");
}

TEST(ListingHostileInput, SeparatorOnlyListingsGiveNothing)
{
    TIpFtpFileList List;
    for (const std::string &Unit : {std::string("\r\n"), std::string("\n"), std::string("\r"), std::string(" "),
                                    std::string("\t"), std::string("\n\r"), std::string(" \r\n"),
                                    std::string(1, '\0')}) {
        std::string Listing;
        for (int I = 0; I < 200000; ++I)
            Listing += Unit;
        for (TIpFtpDirStyle Style : AllStyles)
            EXPECT_FALSE(List.ParseListing(Listing, Style)) << "style " << int(Style);
    }
    std::string Nuls(1 << 20, '\0');
    EXPECT_FALSE(List.ParseListing(Nuls, dsNone));
}

TEST(ListingHostileInput, RandomBytesNeverBreakTheRules)
{
    std::mt19937 Rng(20240517);
    for (int Round = 0; Round < 400; ++Round) {
        std::string Listing = RandomBytes(Rng() % 4096, Round + 1);
        // Bias towards listing-like text so the parsers go deep.
        static const char *const Pieces[] = {"-rwxr-xr-x 1 a b 12 Jan 1 2020 n", "d--------- ", " -> ",
                                             "<DIR>", "X.DIR;1 ", "Y.TXT;2 3/4 ", "(RWED,,RE,)", "[A,B]",
                                             "\r\n", "\n", "  ", ":"};
        for (int I = 0; I < 30; ++I)
            Listing.insert(Rng() % (Listing.size() + 1), Pieces[Rng() % std::size(Pieces)]);
        ParseInEveryStyle(Listing, "round " + std::to_string(Round));
        if (HasFatalFailure())
            return;
    }
}

// ---------------------------------------------------------------------------
// The corpus

TEST(ListingCorpus, EveryLineAndEveryListingStaysSane)
{
    std::vector<TCorpusRecord> Records = LoadCorpus("corpus.jsonl");
    if (Records.empty())
        GTEST_SKIP() << "listing corpus not found in " << CorpusDir() << " (set TOLVANE_LISTING_CORPUS)";
    for (const TCorpusRecord &R : LoadCorpus("corpus_other.jsonl"))
        Records.push_back(R);
    ASSERT_GE(Records.size(), 700u);

    std::mt19937 Rng(99);
    std::string Whole;
    for (const TCorpusRecord &R : Records) {
        ParseInEveryStyle(R.Line, R.Id);
        // The same line cut short and with bytes damaged.
        std::string Damaged = R.Line.substr(0, Rng() % (R.Line.size() + 1));
        for (int I = 0; I < 4 && !Damaged.empty(); ++I)
            Damaged[Rng() % Damaged.size()] = static_cast<char>(Rng());
        ParseInEveryStyle(Damaged, R.Id + " damaged");
        Whole += R.Line + (R.Id.size() % 2 ? "\r\n" : "\n");
    }
    ParseInEveryStyle(Whole, "whole corpus");

    for (const auto &Entry : std::filesystem::recursive_directory_iterator(CorpusDir() / "raw")) {
        if (!Entry.is_regular_file())
            continue;
        ParseInEveryStyle(ReadFile(Entry.path().string()), Entry.path().filename().string());
    }
}

// Where a corpus line has the plain shape our rules are written for, the
// name, size and kind must match what the line's own source asserts.
TEST(ListingCorpus, PlainUnixLinesMatchTheirSources)
{
    const std::vector<TCorpusRecord> Records = LoadCorpus("corpus.jsonl");
    if (Records.empty())
        GTEST_SKIP() << "listing corpus not found in " << CorpusDir();
    const std::regex Plain(R"(^[-dl][-rwxsStT]{9}[+@.]?\s+\d+\s+\S+\s+\S+\s+(\d+)\s+[A-Za-z]{3}\s+\d{1,2}\s+)"
                           R"((\d{1,2}:\d{2}|\d{4})\s+\S.*$)");
    TIpFtpFileList List;
    int Checked = 0;
    for (const TCorpusRecord &R : Records) {
        std::smatch M;
        // Skipped: a link whose own name holds " -> " (no rule can tell where it ends).
        if (R.Family != "unix" || !R.HasExpect || !R.Exact || R.Name.empty() || R.Name == "." || R.Name == ".." ||
            (R.Link && R.Name.find(" -> ") != std::string::npos) || !std::regex_match(R.Line, M, Plain))
            continue;
        SCOPED_TRACE(R.Id + ": " + R.Line);
        const TIpFtpFileInfo *E = OnlyEntry(List, R.Line, dsUnix);
        ASSERT_NE(E, nullptr);
        EXPECT_EQ(E->FileName, R.Name);
        EXPECT_EQ(E->Size, std::stoll(M[1].str()));
        if (R.HasSize && R.Size < (int64_t(1) << 53)) {
            EXPECT_EQ(E->Size, R.Size);
        }
        EXPECT_EQ(E->FileKind, R.Link ? fkLink : R.Dir ? fkDirectory : fkFile);
        ++Checked;
    }
    EXPECT_GE(Checked, 190);
}

TEST(ListingCorpus, PlainDosLinesMatchTheirSourcesIncludingHugeSizes)
{
    const std::vector<TCorpusRecord> Records = LoadCorpus("corpus.jsonl");
    if (Records.empty())
        GTEST_SKIP() << "listing corpus not found in " << CorpusDir();
    const std::regex Plain(R"(^\d{2}-\d{2}-\d{2,4}\s+\d{1,2}:\d{2}(AM|PM)?\s+(<DIR>|\d+)\s+\S.*$)");
    TIpFtpFileList List;
    int Checked = 0, Huge = 0;
    for (const TCorpusRecord &R : Records) {
        std::smatch M;
        // Skipped: a folder name with leading blanks (ours start after the padding).
        if (R.Family != "dos" || !R.HasExpect || !R.Exact || R.Name.empty() || R.Name == "." || R.Name == ".." ||
            (R.Dir && R.Name.front() == ' ') || !std::regex_match(R.Line, M, Plain))
            continue;
        SCOPED_TRACE(R.Id + ": " + R.Line);
        const TIpFtpFileInfo *E = OnlyEntry(List, R.Line, dsDos);
        ASSERT_NE(E, nullptr);
        EXPECT_EQ(E->FileName, R.Name);
        EXPECT_EQ(E->FileKind, R.Dir ? fkDirectory : fkFile);
        if (R.HasSize) {
            EXPECT_EQ(E->Size, R.Size);
            Huge += R.Size > 2147483647;
        }
        ++Checked;
    }
    EXPECT_GE(Checked, 70);
    EXPECT_GE(Huge, 2);
}

TEST(ListingCorpus, VmsFamilyNamesKindsAndBlocksMatchTheirSources)
{
    const std::vector<TCorpusRecord> Records = LoadCorpus("corpus.jsonl");
    if (Records.empty())
        GTEST_SKIP() << "listing corpus not found in " << CorpusDir();
    const std::regex Head(R"(^([^\s:;]+);\d+(\s+(\d+)/\d+\s.*|\s.*)?$)");
    const std::regex Version(R"(;\d+$)");
    TIpFtpFileList List;
    int Checked = 0;
    for (const TCorpusRecord &R : Records) {
        std::smatch M;
        if ((R.Family != "vms" && R.Family != "multinet") || !R.HasExpect || R.Name.empty() || R.Name[0] == '.' ||
            !std::regex_match(R.Line, M, Head))
            continue;
        const TIpFtpDirStyle Style = R.Family == "vms" ? dsVms : dsMultiNet;
        SCOPED_TRACE(R.Id + ": " + R.Line);
        const TIpFtpFileInfo *E = OnlyEntry(List, R.Line, Style);
        ASSERT_NE(E, nullptr);
        // Sources differ on versions, ".DIR" and case; compare what they share.
        std::string Want = Upper(std::regex_replace(R.Name, Version, ""));
        if (R.Dir && Want.size() > 4 && Want.substr(Want.size() - 4) == ".DIR")
            Want.resize(Want.size() - 4);
        EXPECT_EQ(Upper(E->FileName), Want);
        EXPECT_EQ(E->FileKind, R.Dir ? fkDirectory : fkFile);
        // A name alone on its line (details on the next) has no size here.
        if (Style == dsVms && M[3].matched && R.HasSize && R.Line.find('\n') == std::string::npos) {
            EXPECT_EQ(E->Size, R.Size);
        }
        ++Checked;
    }
    EXPECT_GE(Checked, 100);
}
