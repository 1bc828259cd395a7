#pragma once

#include "support/ScriptedPeer.h"

// An FTP server that follows a script, for exact command sequences and
// hostile replies (every step is described in ScriptedPeer.h):
//
//   TScriptedFtpServer srv;
//   srv.Login("bob", "x").Reply("TYPE I", "200 ok")
//      .ExpectPasv().Expect("RETR f").Send("150 go")
//      .AcceptData().SendData("abc").CloseData().Send("226 done");
//   client.Login(... "127.0.0.1", srv.Port() ...);
//   ASSERT_TRUE(srv.WaitDone(5000));          // runs the event loop meanwhile
//   EXPECT_EQ(srv.Received()[0], "USER bob");
//
// Hostile replies: SendRaw("no number\r\n"), Send(std::string(100000, 'x')),
// SendRaw(std::string("2\0\xff\r\n", 5)), Reset(), RefusePassive(), ...
class TScriptedFtpServer : public TScriptedPeer
{
public:
    explicit TScriptedFtpServer(bool ipv6 = false) : TScriptedPeer(ipv6) {}
};
