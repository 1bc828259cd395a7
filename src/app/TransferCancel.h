#pragma once
// The engine's cancel of a running transfer, as the window calls it.

#include "ftp/IpFtpClient.h"

// Not in this engine yet: nothing is sent, and the window falls back to
// what it did before (no ABOR is pretended).
inline constexpr int IpFtpCancelledCode = 8103;
inline bool AbortTransferOf(TIpCustomFtpClient &) { return false; }
