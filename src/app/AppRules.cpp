#include "app/AppRules.h"

#include <sys/stat.h>

#include <QList>
#include <QStringDecoder>
#include <QStringList>

#include <charconv>

#include "base/IpAddress.h"

std::string RemoteFolderCaption(const std::string &Info)
{
    if (Info == "/")
        return Info;
    return Info + "/";
}

std::string RemoteNameOfLocalPath(const std::string &LocalPath)
{
    const size_t Slash = LocalPath.find_last_of('/');
    return Slash == std::string::npos ? LocalPath : LocalPath.substr(Slash + 1);
}

std::string JoinDefaultRemote(const std::string &DefRemote, const std::string &Name)
{
    if (DefRemote.empty())
        return "/" + Name;
    if (DefRemote.back() == '/')
        return DefRemote + Name;
    return DefRemote + "/" + Name;
}

std::string JoinLocalPath(const std::string &Folder, const std::string &Name)
{
    if (!Folder.empty() && Folder.back() == '/')
        return Folder + Name;
    return Folder + "/" + Name;
}

std::string ItemExtension(const std::string &Name)
{
    const size_t Dot = Name.find_last_of('.');
    if (Dot == std::string::npos)
        return std::string();
    if (Name.find_first_of("\\:/", Dot + 1) != std::string::npos)
        return std::string();
    return Name.substr(Dot);
}

bool IsSafeLocalName(const std::string &Name)
{
    if (Name.empty() || Name == "." || Name == "..")
        return false;
    return Name.find('/') == std::string::npos && Name.find('\0') == std::string::npos;
}

int64_t ParseRestartOffset(const std::string &Text)
{
    size_t Begin = 0, End = Text.size();
    while (Begin < End && (Text[Begin] == ' ' || Text[Begin] == '\t'))
        ++Begin;
    while (End > Begin && (Text[End - 1] == ' ' || Text[End - 1] == '\t'))
        --End;
    int64_t Value = 0;
    const char *First = Text.data() + Begin;
    const char *Last = Text.data() + End;
    if (First != Last && *First == '+')
        ++First;
    const auto [Ptr, Ec] = std::from_chars(First, Last, Value);
    if (Ec != std::errc() || Ptr != Last || Value < 0)
        return 0;
    return Value;
}

int64_t LocalFileSize(const std::string &Path)
{
    struct stat St;
    if (::stat(Path.c_str(), &St) != 0)
        return -1;
    return static_cast<int64_t>(St.st_size);
}

bool IsRegularFile(const std::string &Path)
{
    struct stat St;
    return ::stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode);
}

bool IsLocalFolder(const std::string &Path)
{
    struct stat St;
    return ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

namespace {

bool NeedsEscape(char32_t C)
{
    if (C < 0x20 || C == 0x7F || (C >= 0x80 && C <= 0x9F))
        return true;
    // Direction marks, embeddings, overrides and isolates reorder what
    // follows them; zero-width characters hide inside a name; line and
    // paragraph separators break a one-line label.
    return (C >= 0x200B && C <= 0x200F) || C == 0xFEFF || (C >= 0x202A && C <= 0x202E) ||
           (C >= 0x2066 && C <= 0x2069) || C == 0x2028 || C == 0x2029 || C == 0x061C;
}

} // namespace

QString DisplayName(const std::string &Bytes)
{
    bool Plain = true;
    for (const unsigned char B : Bytes)
        if (B < 0x20 || B >= 0x7F) {
            Plain = false;
            break;
        }
    if (Plain)
        return QString::fromLatin1(Bytes.data(), static_cast<qsizetype>(Bytes.size()));

    static const char Hex[] = "0123456789ABCDEF";
    // fromUtf8 would drop a byte order mark at the start without a trace.
    QStringDecoder Decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    const QString Decoded = Decoder(QByteArrayView(Bytes.data(), static_cast<qsizetype>(Bytes.size())));
    QString Shown;
    Shown.reserve(Decoded.size() + 8);
    for (const char32_t C : Decoded.toUcs4()) {
        if (!NeedsEscape(C)) {
            Shown.append(QString::fromUcs4(&C, 1));
            continue;
        }
        const int Digits = C <= 0xFF ? 2 : 4;
        Shown.append(Digits == 2 ? QLatin1String("\\x") : QLatin1String("\\u"));
        for (int Shift = (Digits - 1) * 4; Shift >= 0; Shift -= 4)
            Shown.append(QLatin1Char(Hex[(C >> Shift) & 0xF]));
    }
    return Shown;
}

QString ReplyForPeople(const std::string &Text)
{
    QStringList Lines;
    size_t Start = 0;
    while (Start < Text.size()) {
        size_t End = Text.find('\n', Start);
        if (End == std::string::npos)
            End = Text.size();
        std::string Line = Text.substr(Start, End - Start);
        if (!Line.empty() && Line.back() == '\r')
            Line.pop_back();
        if (!Line.empty())
            Lines.append(DisplayName(Line));
        Start = End + 1;
    }
    return Lines.join(QLatin1Char(' '));
}

QString HostForPeople(const std::string &Typed, uint16_t DefaultPort)
{
    std::string Host;
    std::string Port;
    if (!IpSplitHostPort(Typed, Host, Port) || Host.find(':') == std::string::npos)
        return DisplayName(Typed);
    unsigned Number = DefaultPort;
    if (!Port.empty()) {
        const auto [End, Error] = std::from_chars(Port.data(), Port.data() + Port.size(), Number);
        if (Error != std::errc() || End != Port.data() + Port.size() || Number > 65535)
            return DisplayName(Typed);
    }
    return QString::fromStdString(IpHostPortText(Host, static_cast<uint16_t>(Number)));
}
