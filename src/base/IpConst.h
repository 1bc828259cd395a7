#pragma once
// The engine's own message texts, kept in one place so that every layer
// reports the same words.

// Version text format; the last character is the sharp s (UTF-8 C3 9F).
inline constexpr char sIpVersionFmt[] = "v%.2f\xC3\x9F";
inline constexpr double IpVersionNumber = 1.16;

// Base formatter of debug-log entries (followed by LF CR).
inline constexpr char sIpUnhandledLogEntry[] = "!!!! Unhandled log entry";

// Exceptions
inline constexpr char sIpWinSockErrorFmt[] = "WinSock Error (%d): %s, on API '%s'";
inline constexpr char sIpAccessErrorFmt[] = "Win32 error loading '%s' pointer: %s";
inline constexpr char sIpActiveError[] = "Cannot set property on an active socket";
inline constexpr char sIpNoSocketError[] = "Socket not assigned";
inline constexpr char sIpProgrammerError[] = "Stream not assigned";
inline constexpr char sIpDestAddrRequired[] = "Destination address required";
inline constexpr char sIpAlreadyConnected[] = "Socket is already connected";
inline constexpr char sIpNoTimers[] = "Not enough system timers available";

// Error events raised without an exception
inline constexpr int IpLineTooLongCode = 8001;
inline constexpr char sIpLineTooLong[] = "Received line too long, exceeds MaxLineBuf";
inline constexpr char sIpSocksRefusedFmt[] = "SOCKS request refused - %d";

// Event-log lines
inline constexpr char sIpConnectLogFmt[] = "Connect: Loc: %s Rem: %s";
inline constexpr char sIpCloseLogFmt[] = "Close:   Loc: %s Rem: %s";
inline constexpr char sIpDeleting[] = "Deleting ";
inline constexpr char sIpRenaming[] = "Renaming ";
inline constexpr char sIpRetrieving[] = "Retrieving ";
inline constexpr char sIpStoring[] = "Storing ";
inline constexpr char sIpRestarting[] = "Attempting to re-start transfer of ";

// Labels naming the failed operation in "WinSock Error (...) on API '...'"
inline constexpr char sApiWSAStartup[] = "WSAStartup";
inline constexpr char sApiSocket[] = "Socket";
inline constexpr char sApiBind[] = "Bind";
inline constexpr char sApiConnect[] = "Connect";
inline constexpr char sApiSocksConnect[] = "SocksConnect";
inline constexpr char sApiGetSockOpt[] = "GetSockOpt";
inline constexpr char sApiSetSockOpt[] = "SetSockOpt";
inline constexpr char sApiWsaAsyncSelect[] = "WsaAsyncSelect";
inline constexpr char sApiRecv[] = "Recv";
inline constexpr char sApiSend[] = "send";
inline constexpr char sApiListen[] = "Listen";
inline constexpr char sApiAccept[] = "Accept";

// Assignment refused by a persistent object
inline constexpr char sAssignErrorFmt[] = "Cannot assign a %s to a %s";

// Stream failures
inline constexpr char sFOpenErrorFmt[] = "Cannot open file \"%s\". %s";
inline constexpr char sFCreateErrorFmt[] = "Cannot create file \"%s\". %s";
inline constexpr char sReadError[] = "Stream read error";
inline constexpr char sWriteError[] = "Stream write error";
inline constexpr char sSeekErrorFmt[] = "Cannot seek in \"%s\". %s";
