#include "socket/IpSockLogs.h"

#include "base/IpDebugLog.h"
#include "base/IpEventLog.h"

TIpDebugLog *IpCreateDebugLog(TIpSockControl *Owner)
{
    return new TIpDebugLog(Owner);
}

TIpEventLog *IpCreateEventLog(TIpSockControl *Owner)
{
    auto *Log = new TIpEventLog(Owner);
    Log->SetDateTimeFormat("yyyy.mm.dd hh:nn:ss");
    Log->SetFileName("event.log");
    return Log;
}

void TIpDebugLogDeleter::operator()(TIpDebugLog *Log) const
{
    delete Log;
}

void TIpEventLogDeleter::operator()(TIpEventLog *Log) const
{
    delete Log;
}

void IpDebugLogAdd(TIpDebugLog *Log, TIpLogFormatter Formatter, uint32_t Value, uint32_t Kind,
                   const void *Data, int32_t Len)
{
    if (Log && Log->Enabled())
        Log->AddEntry(Formatter, Value, Kind, reinterpret_cast<uintptr_t>(Data), Len);
}

void IpEventLogWrite(TIpEventLog *Log, const std::string &Text)
{
    if (Log)
        Log->WriteEvent(Text);
}

void IpWriteDebugLogIfAny(TIpDebugLog *Log)
{
    if (Log && !Log->IsEmpty())
        Log->WriteToFile();
}
