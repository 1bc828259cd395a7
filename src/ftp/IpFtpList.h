#pragma once
// Directory listings: the token splitter, one parsed listing entry and the
// list of entries the folder tree owns.
//
// Parsing never throws on malformed text: missing columns leave defaults,
// columns that are not numbers give fallbacks, and lines that yield no known
// kind, an empty name, or the name "." or ".." are left out of the list.
// Names are the server's bytes exactly as listed (runs of blanks, leading
// and trailing blanks included): a name that is changed on the way leads to
// another file, or none.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/IpComponent.h"
#include "base/IpUtils.h"

enum TIpFtpFileKind : uint8_t { fkFile, fkDirectory, fkLink, fkUnknown };

enum TIpFtpPermission : uint8_t { prRead, prWrite, prExecute };
// Read 1, write 2, execute 4.
using TIpFtpPermissions = TIpSet<TIpFtpPermission, uint8_t>;

// The chmod digit of a permission set (read 4, write 2, execute 1); note the
// bit order differs from the set's own value.
int PermissionsOctalDigit(TIpFtpPermissions Perms);

// dsMlsd parses MLSD lines (facts, then the name). dsAuto is a choice for
// the folder tree, not a parser: the client lists with MLSD when the server
// offers it, else with LIST in the style of its system name or, failing
// that, the style the listing looks like.
enum TIpFtpDirStyle : uint8_t { dsNone, dsUnix, dsDos, dsMultiNet, dsVms, dsUser, dsMlsd, dsAuto };

// The style a listing's first entry line looks like: dsMlsd, dsUnix or
// dsDos; dsNone when it looks like none of them.
TIpFtpDirStyle GuessListingStyle(std::string_view Listing);

class TIpFtpFileInfo;

// Application parser for one listing line. Sender and FtpFileInfo are both the
// entry being made; Info is the line. The handler fills the entry's fields.
using TIpUserParseStyleEvent =
    std::function<void(TObject *Sender, const std::string &Info, TIpFtpFileInfo *FtpFileInfo)>;

// The trimmed pieces of Text between occurrences of Delimiter. Pieces that are
// empty before trimming are skipped; trimming removes every byte of code 32 or
// less from both ends, so a piece of only blanks or control bytes becomes an
// empty string. After a match the scan resumes one byte after its start, so
// for a two-byte delimiter (CR LF) the second byte begins the next piece. An
// empty Delimiter never matches.
std::vector<std::string> SplitTokens(std::string_view Text, std::string_view Delimiter);

// The blank-separated tokens of one listing line, with exactly the rules of
// SplitTokens(Line, " ") (tabs do not separate). It keeps the count and the
// first few tokens as views into the line and walks the line again for the
// rest, so a hostile line with millions of tokens costs no memory beyond the
// line itself. The line must outlive the list.
class TIpTokenList
{
public:
    TIpTokenList() = default;
    explicit TIpTokenList(std::string_view Line) { Assign(Line); }

    void Assign(std::string_view Line);
    std::size_t Count() const { return FCount; }
    // Token Index (< Count()); an empty view beyond the end.
    std::string_view operator[](std::size_t Index) const;
    // Appends tokens From.. joined by one blank to Out (which is replaced),
    // stopping before the first token equal to StopAt when StopAt is given.
    void Join(std::size_t From, std::string &Out, std::string_view StopAt = {}) const;
    // What follows token Index (< the kept tokens) and the one blank after
    // it, up to the end of the line; empty when nothing does.
    std::string_view After(std::size_t Index) const;
    std::string_view Line() const { return FLine; }

private:
    static constexpr std::size_t KeptTokens = 10;
    std::string_view FLine;
    std::size_t FCount = 0;
    std::size_t FResume = 0; // line offset just past the last kept token
    std::array<std::string_view, KeptTokens> FFirst{};
};

// One entry of a directory listing.
class TIpFtpFileInfo : public TObject
{
public:
    // An entry with the defaults (no name, unknown kind, owner and group
    // "Unknown").
    TIpFtpFileInfo();
    // Makes one entry from one listing line. An assigned OnParseStyle handler
    // takes precedence over Style; dsNone and dsUser keep the line as the name.
    TIpFtpFileInfo(std::string_view Info, const TIpUserParseStyleEvent &OnParseStyle,
                   TIpFtpDirStyle Style);
    ~TIpFtpFileInfo() override;

    std::string FileName;
    TIpFtpFileKind FileKind = fkUnknown;
    std::string Group = "Unknown";
    std::string LinkPath; // a link's target, when the listing names it
    std::string Owner = "Unknown";
    TIpFtpPermissions OwnerPerms;
    TIpFtpPermissions GroupPerms;
    TIpFtpPermissions OtherPerms;
    int64_t Size = 0; // never negative from the built-in parsers
    std::string TimeStamp;
    // Seconds since 1970-01-01 UTC when the listing gives the time in UTC
    // (MLSD's modify fact); -1 otherwise.
    int64_t ModifyTime = -1;
    // The mode bits (07777) when the listing gives them all; -1 otherwise.
    int UnixMode = -1;
    // MLSD's perm fact as sent (what the user may do: r, w, a, d, f, c, e,
    // l, m, p); empty when not given.
    std::string PermFacts;

    // The per-style parsers, each over the tokens of one line. They only set
    // the fields their style provides.
    void ParseUnixLine(const TIpTokenList &Tokens);
    void ParseDosLine(const TIpTokenList &Tokens);
    void ParseMultiNetLine(const TIpTokenList &Tokens);
    void ParseVmsLine(const TIpTokenList &Tokens);
    // One MLSD line (IpFtpMlsd.cpp): the entry's facts and its name. The
    // kind stays unknown for the folder itself, its parent, kinds that are
    // neither file, folder nor link, and a line without a name.
    void ParseMlsdLine(std::string_view Line);

private:
    friend class TIpFtpFileList;
    // Back to the defaults, keeping the strings' storage for the next line.
    void Reset();
    // Fills a defaulted entry from Info. Line is where the handler's copy of
    // the line goes (only used when a handler is assigned).
    void Load(std::string_view Info, const TIpUserParseStyleEvent &OnParseStyle,
              TIpFtpDirStyle Style, TIpTokenList &Tokens, std::string &Line);
};

// The entries of one listing; it owns them. Entries keep their addresses
// until the list is cleared or refilled, so list-box items may point at them.
class TIpFtpFileList
{
public:
    TIpFtpFileList();
    ~TIpFtpFileList();
    TIpFtpFileList(const TIpFtpFileList &) = delete;
    TIpFtpFileList &operator=(const TIpFtpFileList &) = delete;

    // Empties the list and refills it from a whole listing. Lines end at LF,
    // with an optional CR before it. Entries whose kind stays unknown (unless
    // Style is dsNone), whose name is empty, "." or ".." are left out; names
    // beginning with "." are kept (hiding them is the viewer's choice).
    // dsAuto parses in the style the listing looks like (Unix when none). Returns whether the list holds at least one entry. Exceptions
    // of the handler leave here; the list then holds the entries made so far.
    bool ParseListing(std::string_view Listing, TIpFtpDirStyle Style,
                      const TIpUserParseStyleEvent &OnParseStyle = {});
    // Frees every entry.
    void Clear();

    std::size_t Count() const { return FCount; }
    // Throws std::out_of_range for an index not below Count().
    TIpFtpFileInfo *Items(std::size_t Index) const;
    TIpFtpFileInfo *operator[](std::size_t Index) const { return Items(Index); }

private:
    // Entries live in fixed blocks, so adding one neither moves the others
    // nor costs an allocation of its own.
    static constexpr std::size_t BlockSize = 64;
    TIpFtpFileInfo *Slot(std::size_t Index);

    std::vector<std::unique_ptr<TIpFtpFileInfo[]>> FBlocks;
    std::size_t FCount = 0;
};
