// The proxy's replies during the SOCKS 4, 4A and 5 negotiation, cut into
// arbitrary reads, in any state, with any user name and password.
//
// Input: version, start state, user code, password, destination, then
// reads (length byte + bytes).
// Checks: the reply reader never looks past the read (each read is its own
// heap block of exactly its size), consumes at most the read, leaves the
// state alone when it consumes nothing or reports a refusal, only moves
// the state forward through the documented steps, sends exactly the
// requests of those steps, and reports a grant only in state 5 with the
// destination or an address taken from the reply.

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "socket/IpSocks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    TFuzzReader In(Data, Size);
    TIpSocksServerInfo Info;
    const uint8_t Version = In.Byte() % 3;
    Info.SetSocksVersion(TIpSocksVersion(Version));
    uint8_t State = In.Byte() % 8;
    // Long credentials now and then: the requests must cap them.
    const uint8_t CredFlags = In.Byte();
    std::string User = In.Short(), Password = In.Short();
    if (CredFlags & 1)
        User.append(300, 'u');
    if (CredFlags & 2)
        Password.append(300, 'p');
    Info.SetUserCode(User);
    Info.SetPassword(Password);
    const uint32_t DestAddr = In.U32();
    const uint16_t DestPort = In.U16();
    const TSockAddrIn Dest = IpAddrFromV4(DestAddr, ntohs(DestPort));

    // The requests on their own.
    const std::string First = IpSocksFirstRequest(Info, Dest);
    if (Version == svSocks5) {
        FUZZ_CHECK(First == IpSocks5MethodOffer(), "version 5 opens with another request");
    } else {
        FUZZ_CHECK(First.size() == 9 + User.size() && First[0] == 4 && First[1] == 1 && First.back() == '\0',
                   "version 4 request of %zu bytes", First.size());
    }
    const std::string Auth = IpSocks5AuthRequest(User, Password);
    const size_t U = std::min<size_t>(User.size(), IpSocksMaxCredential);
    const size_t P = std::min<size_t>(Password.size(), IpSocksMaxCredential);
    FUZZ_CHECK(Auth.size() == 3 + U + P && uint8_t(Auth[1]) == U && uint8_t(Auth[2 + U]) == P,
               "user/password request of %zu bytes", Auth.size());

    while (!In.Empty()) {
        const std::string_view Read = In.Bytes(In.Byte());
        // Exactly the read's bytes on the heap: one byte more is an overflow.
        std::unique_ptr<uint8_t[]> Buf(Read.empty() ? nullptr : new uint8_t[Read.size()]);
        if (!Read.empty())
            std::memcpy(Buf.get(), Read.data(), Read.size());
        const int32_t N = int32_t(Read.size());
        const uint8_t Before = State;
        const TIpSocksStep S = IpSocksReply(State, Info, Dest, Buf.get(), N);

        FUZZ_CHECK(S.Consumed >= 0 && S.Consumed <= N, "consumed %d of %d", S.Consumed, N);
        FUZZ_CHECK(State >= Before && State <= 7, "state %d -> %d", Before, State);
        if (Before < IpSocksConfigured || Before >= IpSocksGranted || N == 0)
            FUZZ_CHECK(S.Action == saShort && State == Before, "reply taken in state %d (read %d)", Before, N);
        switch (S.Action) {
        case saShort:
            FUZZ_CHECK(S.Consumed == 0 && State == Before, "short read consumed %d, state %d -> %d", S.Consumed,
                       Before, State);
            break;
        case saIgnored:
            FUZZ_CHECK(State == Before && S.Consumed > 0, "ignored reply moved the state");
            break;
        case saRefused:
            FUZZ_CHECK(State == Before && S.Consumed >= 2 && S.Code == Buf[1],
                       "refusal: state %d -> %d, code %d", Before, State, S.Code);
            FUZZ_CHECK(!IpSocksRefusedText(S.Code).empty(), "no refusal text");
            break;
        case saSend:
            FUZZ_CHECK(Version == svSocks5 && State > Before && S.Consumed == 2, "send step in version %d", Version);
            if (State == IpSocksAuthSent)
                FUZZ_CHECK(S.Request == Auth, "wrong user/password request");
            else
                FUZZ_CHECK(State == IpSocksConnectSent &&
                               S.Request == IpSocks5ConnectRequest(DestAddr, DestPort),
                           "wrong connect request in state %d", State);
            break;
        case saGranted: {
            // Version 4 replies are 8 bytes; version 5 ones 10 (IPv4), 22 (IPv6)
            // or 7 plus the name's length.
            FUZZ_CHECK(State == IpSocksGranted && S.Consumed >= (Version == svSocks5 ? 7 : 8),
                       "grant in state %d after %d bytes", State, S.Consumed);
            // Version 4: port at 2, address at 4; version 5: address at 4, port at 8.
            uint32_t A = 0;
            uint16_t Pt = 0;
            bool FromReply = false;
            if (Version != svSocks5 || (Buf[3] == 1 && S.Consumed == 10)) {
                std::memcpy(&A, Buf.get() + 4, 4);
                std::memcpy(&Pt, Buf.get() + (Version == svSocks5 ? 8 : 2), 2);
                FromReply = A == S.Addr && Pt == S.Port;
            }
            FUZZ_CHECK(FromReply || (S.Addr == DestAddr && S.Port == DestPort),
                       "granted address is neither the destination nor in the reply");
            break;
        }
        default:
            FUZZ_CHECK(false, "action %d", int(S.Action));
        }
    }
    return 0;
}
