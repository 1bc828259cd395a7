// Helpers, the base classes and the small component model.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <climits>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/IpComponent.h"
#include "base/IpInits.h"
#include "base/IpUtils.h"
#include "support/TestPaths.h"

TEST(Helpers, VersionTextIsUtf8AndIgnoresTheLocale)
{
    EXPECT_EQ(VersionText(), "v1.16\xC3\x9F");

    // Under a locale with a decimal comma (built here, as machines often
    // carry no such locale) printf says "1,16"; the version text must not.
    TTempDir Dir;
    ASSERT_TRUE(WriteFile(Dir.File("comma.src"),
                          "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\nEND LC_NUMERIC\n"));
    const std::string Cmd = "localedef -c -i '" + Dir.File("comma.src") + "' -f UTF-8 '" +
                            Dir.File("comma") + "' >/dev/null 2>&1";
    std::system(Cmd.c_str()); // warns about the categories it lacks
    const char *OldPath = std::getenv("LOCPATH");
    const std::string SavedPath = OldPath ? OldPath : "";
    const std::string Saved = std::setlocale(LC_NUMERIC, nullptr);
    ::setenv("LOCPATH", Dir.Path().c_str(), 1);
    const bool Switched = std::setlocale(LC_NUMERIC, "comma") != nullptr;
    const std::string Printed = Format("%.2f", 1.16);
    const std::string Text = VersionText();
    std::setlocale(LC_NUMERIC, Saved.c_str());
    if (OldPath)
        ::setenv("LOCPATH", SavedPath.c_str(), 1);
    else
        ::unsetenv("LOCPATH");
    if (!Switched)
        GTEST_SKIP() << "localedef could not build a decimal-comma locale";
    EXPECT_EQ(Printed, "1,16"); // the locale really was in force
    EXPECT_EQ(Text, "v1.16\xC3\x9F");
}

TEST(Helpers, TrimSpacesRemovesOnlyBlanks)
{
    EXPECT_EQ(TrimSpaces("   "), "");
    EXPECT_EQ(TrimSpaces(""), "");
    EXPECT_EQ(TrimSpaces(" a b "), "a b");
    EXPECT_EQ(TrimSpaces("\ta\t"), "\ta\t");
    EXPECT_EQ(TrimSpaces(" \r\n"), "\r\n");
    EXPECT_EQ(TrimSpaces(std::string(" \0 ", 3)), std::string("\0", 1));
}

TEST(Helpers, CharPosIsOneBased)
{
    EXPECT_EQ(CharPos('a', "abc"), 1);
    EXPECT_EQ(CharPos('c', "abcc"), 3);
    EXPECT_EQ(CharPos('x', "abc"), 0);
    EXPECT_EQ(CharPos('a', ""), 0);
    EXPECT_EQ(CharPos('\0', std::string("ab\0", 3)), 3);
    EXPECT_EQ(CharPos('\xFF', "a\xFF"), 2);
}

TEST(Helpers, CompareBytesIsUnsignedAndStopsAtN)
{
    const unsigned char A[] = {1, 2, 0x80, 4};
    const unsigned char B[] = {1, 2, 0x7F, 9};
    EXPECT_EQ(CompareBytes(A, B, 0), 0);
    EXPECT_EQ(CompareBytes(A, B, -5), 0);
    EXPECT_EQ(CompareBytes(A, B, 2), 0);
    EXPECT_EQ(CompareBytes(A, B, 3), 1);   // 0x80 > 0x7F unsigned
    EXPECT_EQ(CompareBytes(B, A, 4), -1);
    EXPECT_EQ(CompareBytes(nullptr, nullptr, 0), 0);
    const char C[] = "\xFF\x00";
    const char D[] = "\x01\x00";
    EXPECT_EQ(CompareBytes(C, D, 1), 1);
}

TEST(Helpers, CountByteAndMinInt)
{
    const unsigned char Buf[] = {0xFF, 1, 0xFF, 0xFF, 2};
    EXPECT_EQ(CountByte(Buf, 5, 0xFF), 3);
    EXPECT_EQ(CountByte(Buf, 1, 0xFF), 1);
    EXPECT_EQ(CountByte(Buf, 0, 0xFF), 0);
    EXPECT_EQ(CountByte(Buf, -1, 0xFF), 0);
    EXPECT_EQ(CountByte(Buf, 5, 7), 0);
    EXPECT_EQ(MinInt(INT32_MIN, INT32_MAX), INT32_MIN);
    EXPECT_EQ(MinInt(3, -3), -3);
    EXPECT_EQ(MinInt(5, 5), 5);
}

TEST(Helpers, FormatGrowsBeyondItsSmallBuffer)
{
    EXPECT_EQ(Format("%d-%s", 42, "x"), "42-x");
    const std::string Big(1000, 'q');
    EXPECT_EQ(Format("<%s>", Big.c_str()), "<" + Big + ">");
}

namespace {

// Records what its holder's variable named while it was being destroyed.
struct TWatched
{
    TWatched **Holder;
    TWatched **SeenDuring;
    ~TWatched() { *SeenDuring = *Holder; }
};

struct TUniqueWatched
{
    std::unique_ptr<TUniqueWatched> *Holder;
    bool *SawNull;
    ~TUniqueWatched() { *SawNull = (Holder->get() == nullptr); }
};

} // namespace

TEST(Helpers, FreeAndClearClearsBeforeDestroying)
{
    TWatched *Var = nullptr;
    TWatched *SeenDuring = reinterpret_cast<TWatched *>(&Var); // anything but null
    Var = new TWatched{&Var, &SeenDuring};
    FreeAndClear(Var);
    EXPECT_EQ(SeenDuring, nullptr);
    EXPECT_EQ(Var, nullptr);

    TWatched *Nil = nullptr;
    FreeAndClear(Nil); // nothing to do, no crash
    EXPECT_EQ(Nil, nullptr);

    std::unique_ptr<TUniqueWatched> U;
    bool SawNull = false;
    U.reset(new TUniqueWatched{&U, &SawNull});
    FreeAndClear(U);
    EXPECT_TRUE(SawNull);
    EXPECT_EQ(U, nullptr);
    FreeAndClear(U);
}

TEST(BaseClasses, LocksAreReentrantAndExclusive)
{
    TIpBaseAccess Access;
    TIpSocksServerInfo Persistent;
    // Same thread, twice: must not deadlock.
    Access.Lock();
    Access.Lock();
    Persistent.Lock();
    Persistent.Lock();

    // Another thread must wait until this one lets go completely.
    std::atomic<bool> OtherGotIt{false};
    std::thread Other([&] {
        Access.Lock();
        OtherGotIt = true;
        Access.Unlock();
    });
    Access.Unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // Still held once: the other thread cannot have entered.
    EXPECT_FALSE(OtherGotIt.load());
    Access.Unlock();
    Other.join();
    EXPECT_TRUE(OtherGotIt);
    Persistent.Unlock();
    Persistent.Unlock();
    EXPECT_EQ(Access.LibraryHandle(), nullptr);
}

TEST(BaseClasses, ComponentVersionAndBaseLogFormatter)
{
    TIpBaseComponent C;
    EXPECT_EQ(C.Version(), VersionText());
    C.SetVersion("v9.99");
    EXPECT_EQ(C.Version(), VersionText());

    std::string Text = "previous";
    TIpBaseComponent::FormatLogEntry(1, 2, 3, 4, Text);
    EXPECT_EQ(Text, "!!!! Unhandled log entry\x0A\x0D");
    TIpLogFormatter F = C.LogFormatter();
    Text.clear();
    F(0, 0, 0, 0, Text);
    EXPECT_EQ(Text, "!!!! Unhandled log entry\n\r");
}

namespace {

struct TEvent
{
    std::string Receiver;
    std::string Subject;
    TOperation Op;
    bool operator==(const TEvent &) const = default;
};

void PrintTo(const TEvent &E, std::ostream *Os)
{
    *Os << "{" << E.Receiver << " about '" << E.Subject << "' " << (E.Op == opInsert ? "insert" : "remove") << "}";
}

// Remembers notifications and drops its reference to a partner that goes.
class TProbe : public TComponent
{
public:
    TProbe(TComponent *AOwner, const std::string &AName, std::vector<TEvent> *ALog, bool *ADestroyed = nullptr)
        : TComponent(AOwner), FLog(ALog), FDestroyed(ADestroyed)
    {
        SetName(AName);
    }
    ~TProbe() override
    {
        if (FDestroyed)
            *FDestroyed = true;
    }
    TComponent *Partner = nullptr;
    std::string PartnerName;

protected:
    void Notification(TComponent *AComponent, TOperation Operation) override
    {
        TComponent::Notification(AComponent, Operation);
        // During a destruction only pointer identity may be used.
        const std::string Subject = AComponent == Partner ? PartnerName : AComponent->Name();
        FLog->push_back({Name(), Subject, Operation});
        if (Operation == opRemove && AComponent == Partner)
            Partner = nullptr;
    }

private:
    std::vector<TEvent> *FLog;
    bool *FDestroyed;
};

} // namespace

TEST(Components, OwnerTellsItselfAndItsChildrenAboutInsertAndRemove)
{
    std::vector<TEvent> Log;
    auto *Owner = new TProbe(nullptr, "owner", &Log);
    // The insert notice comes from the base constructor, before the new
    // component's own part (and its name) exists.
    auto *A = new TProbe(Owner, "a", &Log);
    EXPECT_EQ(Log, (std::vector<TEvent>{{"owner", "", opInsert}}));
    Log.clear();
    auto *B = new TProbe(nullptr, "b", &Log);
    Owner->InsertComponent(B);
    EXPECT_EQ(Log, (std::vector<TEvent>{{"owner", "b", opInsert}, {"a", "b", opInsert}}));
    EXPECT_EQ(Owner->ComponentCount(), 2);
    EXPECT_EQ(Owner->FindComponent("b"), B);
    EXPECT_EQ(B->Owner(), Owner);
    EXPECT_THROW(Owner->Components(2), std::out_of_range);

    // A child destroyed on its own leaves its owner's list.
    Log.clear();
    delete A;
    EXPECT_EQ(Owner->ComponentCount(), 1);
    EXPECT_EQ(Owner->Components(0), B);
    ASSERT_FALSE(Log.empty());
    EXPECT_EQ(Log.front().Receiver, "owner");
    EXPECT_EQ(Log.front().Op, opRemove);

    // Moving to another owner removes it from the first.
    auto *Owner2 = new TProbe(nullptr, "owner2", &Log);
    Owner2->InsertComponent(B);
    EXPECT_EQ(Owner->ComponentCount(), 0);
    EXPECT_EQ(Owner2->ComponentCount(), 1);
    delete Owner;

    bool BGone = false;
    auto *C = new TProbe(Owner2, "c", &Log, &BGone);
    (void)C;
    delete Owner2; // frees B and C
    EXPECT_TRUE(BGone);
}

TEST(Components, FreeNotificationClearsReferencesBothWays)
{
    std::vector<TEvent> Log;
    auto *Client = new TProbe(nullptr, "client", &Log);
    auto *Tree = new TProbe(nullptr, "tree", &Log);
    Client->Partner = Tree;
    Client->PartnerName = "tree";
    Tree->Partner = Client;
    Tree->PartnerName = "client";
    Client->FreeNotification(Tree);
    Client->FreeNotification(Tree); // once is enough

    delete Tree;
    EXPECT_EQ(Client->Partner, nullptr);
    EXPECT_EQ(Log, (std::vector<TEvent>{{"client", "tree", opRemove}}));
    // The client must not try to tell the dead tree anything.
    Log.clear();
    delete Client;
    EXPECT_TRUE(Log.empty());

    // Withdrawn interest: no notification.
    auto *X = new TProbe(nullptr, "x", &Log);
    auto *Y = new TProbe(nullptr, "y", &Log);
    X->FreeNotification(Y);
    Y->RemoveFreeNotification(X);
    delete X;
    EXPECT_TRUE(Log.empty());
    delete Y;
}

TEST(Components, AssignRefusesUnknownSourcesWithClassNames)
{
    TIpDataInits Data;
    TIpSocksServerInfo Socks;
    TPersistent Plain;
    try {
        Plain.Assign(&Data);
        FAIL() << "no assignment error";
    } catch (const EAssignError &E) {
        EXPECT_STREQ(E.what(), "Cannot assign a TIpDataInits to a TPersistent");
    }
    try {
        Data.Assign(nullptr);
        FAIL() << "no assignment error";
    } catch (const EAssignError &E) {
        EXPECT_STREQ(E.what(), "Cannot assign a nil to a TIpDataInits");
    }
    EXPECT_EQ(Socks.ClassName(), "TIpSocksServerInfo");
}
