// tolvane-listing STYLE [FILE]: parses a directory listing the way the client
// does and prints the entries it keeps, one tab-separated line each:
//   kind, size, owner, group, permissions (owner, group, other as three
//   octal digits, e.g. 755), time stamp, name
// Bytes of the fields that would break the line layout (backslash, tab, CR,
// LF and other control bytes) are written as C escapes.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "ftp/IpFtpList.h"
#include "tools/cli_format.h"

namespace {

const char Usage[] =
    "usage: tolvane-listing STYLE [FILE]\n"
    "       tolvane-listing -h|--help\n"
    "  STYLE  none, unix, dos, multinet, vms, mlsd or auto (the style the listing looks like)\n"
    "  FILE   listing to parse (standard input when absent)\n"
    "Prints one line per kept entry: kind, size, owner, group, permissions\n"
    "(owner, group, other as octal digits), time stamp, name; tab-separated.\n";

bool StyleFromName(const std::string &Name, TIpFtpDirStyle &Style)
{
    static const struct { const char *Name; TIpFtpDirStyle Style; } Styles[] = {
        {"none", dsNone}, {"unix", dsUnix}, {"dos", dsDos}, {"multinet", dsMultiNet}, {"vms", dsVms},
        {"mlsd", dsMlsd}, {"auto", dsAuto}};
    for (const auto &S : Styles)
        if (Name == S.Name) {
            Style = S.Style;
            return true;
        }
    return false;
}

bool ReadAll(int Fd, std::string &Out)
{
    char Buf[65536];
    for (;;) {
        const ssize_t Got = ::read(Fd, Buf, sizeof Buf);
        if (Got == 0)
            return true;
        if (Got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        Out.append(Buf, static_cast<std::size_t>(Got));
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::cout << Usage << std::flush;
        return std::cout ? 0 : 2;
    }
    if (argc < 2 || argc > 3) {
        std::cerr << Usage;
        return 2;
    }
    TIpFtpDirStyle Style = dsNone;
    if (!StyleFromName(argv[1], Style)) {
        std::cerr << "tolvane-listing: unknown style '" << argv[1]
                  << "' (expected none, unix, dos, multinet, vms, mlsd or auto)\n";
        return 2;
    }

    std::string Listing;
    const char *Source = argc == 3 ? argv[2] : "standard input";
    const int Fd = argc == 3 ? ::open(argv[2], O_RDONLY | O_CLOEXEC) : 0;
    if (Fd < 0 || !ReadAll(Fd, Listing)) {
        const int Err = errno;
        std::cerr << "tolvane-listing: cannot read '" << Source << "': " << std::strerror(Err) << "\n";
        return 2;
    }
    if (Fd != 0)
        ::close(Fd);

    TIpFtpFileList List;
    List.ParseListing(Listing, Style);

    std::string Out;
    for (std::size_t I = 0; I < List.Count(); ++I) {
        const TIpFtpFileInfo &E = *List.Items(I);
        Out.clear();
        Out += KindName(E.FileKind);
        Out += '\t';
        Out += std::to_string(E.Size);
        Out += '\t';
        Out += EscapeText(E.Owner);
        Out += '\t';
        Out += EscapeText(E.Group);
        Out += '\t';
        Out += static_cast<char>('0' + PermissionsOctalDigit(E.OwnerPerms));
        Out += static_cast<char>('0' + PermissionsOctalDigit(E.GroupPerms));
        Out += static_cast<char>('0' + PermissionsOctalDigit(E.OtherPerms));
        Out += '\t';
        Out += EscapeText(E.TimeStamp);
        Out += '\t';
        Out += EscapeText(E.FileName);
        Out += '\n';
        std::fwrite(Out.data(), 1, Out.size(), stdout);
    }
    if (std::fflush(stdout) != 0) {
        std::cerr << "tolvane-listing: error writing standard output\n";
        return 2;
    }
    return 0;
}
