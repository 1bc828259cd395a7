// Linux stand-ins for the parts of the Windows platform the engine relies on:
// hidden notification windows with posted messages and timers, the wrapping
// millisecond tick counter and the process-wide exception handler.
//
// This header is plain C++ on purpose: everything above the platform layer
// includes it, and only the platform's own sources see Qt.
#pragma once

#include <any>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

// Window handle of a message target; 0 is "no window". Handles are never
// reused within a process, so a message posted to a destroyed target is
// simply dropped.
using TIpWnd = uintptr_t;

// Message numbers that the platform itself produces.
constexpr uint32_t IP_WM_QUERYENDSESSION = 0x0011;
constexpr uint32_t IP_WM_TIMER = 0x0113;

struct TIpMessage
{
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    // Heap data that travels with the message (a received line, for
    // instance). It belongs to the message and dies with it, delivered or not.
    std::any Payload;
    // Registration generation of a readiness notification (0 for every
    // other message). Delivery drops a notification whose socket has been
    // closed or re-registered since it was posted.
    uint64_t Generation = 0;
    // Answer of the handler (query-end messages).
    intptr_t Result = 0;
};

inline uint32_t IpLoWord(intptr_t Value) { return uint32_t(uintptr_t(Value) & 0xFFFFu); }
inline uint32_t IpHiWord(intptr_t Value) { return uint32_t((uintptr_t(Value) >> 16) & 0xFFFFu); }
inline intptr_t IpMakeLong(uint32_t Lo, uint32_t Hi) { return intptr_t((Lo & 0xFFFFu) | ((Hi & 0xFFFFu) << 16)); }

// The hidden window of a socket control or client: posted messages are
// handed to the window procedure from the event loop in posting order, and
// timers arrive as IP_WM_TIMER messages carrying the timer id in WParam.
// Must be created and used on the thread that runs the event loop.
class TIpMessageWindow
{
public:
    using TWndProc = std::function<void(TIpMessage &Msg)>;

    explicit TIpMessageWindow(TWndProc WndProc);
    ~TIpMessageWindow();
    TIpMessageWindow(const TIpMessageWindow &) = delete;
    TIpMessageWindow &operator=(const TIpMessageWindow &) = delete;

    TIpWnd Handle() const;

    // Queues a message for later delivery to this window's procedure.
    void PostMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam, std::any Payload = {});
    // Calls the window procedure at once (like SendMessage) and returns its answer.
    intptr_t SendMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam);

    // Starts (or restarts) a periodic timer; false when it cannot be started.
    bool SetTimer(uint32_t Id, uint32_t IntervalMs);
    void KillTimer(uint32_t Id);
    bool TimerActive(uint32_t Id) const;

    // Number of messages posted to this window and not yet delivered.
    size_t PendingMessages() const;

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};

// Posts to a window by handle. Returns false (and drops the payload) when no
// window with that handle exists any more.
bool IpPostMessage(TIpWnd Wnd, uint32_t Msg, uintptr_t WParam, intptr_t LParam,
                   std::any Payload = {}, uint64_t Generation = 0);
bool IpIsWindow(TIpWnd Wnd);

// Millisecond counter of the system, truncated to 32 bits: it wraps about
// every 49.7 days, and everything that measures intervals with it must
// handle the wrap.
uint32_t IpGetTickCount();
// Shifts the counter by a fixed amount so that tests can make it wrap soon.
void IpSetTickCountOffset(uint32_t Offset);

// Process-wide handler for exceptions that must not cross the event loop.
// Headless the default handler writes the message to stderr; the GUI installs
// one that shows a message box.
using TIpExceptionHandler = std::function<void(std::exception_ptr Error)>;
void IpSetApplicationExceptionHandler(TIpExceptionHandler Handler);
// Hands the exception to the installed handler; never throws.
void IpHandleApplicationException(std::exception_ptr Error);
// Text of an exception for reports ("unknown exception" for foreign types).
std::string IpExceptionMessage(std::exception_ptr Error);
