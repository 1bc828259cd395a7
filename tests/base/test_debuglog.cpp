// Debug log: the ring (wrapping, eviction, the byte that stays free), the
// file it is written to (header, time stamps, overwrite and append), and the
// entry texts (telnet entries, hex dumps).

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "base/IpDebugLog.h"
#include "base/IpStreams.h"
#include "platform/IpPlatform.h"
#include "support/TestPaths.h"

namespace {

constexpr uint32_t HS = TIpDebugLog::HeaderSize;

std::vector<std::string> SplitCrLf(const std::string &Text)
{
    std::vector<std::string> Lines;
    std::size_t Pos = 0;
    for (std::size_t Hit; (Hit = Text.find("\r\n", Pos)) != std::string::npos; Pos = Hit + 2)
        Lines.push_back(Text.substr(Pos, Hit - Pos));
    if (Pos < Text.size())
        Lines.push_back(Text.substr(Pos));
    return Lines;
}

// The records of a written log after its header, without their time stamps.
std::vector<std::string> Records(const std::string &File)
{
    const std::string Rule = std::string(77, '=') + "\r\n\r\n";
    const std::size_t Body = File.find(Rule);
    EXPECT_NE(Body, std::string::npos) << "no header";
    std::vector<std::string> Out;
    // A record's own text may end in CR LF, which leaves an empty line.
    const std::regex Stamp(R"(^\d{4}\.\d{3,} : )");
    for (const std::string &Line : SplitCrLf(File.substr(Body == std::string::npos ? 0 : Body + Rule.size())))
        Out.push_back(std::regex_search(Line, Stamp) ? Line.substr(Line.find(" : ") + 3) : Line);
    return Out;
}

class DebugLog : public ::testing::Test
{
protected:
    TTempDir Dir{"tolvane-debuglog"};
    TIpDebugLog Log{nullptr};

    void SetUp() override { Log.SetFileName(Dir.File("debug.log")); }
    std::vector<std::string> WriteAndRead()
    {
        Log.WriteToFile();
        return Records(ReadFile(Log.FileName()));
    }
};

void EchoFormatter(uint32_t Value, uint32_t Kind, uintptr_t Data, int32_t Len, std::string &Text)
{
    Text = Format("fmt %u %X [", Value, Kind) + std::string(reinterpret_cast<const char *>(Data), size_t(Len)) + "]";
}

} // namespace

TEST_F(DebugLog, StartsDisabledWithDefaultsAndRecordsSwitching)
{
    TIpDebugLog Fresh(nullptr);
    EXPECT_FALSE(Fresh.Enabled());
    EXPECT_EQ(Fresh.BufferSize(), 65536u);
    EXPECT_EQ(Fresh.WriteMode(), wmOverwrite);
    EXPECT_EQ(Fresh.FileName(), "debug.log");
    EXPECT_EQ(Fresh.TempSize(), 0u);

    Log.AddText("while disabled");
    EXPECT_TRUE(Log.IsEmpty());
    Log.SetEnabled(false); // already off: nothing recorded
    EXPECT_TRUE(Log.IsEmpty());
    Log.SetEnabled(true);
    EXPECT_EQ(Log.TempSize(), 1024u);
    Log.AddText("one");
    Log.SetEnabled(false);
    Log.AddText("dropped");
    Log.SetEnabled(false);
    Log.SetEnabled(true);
    Log.SetEnabled(true);
    // Writing does not depend on the switch.
    Log.SetEnabled(false);
    EXPECT_EQ(WriteAndRead(),
              (std::vector<std::string>{"**** Logging Enabled", "", "one", "**** Logging Disabled", "",
                                        "**** Logging Enabled", "", "**** Logging Enabled", "",
                                        "**** Logging Disabled", ""}));
    EXPECT_TRUE(Log.IsEmpty());
}

TEST_F(DebugLog, RingWrapsEvictsAndReadsBackEveryEntryWhole)
{
    // A model of the ring: entries back to back, one byte always free.
    const uint32_t Size = 257;
    Log.SetBufferSize(Size);
    Log.SetEnabled(true);
    std::deque<std::string> Model{"**** Logging Enabled\r\n"};
    std::size_t Used = HS;
    int HeaderSplits = 0, PayloadSplits = 0, EndsAtRingEnd = 0;
    std::mt19937 Rng(3);
    for (int I = 0; I < 4000; ++I) {
        std::string Text(Rng() % (Size - HS + 8), 'a' + char(I % 26));
        if (!Text.empty())
            Text[0] = char('0' + I % 10);
        const std::size_t Need = HS + Text.size();
        const uint32_t Tail = Log.Tail();
        Log.AddText(Text);
        if (Need >= Size) {
            EXPECT_EQ(Log.Tail(), Tail) << "an entry that cannot fit is dropped";
            continue;
        }
        while (Used + Need > Size - 1) {
            Used -= HS + (Model.front() == "**** Logging Enabled\r\n" ? 0 : Model.front().size());
            Model.pop_front();
        }
        Model.push_back(Text);
        Used += Need;
        EXPECT_EQ(Log.Tail(), (Tail + Need) % Size);
        HeaderSplits += Tail + HS > Size;
        PayloadSplits += Tail + HS <= Size && Tail + Need > Size;
        EndsAtRingEnd += Tail + Need == Size;
        ASSERT_EQ((Log.Tail() + Size - Log.Head()) % Size, Used);
    }
    EXPECT_GT(HeaderSplits, 10);
    EXPECT_GT(PayloadSplits, 10);
    EXPECT_GT(EndsAtRingEnd, 0);
    const std::vector<std::string> Got = WriteAndRead();
    std::vector<std::string> Want;
    for (const std::string &T : Model) {
        if (T == "**** Logging Enabled\r\n") {
            Want.push_back("**** Logging Enabled");
            Want.push_back("");
        } else {
            Want.push_back(T);
        }
    }
    EXPECT_EQ(Got, Want);
    EXPECT_GE(Log.TempSize(), 1024u);
}

TEST_F(DebugLog, EntryEndingAtTheRingEndLeavesPositionsAtZero)
{
    const uint32_t Size = 4 * HS + 40;
    Log.SetBufferSize(Size);
    Log.SetEnabled(true);                      // [0, HS)
    Log.AddText("a");                          // [HS, 2 HS + 1)
    const uint32_t Fill = Size - (2 * HS + 1) - HS;
    Log.AddText(std::string(Fill, 'x'));       // evicts the first entry, ends at the ring's end
    EXPECT_EQ(Log.Head(), HS);
    EXPECT_EQ(Log.Tail(), 0u);
    Log.AddText("next");                       // starts at 0, evicts "a"
    EXPECT_EQ(Log.Head(), 2 * HS + 1);
    EXPECT_EQ(Log.Tail(), HS + 4);
    EXPECT_EQ(WriteAndRead(), (std::vector<std::string>{std::string(Fill, 'x'), "next"}));
    EXPECT_EQ(Log.Head(), Log.Tail());

    // Reading back a payload that ends at the ring's end leaves the read
    // position at 0, so a ring with nothing after it reads as empty.
    Log.SetBufferSize(Size + 1);
    Log.AddText("a");
    Log.AddText("b");
    const uint32_t Last = Size + 1 - 2 * (HS + 1) - HS;
    Log.AddText(std::string(Last, 'y')); // evicts "a", ends at the ring's end
    EXPECT_EQ(Log.Tail(), 0u);
    EXPECT_EQ(WriteAndRead(), (std::vector<std::string>{"b", std::string(Last, 'y')}));
    EXPECT_EQ(Log.Head(), 0u);
    EXPECT_TRUE(Log.IsEmpty());
}

TEST_F(DebugLog, CapacityRulesKeepOneByteFree)
{
    const uint32_t Size = HS + 68; // like a ring of 100 bytes with 32-bit headers
    Log.SetBufferSize(Size);
    Log.SetEnabled(true);
    Log.AddText(std::string(Size - HS, 'x')); // as large as the ring: dropped
    Log.AddText(std::string(Size - HS + 1, 'x'));
    EXPECT_EQ(Log.Tail(), HS);
    // The largest entry that fits evicts everything before it.
    Log.AddText(std::string(Size - HS - 1, 'L'));
    EXPECT_EQ((Log.Tail() + Size - Log.Head()) % Size, Size - 1);
    // The ring is full now: even an empty text evicts the large entry.
    Log.AddText("");
    EXPECT_EQ(WriteAndRead(), (std::vector<std::string>{""}));

    Log.SetBufferSize(0);
    Log.AddText("x");
    EXPECT_TRUE(Log.IsEmpty());
}

TEST_F(DebugLog, SettingTheSameBufferSizeKeepsEntriesAndANewOneEmptiesTheRing)
{
    Log.SetEnabled(true);
    Log.AddText("kept");
    Log.SetBufferSize(65536);
    EXPECT_FALSE(Log.IsEmpty());
    Log.SetBufferSize(4096);
    EXPECT_TRUE(Log.IsEmpty());
    Log.AddText("after");
    EXPECT_EQ(WriteAndRead(), (std::vector<std::string>{"after"}));
}

TEST_F(DebugLog, EntryTextsByKindAndFormatter)
{
    Log.SetEnabled(true);
    const std::string Bytes = "pay\r\nload";
    Log.AddEntry(&EchoFormatter, 7, 0x80000004u, reinterpret_cast<uintptr_t>(Bytes.data()), int32_t(Bytes.size()));
    Log.AddEntry(nullptr, 412, IpLogTelnet, 1, 251 * 256 + 1);
    Log.AddEntry(nullptr, uint32_t(-5), 9, 0xABCDEFu, 16);
    Log.AddEntry(nullptr, 1, IpLogText, 0, 10); // no bytes at all: refused
    Log.AddEntry(nullptr, 1, IpLogText, reinterpret_cast<uintptr_t>(Bytes.data()), -1);
    Log.AddText("PASS ****");
    const std::string File = (Log.WriteToFile(), ReadFile(Log.FileName()));
    const std::vector<std::string> Got = Records(File);
    EXPECT_EQ(Got, (std::vector<std::string>{"**** Logging Enabled", "", "fmt 7 80000004 [pay", "load]",
                                             "[412] Telnet WILL echo received.",
                                             "!!!! Unknown log entry : [-5][00000009][00ABCDEF][00000010]", "",
                                             "PASS ****"}));
}

TEST_F(DebugLog, HeaderAndTimeStamps)
{
    Log.SetEnabled(true);
    Log.WriteToFile();
    const std::vector<std::string> Lines = SplitCrLf(ReadFile(Log.FileName()));
    ASSERT_GE(Lines.size(), 8u);
    EXPECT_EQ(Lines[0].rfind("Tolvane socket library " + VersionText() + " compiled with ", 0), 0u) << Lines[0];
    EXPECT_GT(Lines[0].size(), std::string("Tolvane socket library  compiled with ").size() + 6);
    EXPECT_EQ(Lines[1], "Operating System : " + OSVersionText());
    EXPECT_NE(OSVersionText().find("Linux"), std::string::npos);
    EXPECT_EQ(Lines[2].rfind("Description : ", 0), 0u);
    EXPECT_TRUE(std::regex_match(Lines[3], std::regex(R"(Negotiated Version : \$[0-9A-F]{4})"))) << Lines[3];
    EXPECT_EQ(Lines[4].rfind("System Status : ", 0), 0u);
    EXPECT_EQ(Lines[5], std::string(77, '='));
    EXPECT_EQ(Lines[6], "");
    EXPECT_TRUE(std::regex_match(Lines[7], std::regex(R"(\d{4}\.\d{3} : \*\*\*\* Logging Enabled)"))) << Lines[7];

    const uint32_t T0 = Log.StartTick();
    EXPECT_EQ(Log.FormatTimeStamp(T0 + 1234), "0001.234 : ");
    EXPECT_EQ(Log.FormatTimeStamp(T0 + 12), "0000.012 : ");
    EXPECT_EQ(Log.FormatTimeStamp(T0), "0000.000 : ");
    EXPECT_EQ(Log.FormatTimeStamp(T0 + 12345678), "1234.5678 : ");

    // The elapsed time survives the wrap of the 32-bit counter.
    IpSetTickCountOffset(0u - IpGetTickCount() + 0xFFFFF000u);
    TIpDebugLog Wrapping(nullptr);
    IpSetTickCountOffset(0);
    EXPECT_GT(Wrapping.StartTick(), 0xFFFF0000u);
    EXPECT_EQ(Wrapping.FormatTimeStamp(Wrapping.StartTick() + 5000), "0005.000 : ");
}

TEST_F(DebugLog, OverwriteReplacesTheFileAndAppendAddsToIt)
{
    Log.SetEnabled(true);
    Log.AddText("first run");
    Log.WriteToFile();
    Log.AddText("second run");
    Log.WriteToFile();
    std::string File = ReadFile(Log.FileName());
    EXPECT_EQ(Records(File), (std::vector<std::string>{"second run"}));
    EXPECT_EQ(File.rfind("Tolvane socket library", 0), 0u);

    Log.SetWriteMode(wmAppend);
    Log.AddText("third run");
    Log.WriteToFile();
    File = ReadFile(Log.FileName());
    EXPECT_EQ(Records(File), (std::vector<std::string>{"second run", "third run"}));
    EXPECT_EQ(File.find("Tolvane socket library", 1), std::string::npos) << "one header only";

    // Append to a file that does not exist yet creates it with the header.
    Log.SetFileName(Dir.File("fresh.log"));
    Log.AddText("only");
    Log.WriteToFile();
    EXPECT_EQ(Records(ReadFile(Log.FileName())), (std::vector<std::string>{"only"}));
    // An empty existing file also gets the header.
    ASSERT_TRUE(WriteFile(Dir.File("empty.log"), ""));
    Log.SetFileName(Dir.File("empty.log"));
    Log.AddText("into empty");
    Log.WriteToFile();
    EXPECT_EQ(Records(ReadFile(Log.FileName())), (std::vector<std::string>{"into empty"}));
}

TEST_F(DebugLog, AFileThatCannotBeWrittenLeavesTheEntriesInTheRing)
{
    Log.SetEnabled(true);
    Log.AddText("precious");
    Log.SetFileName(Dir.File("no/such/folder/debug.log"));
    EXPECT_THROW(Log.WriteToFile(), EIpStreamError);
    EXPECT_FALSE(Log.IsEmpty());
    Log.SetFileName(Dir.Path());
    EXPECT_THROW(Log.WriteToFile(), EIpStreamError);
    Log.SetFileName(Dir.File("debug.log"));
    EXPECT_EQ(WriteAndRead(), (std::vector<std::string>{"**** Logging Enabled", "", "precious"}));
    // A full device fails the write itself.
    if (FileExists("/dev/full")) {
        Log.AddText("again");
        Log.SetFileName("/dev/full");
        EXPECT_THROW(Log.WriteToFile(), EIpStreamError);
        Log.SetFileName(Dir.File("debug.log"));
        EXPECT_EQ(WriteAndRead(), (std::vector<std::string>{"again"}));
    }
}

TEST(DebugLogTexts, TelnetEntries)
{
    EXPECT_EQ(TIpDebugLog::FormatTelnetEntry(412, 1, 251 * 256 + 1), "[412] Telnet WILL echo received.");
    EXPECT_EQ(TIpDebugLog::FormatTelnetEntry(9, 2, 252 * 256 + 0), "[9] Telnet WON'T transmit binary sent.");
    EXPECT_EQ(TIpDebugLog::FormatTelnetEntry(9, 2, 253 * 256 + 31), "[9] Telnet DO negotiate about window size sent.");
    EXPECT_EQ(TIpDebugLog::FormatTelnetEntry(9, 1, 254 * 256 + 49), "[9] Telnet DON'T FORWARD_X received.");
    EXPECT_EQ(TIpDebugLog::FormatTelnetEntry(9, 1, 250 * 256 + 43),
              "[9] Telnet [250] telnet remote serial port (RSP) received.");
    EXPECT_EQ(TIpDebugLog::FormatTelnetEntry(9, 1, 251 * 256 + 50), "[9] Telnet WILL [50] received.");
    EXPECT_EQ(TIpDebugLog::FormatTelnetEntry(9, 1, 251 * 256 + 255), "[9] Telnet WILL [255] received.");
    EXPECT_EQ(TIpDebugLog::FormatTelnetEntry(uint32_t(-1), 0x1F, 251 * 256 + 7),
              "[-1] Telnet WILL remote trans & echo [0000001F]");
}

TEST(DebugLogTexts, HexDumpLayout)
{
    EXPECT_EQ(HexDump("ABC", 3), "  000000: 41 42 43" + std::string(40, ' ') + " : ABC" + std::string(13, ' ') + "\r\n");
    EXPECT_EQ(HexDump("", 0), "");
    EXPECT_EQ(HexDump(nullptr, 5), "");

    std::string Bytes;
    for (int B : {0x00, 0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0xFF, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x0D})
        Bytes += char(B);
    const std::string Dump = HexDump(Bytes.data(), int32_t(Bytes.size()));
    EXPECT_EQ(Dump, "  000000: 00 1F 20 41 7E 7F 80 FF  30 31 32 33 34 35 36 37 : .. A~...01234567\r\n"
                    "  000010: 0D                                               : .               \r\n");
    const std::string Long(1000, 'z');
    const std::string Many = HexDump(Long.data(), 1000);
    EXPECT_EQ(Many.size(), 63u * 79);
    EXPECT_EQ(Many.substr(62 * 79, 10), "  0003E0: ");
    for (std::size_t Line = 0; Line < 63; ++Line)
        EXPECT_EQ(Many.substr(Line * 79 + 77, 2), "\r\n");
}
