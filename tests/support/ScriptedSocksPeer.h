#pragma once

#include "support/ScriptedPeer.h"

// A SOCKS proxy that follows a script of exact bytes (steps in
// ScriptedPeer.h). Write the bytes with Hex() so that a test reads like the
// protocol:
//
//   TScriptedSocksPeer proxy;
//   proxy.ExpectBytes(Hex("05 01 00")).SendBytes(Hex("05 00"))
//        .ExpectBytes(Hex("05 01 00 01 7f 00 00 01") + PortBytes(21))
//        .SendBytes(Hex("05 00 00 01 7f 00 00 01 00 15") + "220 hi\r\n"); // reply and destination bytes in one write
//   ... the client connects to 127.0.0.1:proxy.Port() ...
//   ASSERT_TRUE(proxy.WaitDone(5000));
//   EXPECT_EQ(HexDump(proxy.ReceivedBytes()), "05 01 00 ...");
//
// After the handshake the peer can go on as the destination server with the
// line steps (Expect, Send, ...); SendBytesSplit() cuts a reply into several
// writes.
class TScriptedSocksPeer : public TScriptedPeer
{
public:
    TScriptedSocksPeer() = default;
};

// A port in network byte order (two bytes), as in SOCKS requests and replies.
std::string PortBytes(uint16_t port);
