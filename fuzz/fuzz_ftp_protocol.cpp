// The protocol texts of the control connection that need no socket: the
// 227 reply's address, the "PORT " argument, reply codes, the 257 path and
// the multi-line reply assembler.
//
// Input: a selector byte, then what that part needs.
// Checks: a 227 text is accepted only as six numbers 0..255 and then gives
// an address a.b.c.d:port that the PORT builder turns back into the same
// six numbers; the PORT argument of any IPv4 address and port is six
// numbers 0..255 that read back to that address and port; reply codes are
// 0 or the three leading digits; the 227 and 257 texts are pieces of the
// reply; the assembled reply text never passes its limit (beyond one line),
// and a completed reply carries the code of its last line.

#include <arpa/inet.h>
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ftp/IpFtpProtocol.h"

namespace {

// "a.b.c.d:port" with every part in range; the numbers come back in V.
bool ReadAddress(const std::string &A, unsigned V[5])
{
    char Tail = 0;
    if (std::sscanf(A.c_str(), "%u.%u.%u.%u:%u%c", &V[0], &V[1], &V[2], &V[3], &V[4], &Tail) != 5)
        return false;
    return V[0] < 256 && V[1] < 256 && V[2] < 256 && V[3] < 256 && V[4] < 65536;
}

void CheckPortArgument(const std::string &Dotted, uint16_t Port)
{
    const std::string Arg = FtpPortArgument(Dotted, Port);
    std::string Back;
    FUZZ_CHECK(FtpPasvAddress(Arg, Back), "PORT argument '%s' is not six byte numbers", Arg.c_str());
    FUZZ_CHECK(Back == Dotted + ":" + std::to_string(Port), "PORT argument '%s' reads back as '%s'", Arg.c_str(),
               Back.c_str());
}

void Pasv(const std::string &Reply)
{
    const std::string Text = FtpPasvText(Reply);
    FUZZ_CHECK(Reply.find(Text) != std::string::npos, "227 text is not part of the reply");
    std::string Address = "stale";
    const bool Ok = FtpPasvAddress(Text, Address);
    if (!Ok) {
        FUZZ_CHECK(Address.empty(), "refused 227 text left address '%s'", Address.c_str());
        return;
    }
    unsigned V[5];
    FUZZ_CHECK(ReadAddress(Address, V), "227 gave address '%s'", Address.c_str());
    const std::string Dotted = Address.substr(0, Address.find(':'));
    CheckPortArgument(Dotted, uint16_t(V[4]));
}

void Codes(const std::string &Reply)
{
    const int Code = FtpReplyCode(Reply);
    const bool Digits = Reply.size() >= 3 && isdigit((unsigned char)Reply[0]) && isdigit((unsigned char)Reply[1]) &&
                        isdigit((unsigned char)Reply[2]);
    FUZZ_CHECK(Digits ? Code == std::stoi(Reply.substr(0, 3)) : Code == 0, "code %d of '%.10s'", Code,
               Reply.c_str());
    const std::string Path = FtpQuotedPath(Reply);
    FUZZ_CHECK(Path.size() + 2 <= Reply.size() || Path.empty(), "257 path longer than the reply");
    FUZZ_CHECK(Path.find('"') == std::string::npos, "257 path holds a quote");
    const std::string U = ToUnixPath(Reply), D = ToDosPath(Reply);
    FUZZ_CHECK(U.size() == Reply.size() && D.size() == Reply.size() && U.find('\\') == std::string::npos &&
                   D.find('/') == std::string::npos,
               "path separator conversion");
}

// Lines (terminator kept) fed one by one; a line may be repeated many
// times so that the text limit is reached.
void Assemble(TFuzzReader &In)
{
    TIpFtpReplyAssembler R;
    size_t LongestLine = 0;
    while (!In.Empty()) {
        const uint8_t Op = In.Byte();
        std::string Line(In.Bytes(In.Byte()));
        if (Op & 1)
            Line += "\r\n";
        size_t Repeat = 1;
        if ((Op & 0xC0) == 0xC0)
            Repeat = In.U16() % 20000;
        if (Op == 0xFF)
            R.Reset();
        for (size_t I = 0; I < Repeat; ++I) {
            const int Code = FtpReplyCode(Line);
            LongestLine = std::max(LongestLine, Line.size());
            const bool Done = R.AddLine(Line, Code);
            FUZZ_CHECK(R.Text().size() <= std::max(TIpFtpReplyAssembler::MaxReplyText, LongestLine),
                       "reply text of %zu bytes", R.Text().size());
            if (Done) {
                FUZZ_CHECK(!R.MultiLine(), "completed reply still multi-line");
                FUZZ_CHECK(R.Code() == Code, "completed reply has code %d, its last line %d", R.Code(), Code);
            } else {
                FUZZ_CHECK(R.MultiLine(), "open reply that is not multi-line");
                FUZZ_CHECK(R.Code() != 0, "multi-line reply opened by a line without a code");
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    switch (In.Byte() % 4) {
    case 0:
        Pasv(std::string(In.Rest()));
        break;
    case 1: {
        in_addr A;
        A.s_addr = In.U32();
        const uint16_t Port = In.U16();
        CheckPortArgument(inet_ntoa(A), Port);
        break;
    }
    case 2:
        Codes(std::string(In.Rest()));
        break;
    default:
        Assemble(In);
        break;
    }
    return 0;
}
