// Event log: one time-stamped line per event, appended at once; and the
// date-time patterns of its time stamps.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <regex>
#include <string>

#include "base/IpEventLog.h"
#include "base/IpStreams.h"
#include "support/TestPaths.h"

namespace {

std::tm MakeTime(int Year, int Month, int Day, int Hour, int Min, int Sec, int WeekDay)
{
    std::tm T{};
    T.tm_year = Year - 1900;
    T.tm_mon = Month - 1;
    T.tm_mday = Day;
    T.tm_hour = Hour;
    T.tm_min = Min;
    T.tm_sec = Sec;
    T.tm_wday = WeekDay;
    return T;
}

class EventLog : public ::testing::Test
{
protected:
    TTempDir Dir{"tolvane-eventlog"};
    TIpEventLog Log{nullptr};

    void SetUp() override
    {
        Log.SetDateTimeFormat("yyyy.mm.dd hh:nn:ss");
        Log.SetFileName(Dir.File("event.log"));
    }
};

const std::string Stamp = R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2} )";

} // namespace

TEST_F(EventLog, DisabledLogNeverTouchesTheFile)
{
    TIpEventLog Fresh(nullptr);
    EXPECT_FALSE(Fresh.Enabled());
    EXPECT_EQ(Fresh.FileName(), "");
    EXPECT_EQ(Fresh.DateTimeFormat(), "");

    Log.WriteEvent("Deleting report.txt");
    EXPECT_FALSE(FileExists(Log.FileName()));
    Log.SetFileName(Dir.File("no/such/folder/event.log"));
    EXPECT_NO_THROW(Log.WriteEvent("nothing to open"));
}

TEST_F(EventLog, LinesAccumulateAcrossEventsAndRuns)
{
    Log.SetEnabled(true);
    const auto Before = std::chrono::system_clock::now();
    Log.WriteEvent("Deleting report.txt");
    Log.WriteEvent("two\r\nlines");
    {
        TIpEventLog Later(nullptr); // a later run with the same settings
        Later.SetDateTimeFormat("yyyy.mm.dd hh:nn:ss");
        Later.SetFileName(Log.FileName());
        Later.SetEnabled(true);
        Later.WriteEvent("Storing big.iso");
    }
    const std::string Text = ReadFile(Log.FileName());
    EXPECT_TRUE(std::regex_match(Text, std::regex(Stamp + "Deleting report\\.txt\r\n" + Stamp + "two\r\nlines\r\n" +
                                                  Stamp + "Storing big\\.iso\r\n")))
        << Text;

    // The stamp is the local time of the event.
    const std::time_t When = std::chrono::system_clock::to_time_t(Before);
    std::tm Local{};
    localtime_r(&When, &Local);
    char Want[32];
    std::strftime(Want, sizeof Want, "%Y.%m.%d %H:%M", &Local);
    EXPECT_EQ(Text.substr(0, 16), Want);
}

TEST_F(EventLog, ChangingTheFileNameMovesTheNextLine)
{
    Log.SetEnabled(true);
    Log.WriteEvent("Renaming old.txt");
    Log.SetFileName(Dir.File("other.log"));
    Log.WriteEvent("Retrieving new.txt");
    EXPECT_TRUE(std::regex_match(ReadFile(Dir.File("event.log")), std::regex(Stamp + "Renaming old\\.txt\r\n")));
    EXPECT_TRUE(std::regex_match(ReadFile(Dir.File("other.log")), std::regex(Stamp + "Retrieving new\\.txt\r\n")));
}

TEST_F(EventLog, AFileThatCannotBeOpenedRaisesAndReleasesTheLock)
{
    Log.SetEnabled(true);
    Log.SetFileName(Dir.File("no/such/folder/event.log"));
    EXPECT_THROW(Log.WriteEvent("Storing x"), EIpStreamError);
    Log.SetFileName(Dir.Path());
    EXPECT_THROW(Log.WriteEvent("Storing x"), EIpStreamError);
    if (FileExists("/dev/full")) {
        Log.SetFileName("/dev/full");
        EXPECT_THROW(Log.WriteEvent("Storing x"), EIpStreamError);
    }
    // Another thread can still log: the failed events left the lock free.
    Log.SetFileName(Dir.File("event.log"));
    auto Other = std::async(std::launch::async, [this] { Log.WriteEvent("Storing y"); });
    ASSERT_EQ(Other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    Other.get();
    EXPECT_TRUE(std::regex_match(ReadFile(Log.FileName()), std::regex(Stamp + "Storing y\r\n")));
}

TEST(DateTimePatterns, DefaultAndOtherTokens)
{
    const std::tm T = MakeTime(2024, 5, 17, 14, 3, 9, 5);
    EXPECT_EQ(FormatDateTime("yyyy.mm.dd hh:nn:ss", T), "2024.05.17 14:03:09");
    EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS", T), "2024-05-17 14:03:09");
    EXPECT_EQ(FormatDateTime("d/m/yy", T), "17/5/24");
    EXPECT_EQ(FormatDateTime("hh:mm", T), "14:03") << "m right after an hour means minutes";
    EXPECT_EQ(FormatDateTime("h:nn am/pm", T), "2:03 pm");
    EXPECT_EQ(FormatDateTime("h:nn AM/PM", MakeTime(2024, 5, 17, 0, 5, 0, 5)), "12:05 AM");
    EXPECT_EQ(FormatDateTime("h a/p", MakeTime(2024, 5, 17, 9, 0, 0, 5)), "9 a");
    EXPECT_EQ(FormatDateTime("ddd d mmm, dddd mmmm", T), "Fri 17 May, Friday May");
    EXPECT_EQ(FormatDateTime("'at' hh \"o'clock\"", T), "at 14 o'clock");
    EXPECT_EQ(FormatDateTime("ss.zzz z", T, 7), "09.007 7");
    EXPECT_EQ(FormatDateTime("", T), "");
    EXPECT_EQ(FormatDateTime("'open", T), "open");
}
