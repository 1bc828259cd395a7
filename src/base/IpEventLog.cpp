#include "base/IpEventLog.h"

#include <sys/time.h>

#include <cstdio>

#include "base/IpStreams.h"

namespace {

const char *const ShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const LongMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                  "July",    "August",   "September", "October", "November", "December"};
const char *const ShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const LongDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

char Upper(char C)
{
    return (C >= 'a' && C <= 'z') ? char(C - 32) : C;
}

bool StartsWithNoCase(const std::string &S, std::size_t At, const char *Word)
{
    for (std::size_t I = 0; Word[I]; ++I)
        if (At + I >= S.size() || Upper(S[At + I]) != Upper(Word[I]))
            return false;
    return true;
}

void AppendNumber(std::string &Out, int Value, int Digits)
{
    char Buf[16];
    std::snprintf(Buf, sizeof Buf, "%0*d", Digits, Value);
    Out += Buf;
}

// Copies "am/pm" or "a/p" in the letter case the pattern uses.
void AppendHalfDay(std::string &Out, const std::string &Pattern, std::size_t At, bool Long, bool Pm)
{
    const std::size_t Letter = Pm ? (Long ? 3 : 2) : 0;
    Out += Pattern[At + Letter];
    if (Long)
        Out += Pattern[At + Letter + 1];
}

} // namespace

std::string FormatDateTime(const std::string &Pattern, const std::tm &Time, int Millis)
{
    const bool TwelveHour = [&] {
        for (std::size_t I = 0; I < Pattern.size(); ++I)
            if (StartsWithNoCase(Pattern, I, "am/pm") || StartsWithNoCase(Pattern, I, "a/p"))
                return true;
        return false;
    }();
    std::string Out;
    char LastLetter = 0;
    std::size_t I = 0;
    while (I < Pattern.size()) {
        const char C = Pattern[I];
        if (C == '"' || C == '\'') {
            const std::size_t End = Pattern.find(C, I + 1);
            const std::size_t Stop = End == std::string::npos ? Pattern.size() : End;
            Out.append(Pattern, I + 1, Stop - I - 1);
            I = Stop == Pattern.size() ? Stop : Stop + 1;
            continue;
        }
        if (StartsWithNoCase(Pattern, I, "am/pm") || StartsWithNoCase(Pattern, I, "a/p")) {
            const bool Long = StartsWithNoCase(Pattern, I, "am/pm");
            AppendHalfDay(Out, Pattern, I, Long, Time.tm_hour >= 12);
            I += Long ? 5 : 3;
            continue;
        }
        std::size_t Run = 1;
        while (I + Run < Pattern.size() && Upper(Pattern[I + Run]) == Upper(C))
            ++Run;
        char Token = Upper(C);
        if (Token == 'M' && LastLetter == 'H' && Run <= 2)
            Token = 'N';
        if (Token >= 'A' && Token <= 'Z')
            LastLetter = Token;
        switch (Token) {
        case 'Y':
            if (Run <= 2)
                AppendNumber(Out, (Time.tm_year + 1900) % 100, 2);
            else
                AppendNumber(Out, Time.tm_year + 1900, 4);
            break;
        case 'M':
            if (Run <= 2)
                AppendNumber(Out, Time.tm_mon + 1, int(Run));
            else
                Out += (Run == 3 ? ShortMonths : LongMonths)[Time.tm_mon % 12];
            break;
        case 'D':
            if (Run <= 2)
                AppendNumber(Out, Time.tm_mday, int(Run));
            else
                Out += (Run == 3 ? ShortDays : LongDays)[Time.tm_wday % 7];
            break;
        case 'H': {
            int Hour = Time.tm_hour;
            if (TwelveHour) {
                Hour %= 12;
                if (Hour == 0)
                    Hour = 12;
            }
            AppendNumber(Out, Hour, Run >= 2 ? 2 : 1);
            break;
        }
        case 'N':
            AppendNumber(Out, Time.tm_min, Run >= 2 ? 2 : 1);
            break;
        case 'S':
            AppendNumber(Out, Time.tm_sec, Run >= 2 ? 2 : 1);
            break;
        case 'Z':
            AppendNumber(Out, Millis, Run >= 3 ? 3 : 1);
            break;
        case ':':
        case '/':
        default:
            Out.append(Run, C);
            break;
        }
        I += Run;
    }
    return Out;
}

TIpEventLog::TIpEventLog(TComponent *AOwner) : TIpBaseLog(AOwner) {}

TIpEventLog::~TIpEventLog() = default;

std::string TIpEventLog::DateTimeFormat() const
{
    TIpLockGuard Guard(*this);
    return FDateTimeFormat;
}

void TIpEventLog::SetDateTimeFormat(const std::string &Value)
{
    TIpLockGuard Guard(*this);
    FDateTimeFormat = Value;
}

void TIpEventLog::WriteEvent(const std::string &Text)
{
    TIpLockGuard Guard(*this);
    if (!FEnabled)
        return;
    timeval Now {};
    ::gettimeofday(&Now, nullptr);
    std::tm Local {};
    const time_t Seconds = Now.tv_sec;
    ::localtime_r(&Seconds, &Local);
    const std::string Line =
        FormatDateTime(FDateTimeFormat, Local, int(Now.tv_usec / 1000)) + " " + Text + "\r\n";

    IpOpenLogFile(FFileName, true)->WriteBuffer(Line.data(), int64_t(Line.size()));
}
