// Readiness notifications for sockets, delivered as posted messages the way
// WSAAsyncSelect delivers them on Windows.
//
// The rules the engine relies on (and that plain level-triggered polling
// would break):
//   - a connect in progress produces exactly one fdConnect (carrying the
//     error when it failed) and, when it succeeded, one fdWrite after it;
//   - fdWrite comes again only after a send reported would-block;
//   - fdRead comes when data (or the end of the stream) waits, and is
//     re-armed only by the next recv;
//   - fdAccept is re-armed by accept;
//   - exactly one fdClose, when a peek sees the end of the stream or an
//     error (the error code travels with it, e.g. 10054 for a reset);
//   - every notification is posted, never called directly, and carries the
//     generation of its registration: when the socket has been cancelled or
//     registered again before delivery, the notification is dropped, so a
//     reused descriptor number never receives its predecessor's news.
//
// The caller of recv/send/accept/connect/listen reports each call with
// IpSelectNote, which is what re-arms the notifications.
#pragma once

#include "platform/IpPlatform.h"

#include <cstdint>

enum TIpFdEvent : uint32_t {
    fdRead = 1,
    fdWrite = 2,
    fdOob = 4,
    fdAccept = 8,
    fdConnect = 16,
    fdClose = 32
};

enum TIpSelectCall : uint8_t {
    scConnect,   // connect returned (0 or -1 with the errno of that call)
    scListen,    // listen returned
    scRecv,      // recv returned
    scSend,      // send returned
    scAccept     // accept returned (on the listening descriptor)
};

// Registers Fd for the notifications in Mask (TIpFdEvent bits), posted as
// message Msg to Wnd with WParam = Fd and LParam = IpMakeLong(event, error).
// The descriptor is switched to non-blocking. A Mask of 0 cancels. Any
// earlier registration of Fd is replaced (and its pending notifications
// become stale). Returns 0, or -1 with errno set.
int IpAsyncSelect(int Fd, TIpWnd Wnd, uint32_t Msg, uint32_t Mask);

// Ends the registration of Fd; call it before the descriptor is closed.
void IpSelectCancel(int Fd);

// Reports a socket call on a registered descriptor (see TIpSelectCall).
// Result is the call's return value, Errno the errno it left (0 on success).
void IpSelectNote(int Fd, TIpSelectCall Call, long Result, int Errno);
// The same for callers that only know whether the call failed with
// would-block (or, for connect, in-progress): that is all the re-arming
// rules look at, and it spares the caller translating its error back.
void IpSelectNoteCall(int Fd, TIpSelectCall Call, long Result, bool WouldBlock);

// Posts one write notification for a connected registration at once (with
// the current generation). For a sender that stops with data still queued
// before the system said would-block: no write notification would come
// otherwise, and the rest of the queue would wait forever.
void IpSelectRequestWrite(int Fd);

// True when Fd is registered and Generation is its current registration.
bool IpSelectIsCurrent(int Fd, uint64_t Generation);
// Generation of the current registration of Fd (0 when none).
uint64_t IpSelectGeneration(int Fd);
// Number of registered descriptors (leak checks in tests).
size_t IpSelectRegisteredCount();

// Error codes posted with notifications are in the WinSock numbering. The
// socket layer installs the access object's translation; until then a
// built-in table covers the errors a notification can carry.
using TIpErrnoTranslator = int (*)(int Errno);
void IpSelectSetErrorTranslator(TIpErrnoTranslator Translator);
int IpSelectTranslateErrno(int Errno);

// Closes the socket behind Fd (ending its registration first) while keeping
// the descriptor number occupied by a placeholder, so that the number cannot
// be handed to a new socket while the closed socket's object still answers
// to it. IpReleaseDescriptorNumber frees the number. Returns 0, or -1 with
// errno set (the socket is then closed the ordinary way).
int IpCloseSocketKeepNumber(int Fd);
void IpReleaseDescriptorNumber(int Fd);
