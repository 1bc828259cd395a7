// Tick counter and application exception handler.
#include "platform/IpPlatform.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace {

std::atomic<uint32_t> TickOffset{0};

std::mutex &HandlerLock()
{
    static std::mutex Lock;
    return Lock;
}

TIpExceptionHandler &Handler()
{
    static TIpExceptionHandler H;
    return H;
}

} // namespace

uint32_t IpGetTickCount()
{
    using namespace std::chrono;
    const auto Ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return uint32_t(uint64_t(Ms)) + TickOffset.load();
}

void IpSetTickCountOffset(uint32_t Offset)
{
    TickOffset.store(Offset);
}

std::string IpExceptionMessage(std::exception_ptr Error)
{
    if (!Error)
        return std::string();
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception &E) {
        return E.what();
    } catch (...) {
        return "unknown exception";
    }
}

void IpSetApplicationExceptionHandler(TIpExceptionHandler NewHandler)
{
    std::lock_guard<std::mutex> G(HandlerLock());
    Handler() = std::move(NewHandler);
}

void IpHandleApplicationException(std::exception_ptr Error)
{
    TIpExceptionHandler H;
    {
        std::lock_guard<std::mutex> G(HandlerLock());
        H = Handler();
    }
    try {
        if (H) {
            H(Error);
            return;
        }
    } catch (...) {
        // A failing handler must not take the event loop down; fall back to
        // the plain report below.
    }
    const std::string Text = IpExceptionMessage(Error);
    std::fprintf(stderr, "%s\n", Text.c_str());
    std::fflush(stderr);
}
