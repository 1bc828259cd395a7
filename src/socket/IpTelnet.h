#pragma once
// Telnet (RFC 854) on a data socket: the receive filter that takes telnet
// commands out of the byte stream, the automatic answers to option
// requests and to the status and terminal-type subnegotiations, and the
// doubling of 0xFF in outgoing data. The data socket owns the state (the
// pending bytes and the four option sets) and sends what this unit builds.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

inline constexpr uint8_t IpTelnetIAC = 255;
inline constexpr uint8_t IpTelnetDONT = 254;
inline constexpr uint8_t IpTelnetDO = 253;
inline constexpr uint8_t IpTelnetWONT = 252;
inline constexpr uint8_t IpTelnetWILL = 251;
inline constexpr uint8_t IpTelnetSB = 250;
inline constexpr uint8_t IpTelnetSE = 240;

// Subnegotiation verbs.
inline constexpr uint8_t IpTelnetIs = 0;
inline constexpr uint8_t IpTelnetSend = 1;

// Options this side knows something about.
inline constexpr uint8_t IpTelnetOptBinary = 0;
inline constexpr uint8_t IpTelnetOptEcho = 1;
inline constexpr uint8_t IpTelnetOptSuppressGoAhead = 3;
inline constexpr uint8_t IpTelnetOptStatus = 5;
inline constexpr uint8_t IpTelnetOptTerminalType = 24;
inline constexpr uint8_t IpTelnetOptWindowSize = 31;

// The status report lists the options 0 to this one.
inline constexpr uint8_t IpTelnetStatusLastOption = 49;

// Terminal type sent when no terminal object is attached.
inline constexpr char IpTelnetDefaultTerminal[] = "dumb";

// Longest subnegotiation kept while waiting for its end. A peer that never
// ends one would otherwise make the pending buffer grow without bound; past
// this size the content is dropped and only its end is still looked for.
inline constexpr size_t IpTelnetMaxSubnegotiation = 4096;

// Debug-log entries of option commands (kind IpLogTelnet, no payload): Data
// is the direction, Len is command * 256 + option.
inline constexpr uintptr_t IpTelnetReceived = 1;
inline constexpr uintptr_t IpTelnetSent = 2;
inline constexpr int32_t IpTelnetLogLen(uint8_t Command, uint8_t Option)
{
    return int32_t(Command) * 256 + Option;
}

// One bit per option code.
using TIpTelnetOptionSet = std::bitset<256>;

// The four option sets of one socket.
struct TIpTelnetSets
{
    TIpTelnetOptionSet &LocalWilling;   // options this side agrees to enable on request
    TIpTelnetOptionSet &LocalEnabled;   // options enabled on this side
    TIpTelnetOptionSet &RemoteWilling;  // options the peer may enable
    TIpTelnetOptionSet &RemoteEnabled;  // options enabled on the peer's side
};

// Sets of a new socket: this side agrees to binary, suppress go-ahead,
// status, terminal type and window size; the peer may enable binary, echo
// and suppress go-ahead; nothing is enabled.
void IpTelnetSetDefaults(TIpTelnetSets Sets);

// The answer to one option command (WILL, WONT, DO, DONT) received.
struct TIpTelnetAnswer
{
    bool Handled = false;         // the command is one of the four
    bool Reply = false;           // send IAC ReplyCommand Option
    uint8_t ReplyCommand = 0;
    bool SendWindowSize = false;  // DO window size accepted: the size goes out before the reply
};

// Looks the command up in the option sets and updates them. No answer is
// ever given to a request that would not change anything, so two sides
// cannot loop.
TIpTelnetAnswer IpTelnetAnswerOption(TIpTelnetSets Sets, uint8_t Command, uint8_t Option);

// IAC Command Option.
std::string IpTelnetCommand(uint8_t Command, uint8_t Option);

// Data with every 0xFF doubled.
std::string IpTelnetEscape(const void *Data, size_t Len);

// IAC SB 5 IS, WILL n for each option 0..49 enabled here and DO n for each
// enabled on the peer's side, IAC SE.
std::string IpTelnetStatusReport(const TIpTelnetOptionSet &LocalEnabled, const TIpTelnetOptionSet &RemoteEnabled);
// IAC SB 24 IS name IAC SE (0xFF in the name doubled).
std::string IpTelnetTerminalTypeReply(const std::string &Name);
// IAC SB 31 size bytes IAC SE (0xFF doubled).
std::string IpTelnetWindowSizeReply(const std::string &SizeBytes);

// What to send for a received subnegotiation (the bytes between IAC SB and
// IAC SE, option code first); empty when nothing. The status report needs
// the telnet flag and the status option enabled here, the terminal type the
// terminal-type option enabled here.
std::string IpTelnetSubReply(const TIpTelnetSets &Sets, const std::string &Text, bool TelnetOn,
                             const std::string &TerminalType);

using TIpTelnetOptionHandler = std::function<bool(uint8_t Command, uint8_t Option)>;
using TIpTelnetSubHandler = std::function<void(const std::string &Text)>;

// Takes the telnet commands out of the N bytes just received and rewrites
// them in place; returns how many data bytes remain (never more than N).
// IAC IAC gives one 0xFF; option commands go to OnOption (true: a
// three-byte command was consumed; false: only IAC and the command byte
// are dropped); complete subnegotiations go to OnSub. A command or
// subnegotiation not yet complete waits in Pending for the next read.
// Every other byte, CR included, is passed on as it came.
int32_t IpTelnetFilter(std::string &Pending, uint8_t *Bytes, int32_t N, const TIpTelnetOptionHandler &OnOption,
                       const TIpTelnetSubHandler &OnSub);
