// The hidden notification window on Qt: a QObject that receives posted
// events and timer ticks on the event loop's thread and hands them to a
// window procedure.
#include "platform/IpPlatform.h"
#include "platform/IpAsyncSelect.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>

namespace {

QEvent::Type MessageEventType()
{
    static const QEvent::Type Type = QEvent::Type(QEvent::registerEventType());
    return Type;
}

class TIpPostedEvent : public QEvent
{
public:
    TIpPostedEvent(TIpMessage &&Msg, std::shared_ptr<std::atomic<size_t>> Pending)
        : QEvent(MessageEventType()), Message(std::move(Msg)), FPending(std::move(Pending))
    {
        FPending->fetch_add(1);
    }
    ~TIpPostedEvent() override { FPending->fetch_sub(1); }
    TIpMessage Message;

private:
    std::shared_ptr<std::atomic<size_t>> FPending;
};

std::mutex &RegistryLock()
{
    static std::mutex Lock;
    return Lock;
}

std::unordered_map<TIpWnd, TIpMessageWindow::TImpl *> &Registry()
{
    static std::unordered_map<TIpWnd, TIpMessageWindow::TImpl *> Map;
    return Map;
}

std::atomic<TIpWnd> NextHandle{1};

} // namespace

struct TIpMessageWindow::TImpl : public QObject
{
    TIpMessageWindow::TWndProc Proc;
    TIpWnd Handle = 0;
    std::map<uint32_t, QTimer *> Timers;
    std::shared_ptr<std::atomic<size_t>> Pending = std::make_shared<std::atomic<size_t>>(0);
    int Depth = 0;          // nesting of window-procedure calls in progress
    bool Orphaned = false;  // the owning TIpMessageWindow is gone

    ~TImpl() override
    {
        // Drop undelivered messages while this object is still whole: their
        // payloads are freed here, not delivered.
        QCoreApplication::removePostedEvents(this, MessageEventType());
    }

    void Dispatch(TIpMessage &Msg)
    {
        if (Orphaned || !Proc)
            return;
        // Stale readiness news for a descriptor that has since been closed
        // or registered again: the socket it was meant for no longer exists.
        if (Msg.Generation != 0 && !IpSelectIsCurrent(int(Msg.WParam), Msg.Generation))
            return;
        ++Depth;
        try {
            // Keep the procedure alive even if the window is destroyed from
            // inside it.
            TIpMessageWindow::TWndProc P = Proc;
            P(Msg);
        } catch (...) {
            IpHandleApplicationException(std::current_exception());
        }
        --Depth;
        if (Orphaned && Depth == 0)
            deleteLater();
    }

    bool event(QEvent *E) override
    {
        if (E->type() == MessageEventType()) {
            Dispatch(static_cast<TIpPostedEvent *>(E)->Message);
            return true;
        }
        return QObject::event(E);
    }
};

TIpMessageWindow::TIpMessageWindow(TWndProc WndProc) : FImpl(std::make_unique<TImpl>())
{
    FImpl->Proc = std::move(WndProc);
    FImpl->Handle = NextHandle.fetch_add(1);
    std::lock_guard<std::mutex> G(RegistryLock());
    Registry()[FImpl->Handle] = FImpl.get();
}

TIpMessageWindow::~TIpMessageWindow()
{
    {
        std::lock_guard<std::mutex> G(RegistryLock());
        Registry().erase(FImpl->Handle);
    }
    for (auto &T : FImpl->Timers)
        T.second->stop();
    QCoreApplication::removePostedEvents(FImpl.get(), MessageEventType());
    FImpl->Proc = nullptr;
    if (FImpl->Depth > 0) {
        // Destroyed from inside its own window procedure: the Qt object must
        // outlive the call that is still on the stack.
        FImpl->Orphaned = true;
        FImpl.release();
    }
}

TIpWnd TIpMessageWindow::Handle() const
{
    return FImpl->Handle;
}

void TIpMessageWindow::PostMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam, std::any Payload)
{
    TIpMessage M;
    M.Msg = Msg;
    M.WParam = WParam;
    M.LParam = LParam;
    M.Payload = std::move(Payload);
    QCoreApplication::postEvent(FImpl.get(), new TIpPostedEvent(std::move(M), FImpl->Pending));
}

intptr_t TIpMessageWindow::SendMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam)
{
    TIpMessage M;
    M.Msg = Msg;
    M.WParam = WParam;
    M.LParam = LParam;
    FImpl->Dispatch(M);
    return M.Result;
}

bool TIpMessageWindow::SetTimer(uint32_t Id, uint32_t IntervalMs)
{
    if (IntervalMs > uint32_t(INT32_MAX))
        return false;
    QTimer *&T = FImpl->Timers[Id];
    if (!T) {
        T = new QTimer(FImpl.get());
        TImpl *Impl = FImpl.get();
        QObject::connect(T, &QTimer::timeout, Impl, [Impl, Id]() {
            TIpMessage M;
            M.Msg = IP_WM_TIMER;
            M.WParam = Id;
            Impl->Dispatch(M);
        });
    }
    T->start(int(IntervalMs));
    return T->isActive();
}

void TIpMessageWindow::KillTimer(uint32_t Id)
{
    auto It = FImpl->Timers.find(Id);
    if (It != FImpl->Timers.end())
        It->second->stop();
}

bool TIpMessageWindow::TimerActive(uint32_t Id) const
{
    auto It = FImpl->Timers.find(Id);
    return It != FImpl->Timers.end() && It->second->isActive();
}

size_t TIpMessageWindow::PendingMessages() const
{
    return FImpl->Pending->load();
}

bool IpPostMessage(TIpWnd Wnd, uint32_t Msg, uintptr_t WParam, intptr_t LParam, std::any Payload,
                   uint64_t Generation)
{
    std::lock_guard<std::mutex> G(RegistryLock());
    auto It = Registry().find(Wnd);
    if (It == Registry().end())
        return false;
    TIpMessage M;
    M.Msg = Msg;
    M.WParam = WParam;
    M.LParam = LParam;
    M.Payload = std::move(Payload);
    M.Generation = Generation;
    QCoreApplication::postEvent(It->second, new TIpPostedEvent(std::move(M), It->second->Pending));
    return true;
}

bool IpIsWindow(TIpWnd Wnd)
{
    std::lock_guard<std::mutex> G(RegistryLock());
    return Registry().count(Wnd) != 0;
}
