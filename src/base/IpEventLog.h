#pragma once
// The event log: one time-stamped line per connection or file event,
// appended to its file at once (the file is opened and closed around each).

#include <ctime>
#include <string>

#include "base/IpDebugLog.h"

class TIpEventLog : public TIpBaseLog
{
public:
    explicit TIpEventLog(TComponent *AOwner);
    ~TIpEventLog() override;

    std::string DateTimeFormat() const;
    void SetDateTimeFormat(const std::string &Value);

    // Appends "<local time in DateTimeFormat> <Text>" CR LF while enabled; a
    // disabled log does not touch the file. A file that cannot be opened or
    // written raises the stream error.
    void WriteEvent(const std::string &Text);

private:
    std::string FDateTimeFormat;
};

// Formats a local time with a date-time pattern: yyyy / yy years; m, mm
// months (minutes right after an hour); mmm, mmmm month names; d, dd days;
// ddd, dddd day names; h, hh hours (0-23); n, nn minutes; s, ss seconds;
// z, zzz milliseconds; am/pm and a/p switch to a 12-hour clock; ":" and "/"
// are the time and date separators; text in quotes is copied; any other
// character is copied as it is.
std::string FormatDateTime(const std::string &Pattern, const std::tm &Time, int Millis = 0);
