// The debug log's ring with what a peer sends in it: received and sent
// bytes as payload entries, text lines (replies, commands) and telnet
// option entries, in a small ring so that entries are evicted and split
// across the ring's end, written out now and then.
//
// Input: ring size, write mode, then operations (add a data, text or telnet
// entry; switch logging; write the file; resize the ring).
// Checks: head and tail stay inside the ring; the scratch space stays
// within the largest ring's size; after writing, the ring is empty and the file
// holds the newest stored entry's text exactly as its formatter makes it
// from the original bytes (so a payload split across the ring's end comes
// back whole).

#include <QCoreApplication>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "FuzzSupport.h"
#include "base/IpDebugLog.h"
#include "socket/IpSock.h"
#include "socket/IpSockControl.h"

namespace {

std::string LogFile;
const uint32_t DataKinds[] = {IpLogRead, IpLogWrite, IpLogRecvApi, IpLogSendApi};

std::string ReadFile(const std::string &Name)
{
    std::ifstream F(Name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(F), std::istreambuf_iterator<char>());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *Argc, char ***Argv)
{
    static QCoreApplication App(*Argc, *Argv);
    char Template[] = "/tmp/tolvane-fuzz-log-XXXXXX";
    FUZZ_CHECK(::mkdtemp(Template) != nullptr, "mkdtemp failed");
    LogFile = std::string(Template) + "/debug.log";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    ::unlink(LogFile.c_str());
    TIpDebugLog Log(nullptr);
    Log.SetBufferSize(TIpDebugLog::HeaderSize + 1 + In.U16() % 2048);
    Log.SetWriteMode(In.Bool() ? wmAppend : wmOverwrite);
    Log.SetFileName(LogFile);
    Log.SetEnabled(true);

    // Text of the newest entry the ring took (empty when it was dropped).
    std::string Newest;
    size_t LargestRing = Log.BufferSize();
    while (!In.Empty()) {
        const uint8_t Op = In.Byte();
        const uint32_t Before = Log.BufferSize();
        switch (Op % 6) {
        case 0:
        case 1: {
            const std::string Payload = In.Short();
            const uint32_t Kind = DataKinds[Op / 6 % 4];
            Log.AddEntry(&TIpSockControl::FormatLogEntry, 7, Kind, reinterpret_cast<uintptr_t>(Payload.data()),
                         int32_t(Payload.size()));
            // Traffic larger than an eighth of the ring keeps its head,
            // followed by a note of its full size.
            const int64_t Limit = int64_t(Before / 8) - int64_t(TIpDebugLog::HeaderSize);
            if (Log.Enabled() && Limit > 0 && int64_t(Payload.size()) > Limit) {
                const std::string Note = "  (" + std::to_string(Payload.size()) + " bytes in all; the first " +
                                         std::to_string(Limit) + " shown)";
                if (TIpDebugLog::HeaderSize + Note.size() < Before)
                    Newest = Note;
                else
                    Newest.clear();
            } else if (Log.Enabled() && TIpDebugLog::HeaderSize + Payload.size() < Before) {
                TIpSockControl::FormatLogEntry(7, Kind, reinterpret_cast<uintptr_t>(Payload.data()),
                                               int32_t(Payload.size()), Newest);
            }
            break;
        }
        case 2: {
            const std::string Text = In.Short();
            Log.AddText(Text);
            if (Log.Enabled() && TIpDebugLog::HeaderSize + Text.size() < Before)
                Newest = Text;
            break;
        }
        case 3: {
            const uint8_t Command = In.Byte(), Option = In.Byte();
            const uintptr_t Direction = (Op & 0x80) ? 2 : 1;
            Log.AddEntry(nullptr, 9, IpLogTelnet, Direction, Command * 256 + Option);
            if (Log.Enabled())
                Newest = TIpDebugLog::FormatTelnetEntry(9, Direction, Command * 256 + Option);
            break;
        }
        case 4:
            if (Op & 0x80) {
                Log.SetEnabled(!Log.Enabled());
                Newest.clear(); // the switch entry itself is the newest now
            } else {
                Log.WriteToFile();
                FUZZ_CHECK(Log.IsEmpty(), "ring not empty after writing");
                const std::string File = ReadFile(LogFile);
                if (!Newest.empty())
                    FUZZ_CHECK(File.find(Newest) != std::string::npos, "newest entry's text missing from the file");
                Newest.clear();
            }
            break;
        default:
            Log.SetBufferSize(TIpDebugLog::HeaderSize + 1 + In.U16() % 2048);
            LargestRing = std::max<size_t>(LargestRing, Log.BufferSize());
            Newest.clear();
            break;
        }
        FUZZ_CHECK(Log.Head() < Log.BufferSize() && Log.Tail() < Log.BufferSize(), "head %u tail %u of %u",
                   Log.Head(), Log.Tail(), Log.BufferSize());
        FUZZ_CHECK(Log.TempSize() <= std::max<size_t>(1024, LargestRing), "scratch of %zu bytes",
                   Log.TempSize());
    }
    Log.SetEnabled(false);
    return 0;
}
