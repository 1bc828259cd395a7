#pragma once

// Small pieces of FTP protocol text handling that the client needs and that
// can be checked without any socket: path separators, reply codes, the 227
// and 257 reply texts, the PORT argument and multi-line reply assembly.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Remote paths travel with "/" on the wire and are held with "\" in the tree.
// The client sends remote names as given: ToUnixPath is for paths a user types.
std::string ToUnixPath(const std::string &Path);
std::string ToDosPath(const std::string &Path);

// Command words, fact and feature names are ASCII and case-insensitive;
// names of files are bytes and never go through these.
char AsciiUpper(char C);
char AsciiLower(char C);
bool EqualsNoCase(std::string_view A, std::string_view B);
bool StartsNoCase(std::string_view S, std::string_view Prefix);

// A command line fit to be shown or logged: the argument of PASS or ACCT
// (command word in any case) reads "****".
std::string FtpMaskedCommand(const std::string &Line);

// The reply code of one reply line: its first three characters as a decimal
// number, 0 when they are not three digits.
int FtpReplyCode(const std::string &Line);

// The text between the first "(" and the following ")" of a 227 reply; empty
// without a ")". Without a "(" it is the first run of exactly six
// comma-separated numbers in the reply (empty when there is none).
std::string FtpPasvText(const std::string &Reply);

// Turns the 227 text h1,h2,h3,h4,p1,p2 into "h1.h2.h3.h4:port" with
// port = p1 * 256 + p2. Returns false (and leaves Address empty) unless the
// text is exactly six decimal numbers of 0..255: a server must not be able to
// send us to a made-up host name or an out-of-range port.
bool FtpPasvAddress(const std::string &PasvText, std::string &Address);

// The PORT argument for a dotted IPv4 address and a port: six comma-separated
// decimal numbers (address bytes, port high byte, port low byte).
std::string FtpPortArgument(const std::string &DottedAddress, uint16_t Port);

// The port of a 229 reply: the text in its parentheses is three equal
// delimiters, the port and the delimiter again ("(|||6446|)"); the
// delimiter is any printable character but a digit. False for anything
// else, and for port 0.
bool FtpEpsvPort(const std::string &Reply, uint16_t &Port);

// The EPRT argument: "|1|1.2.3.4|port|" or "|2|::1|port|".
std::string FtpEprtArgument(const std::string &AddressText, bool V6, uint16_t Port);

// The path of a 257 reply: the text after the first double quote up to the
// next one; empty when the reply holds fewer than two double quotes.
std::string FtpQuotedPath(const std::string &Reply);
// The size a 125/150 reply announces as "(N bytes)"; -1 when it names none.
int64_t FtpAnnouncedSize(const std::string &Reply);

// Collects reply lines into complete replies. A line whose fourth character is
// "-" opens a multi-line reply that only a line beginning with the same code
// and a blank closes; the closing line is not part of the text. The collected
// text is capped so a server that streams continuation lines forever cannot
// make us hold an unbounded amount of memory.
class TIpFtpReplyAssembler {
public:
    static constexpr std::size_t MaxReplyText = 1024 * 1024;

    // Feeds one line (terminator included) with its reply code. Returns true
    // when the line completes a reply; Text() and Code() then describe it.
    bool AddLine(const std::string &Line, int Code);
    void Reset();

    bool MultiLine() const { return FMultiLine; }
    const std::string &Text() const { return FText; }
    int Code() const { return FCode; }
    // Continuation lines dropped because the text had reached MaxReplyText.
    std::size_t DroppedLines() const { return FDropped; }

private:
    bool FMultiLine = false;
    std::string FTerminator;
    std::string FText;
    int FCode = 0;
    std::size_t FDropped = 0;
};
