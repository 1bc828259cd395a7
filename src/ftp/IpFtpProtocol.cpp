#include "ftp/IpFtpProtocol.h"

#include <algorithm>
#include <vector>

std::string ToUnixPath(const std::string &Path)
{
    std::string r = Path;
    std::replace(r.begin(), r.end(), '\\', '/');
    return r;
}

std::string ToDosPath(const std::string &Path)
{
    std::string r = Path;
    std::replace(r.begin(), r.end(), '/', '\\');
    return r;
}

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int FtpReplyCode(const std::string &Line)
{
    if (Line.size() < 3 || !IsDigit(Line[0]) || !IsDigit(Line[1]) || !IsDigit(Line[2]))
        return 0;
    return (Line[0] - '0') * 100 + (Line[1] - '0') * 10 + (Line[2] - '0');
}

// The first run of exactly six comma-separated decimal numbers in Text
// (blanks allowed around the commas); empty when there is none.
static std::string SixNumberRun(const std::string &Text)
{
    const std::size_t n = Text.size();
    std::size_t i = 0;
    while (i < n) {
        if (!IsDigit(Text[i]) || (i > 0 && IsDigit(Text[i - 1]))) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        std::size_t end = i;
        int count = 0;
        for (;;) {
            while (end < n && IsDigit(Text[end]))
                ++end;
            ++count;
            std::size_t j = end;
            while (j < n && Text[j] == ' ')
                ++j;
            if (j >= n || Text[j] != ',')
                break;
            ++j;
            while (j < n && Text[j] == ' ')
                ++j;
            if (j >= n || !IsDigit(Text[j]))
                break;
            end = j;
        }
        if (count == 6)
            return Text.substr(start, end - start);
        i = end;
    }
    return std::string();
}

std::string FtpPasvText(const std::string &Reply)
{
    std::size_t open = Reply.find('(');
    // Servers that leave out the parentheses are common enough that a
    // client should look for the numbers themselves (RFC 1123 4.1.2.6).
    if (open == std::string::npos)
        return SixNumberRun(Reply);
    std::size_t close = Reply.find(')', open + 1);
    if (close == std::string::npos)
        return std::string();
    return Reply.substr(open + 1, close - open - 1);
}

// A decimal number of 1 to 3 digits in 0..255, surrounding blanks allowed
// (some servers write "h1, h2, ...").
static bool ByteField(const std::string &Text, int &Value)
{
    std::size_t b = Text.find_first_not_of(' ');
    std::size_t e = Text.find_last_not_of(' ');
    if (b == std::string::npos)
        return false;
    std::string t = Text.substr(b, e - b + 1);
    if (t.empty() || t.size() > 3 || !std::all_of(t.begin(), t.end(), IsDigit))
        return false;
    Value = std::stoi(t);
    return Value <= 255;
}

bool FtpPasvAddress(const std::string &PasvText, std::string &Address)
{
    Address.clear();
    std::vector<int> v;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = PasvText.find(',', start);
        std::string field = PasvText.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        int n = 0;
        if (!ByteField(field, n))
            return false;
        v.push_back(n);
        if (comma == std::string::npos)
            break;
        if (v.size() == 6)
            return false;
        start = comma + 1;
    }
    if (v.size() != 6)
        return false;
    Address = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
              std::to_string(v[3]) + ":" + std::to_string(v[4] * 256 + v[5]);
    return true;
}

std::string FtpPortArgument(const std::string &DottedAddress, uint16_t Port)
{
    std::string r = DottedAddress + "." + std::to_string(Port / 256) + "." + std::to_string(Port % 256);
    std::replace(r.begin(), r.end(), '.', ',');
    return r;
}

bool FtpEpsvPort(const std::string &Reply, uint16_t &Port)
{
    Port = 0;
    const std::size_t Open = Reply.find('(');
    if (Open == std::string::npos)
        return false;
    const std::size_t Close = Reply.find(')', Open + 1);
    if (Close == std::string::npos || Close - Open - 1 < 5)
        return false;
    const std::string Inner = Reply.substr(Open + 1, Close - Open - 1);
    const char D = Inner[0];
    if (D < 33 || D > 126 || IsDigit(D) || Inner[1] != D || Inner[2] != D || Inner.back() != D)
        return false;
    const std::string Digits = Inner.substr(3, Inner.size() - 4);
    if (Digits.empty() || Digits.size() > 5 || !std::all_of(Digits.begin(), Digits.end(), IsDigit))
        return false;
    const unsigned long V = std::stoul(Digits);
    if (V == 0 || V > 65535)
        return false;
    Port = static_cast<uint16_t>(V);
    return true;
}

std::string FtpEprtArgument(const std::string &AddressText, bool V6, uint16_t Port)
{
    return std::string(V6 ? "|2|" : "|1|") + AddressText + "|" + std::to_string(Port) + "|";
}

std::string FtpQuotedPath(const std::string &Reply)
{
    std::size_t first = Reply.find('"');
    if (first == std::string::npos)
        return std::string();
    std::size_t second = Reply.find('"', first + 1);
    if (second == std::string::npos)
        return std::string();
    return Reply.substr(first + 1, second - first - 1);
}

int64_t FtpAnnouncedSize(const std::string &Reply)
{
    const std::size_t Tail = Reply.rfind(" bytes)");
    if (Tail == std::string::npos)
        return -1;
    const std::size_t Open = Reply.rfind('(', Tail);
    if (Open == std::string::npos || Tail - Open - 1 == 0 || Tail - Open - 1 > 18)
        return -1;
    int64_t N = 0;
    for (std::size_t i = Open + 1; i < Tail; ++i) {
        if (!IsDigit(Reply[i]))
            return -1;
        N = N * 10 + (Reply[i] - '0');
    }
    return N;
}

void TIpFtpReplyAssembler::Reset()
{
    FMultiLine = false;
    FTerminator.clear();
    FText.clear();
    FCode = 0;
    FDropped = 0;
}

bool TIpFtpReplyAssembler::AddLine(const std::string &Line, int Code)
{
    if (FMultiLine) {
        if (Line.compare(0, FTerminator.size(), FTerminator) != 0) {
            if (FText.size() + Line.size() <= MaxReplyText)
                FText += Line;
            else
                ++FDropped;
            return false;
        }
        FMultiLine = false;
        FCode = Code;
        return true;
    }
    FText = Line;
    FCode = Code;
    FDropped = 0;
    // Only a line that starts with a real three-digit code opens a block: a
    // garbage line with "-" in fourth place would otherwise swallow every
    // later reply while waiting for a terminator no server ever sends.
    if (Line.size() >= 4 && Line[3] == '-' && FtpReplyCode(Line) != 0) {
        FMultiLine = true;
        FTerminator = Line.substr(0, 3) + " ";
        return false;
    }
    return true;
}

char AsciiUpper(char C)
{
    return (C >= 'a' && C <= 'z') ? static_cast<char>(C - ('a' - 'A')) : C;
}

char AsciiLower(char C)
{
    return (C >= 'A' && C <= 'Z') ? static_cast<char>(C + ('a' - 'A')) : C;
}

bool EqualsNoCase(std::string_view A, std::string_view B)
{
    if (A.size() != B.size())
        return false;
    for (std::size_t I = 0; I < A.size(); ++I)
        if (AsciiLower(A[I]) != AsciiLower(B[I]))
            return false;
    return true;
}

bool StartsNoCase(std::string_view S, std::string_view Prefix)
{
    return S.size() >= Prefix.size() && EqualsNoCase(S.substr(0, Prefix.size()), Prefix);
}

std::string FtpMaskedCommand(const std::string &Line)
{
    if (Line.size() <= 5 || Line[4] != ' ')
        return Line;
    const std::string_view Word = std::string_view(Line).substr(0, 4);
    return EqualsNoCase(Word, "PASS") || EqualsNoCase(Word, "ACCT") ? Line.substr(0, 5) + "****" : Line;
}
