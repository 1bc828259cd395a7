#pragma once
// Minimal object model the engine stands on: a plain object base with a class
// name, copyable "persistent" objects (Assign), and components that own their
// children and tell interested components when one comes or goes.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

class TObject
{
public:
    TObject() = default;
    virtual ~TObject();
    TObject(const TObject &) = delete;
    TObject &operator=(const TObject &) = delete;

    // The dynamic class name without decoration ("TIpSocksServerInfo").
    std::string ClassName() const;
};

// Events that carry only the sender.
using TNotifyEvent = std::function<void(TObject *Sender)>;

// Raised when an object is asked to copy from a kind of object it does not
// understand. Message: "Cannot assign a <source class> to a <target class>"
// ("nil" for a missing source).
class EAssignError : public std::runtime_error
{
public:
    explicit EAssignError(const std::string &Msg) : std::runtime_error(Msg) {}
};

class TPersistent : public TObject
{
public:
    TPersistent() = default;
    ~TPersistent() override;

    // Copies Source into this object. The base asks Source to copy itself
    // into this object (AssignTo), which by default refuses.
    virtual void Assign(const TPersistent *Source);

protected:
    virtual void AssignTo(TPersistent *Dest) const;
    [[noreturn]] void AssignError(const TPersistent *Source) const;
};

enum TOperation : uint8_t { opInsert, opRemove };

class TComponent : public TPersistent
{
public:
    explicit TComponent(TComponent *AOwner = nullptr);
    ~TComponent() override;

    TComponent *Owner() const { return FOwner; }
    const std::string &Name() const { return FName; }
    void SetName(const std::string &Value) { FName = Value; }
    intptr_t Tag() const { return FTag; }
    void SetTag(intptr_t Value) { FTag = Value; }

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent *Components(int Index) const;
    // First owned component with that name, or null.
    TComponent *FindComponent(const std::string &AName) const;

    // Ownership transfer: the component leaves its previous owner first.
    void InsertComponent(TComponent *AComponent);
    void RemoveComponent(TComponent *AComponent);
    // Destroys every owned component now. Derived destructors that still
    // need their own members while children go away call this first.
    void DestroyComponents();

    // Asks that AComponent receives Notification(this, opRemove) when this
    // component is destroyed, even though it does not own it. Symmetric:
    // each side is told about the other's destruction.
    void FreeNotification(TComponent *AComponent);
    void RemoveFreeNotification(TComponent *AComponent);

    bool Destroying() const { return FDestroying; }

protected:
    // Called on the owner and on every component it owns when AComponent is
    // inserted into or removed from the owner, and on free-notification
    // partners when AComponent is destroyed. Overrides clear references to
    // AComponent on opRemove; they must not call into AComponent then.
    virtual void Notification(TComponent *AComponent, TOperation Operation);

private:
    void NotifyOwned(TComponent *AComponent, TOperation Operation);
    void DropFreeNotify(TComponent *AComponent);

    TComponent *FOwner = nullptr;
    std::string FName;
    intptr_t FTag = 0;
    bool FDestroying = false;
    std::vector<TComponent *> FComponents;
    std::vector<TComponent *> FFreeNotifies;
};
