#pragma once
// Machine-readable listings (MLSD and MLST): the time value of the modify
// fact and one fact of a fact list. The line parser itself is
// TIpFtpFileInfo::ParseMlsdLine (style dsMlsd).

#include <cstdint>
#include <string_view>

#include "ftp/IpFtpList.h"

// A time value YYYYMMDDHHMMSS[.fff] (UTC) as seconds since 1970-01-01 UTC;
// -1 when it is not one (wrong length, not digits, no such date).
int64_t MlsdTimeValue(std::string_view Value);

// The value of the fact Name (case-insensitive) in "a=1;b=2;"; empty when
// absent.
std::string_view MlsdFact(std::string_view Facts, std::string_view Name);
