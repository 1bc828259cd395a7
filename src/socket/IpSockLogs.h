#pragma once
// The socket control's only contact with the debug and event logs: creating
// them, adding entries, writing them out. Keeping it in one place keeps the
// rest of the socket layer independent of the logs' details.

#include <cstdint>
#include <memory>
#include <string>

#include "base/IpUtils.h"

#include "socket/IpSockControl.h"

TIpDebugLog *IpCreateDebugLog(TIpSockControl *Owner);
TIpEventLog *IpCreateEventLog(TIpSockControl *Owner);
void IpDebugLogAdd(TIpDebugLog *Log, TIpLogFormatter Formatter, uint32_t Value, uint32_t Kind,
                   const void *Data, int32_t Len);
void IpEventLogWrite(TIpEventLog *Log, const std::string &Text);
// Writes the ring to its file when it holds entries (the control's end).
void IpWriteDebugLogIfAny(TIpDebugLog *Log);
