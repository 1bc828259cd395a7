#pragma once
// Text that tolvane-cli shows: listing lines, one-line messages made from
// server replies, the progress line. Everything that came from the server is
// escaped so that it cannot move the cursor or break a line.

#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/IpFtpList.h"

// Backslash, tab and control bytes (below 32, and 127) as C escapes, and
// the C1 controls as \xNN: bytes 0x80-0x9F that are not part of well-formed
// UTF-8, and U+0080-U+009F encoded in UTF-8 (both bytes). Other bytes,
// well-formed UTF-8 text among them, are unchanged.
std::string EscapeText(std::string_view S);

// A reply (possibly several lines) as one line: line ends become blanks,
// leading and trailing blanks go, control bytes are escaped, and very long
// texts are cut.
std::string OneLine(std::string_view Text);

// "file", "dir", "link" or "unknown".
const char *KindName(TIpFtpFileKind Kind);
// Owner, group, other as "rwxr-x---".
std::string PermissionText(const TIpFtpFileInfo &Entry);
// kind TAB permissions TAB size TAB time TAB name (escaped), and for a
// link whose target is known TAB target. The time is ISO 8601 in UTC when
// the listing gives it in UTC, else the listing's own text.
std::string FormatEntry(const TIpFtpFileInfo &Entry);
// Seconds since 1970 UTC as "2024-01-15T10:30:00Z".
std::string UtcTimeText(int64_t Seconds);

// The listing style named by a system reply ("215 UNIX Type: L8"): the
// second word upper-cased holding WIND, UNIX or VMS; dsNone otherwise.
TIpFtpDirStyle StyleFromSystemReply(std::string_view Reply);
// For servers that do not say: the style the first listing line looks like
// (Unix permissions, a DOS date, MLSD facts), dsNone when none.
TIpFtpDirStyle GuessStyle(std::string_view Listing);

// "N bytes" in the text of a 150 reply ("... (1234 bytes)."); -1 when absent.
int64_t SizeFromReply(std::string_view Reply);

// "12.5 MiB of 1.0 GiB   34%  56.7 MB/s": Done is the position in the file,
// Moved the bytes this connection carried in Seconds (the rate). Total < 0
// leaves out the total and the percentage.
std::string ProgressText(uint64_t Done, int64_t Total, uint64_t Moved, double Seconds);
// 1536 -> "1.5 KiB".
std::string SizeText(uint64_t Bytes);
