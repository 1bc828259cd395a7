#include "base/IpComponent.h"

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>

#include "base/IpConst.h"
#include "base/IpUtils.h"

TObject::~TObject() = default;

std::string TObject::ClassName() const
{
    const char *Mangled = typeid(*this).name();
    int Status = 0;
    char *Plain = abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status);
    std::string Result = (Status == 0 && Plain) ? Plain : Mangled;
    std::free(Plain);
    return Result;
}

// ---------------------------------------------------------------------------

TPersistent::~TPersistent() = default;

void TPersistent::Assign(const TPersistent *Source)
{
    if (Source)
        Source->AssignTo(this);
    else
        AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent *Dest) const
{
    // Neither side knows the other: the destination reports it, naming us.
    Dest->AssignError(this);
}

void TPersistent::AssignError(const TPersistent *Source) const
{
    const std::string SourceName = Source ? Source->ClassName() : std::string("nil");
    throw EAssignError(Format(sAssignErrorFmt, SourceName.c_str(), ClassName().c_str()));
}

// ---------------------------------------------------------------------------

TComponent::TComponent(TComponent *AOwner)
{
    if (AOwner)
        AOwner->InsertComponent(this);
}

TComponent::~TComponent()
{
    FDestroying = true;
    // Partners that asked to hear about our destruction clear their
    // references first; they must not call back into us.
    while (!FFreeNotifies.empty()) {
        TComponent *Partner = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        Partner->DropFreeNotify(this);
        Partner->Notification(this, opRemove);
    }
    DestroyComponents();
    if (FOwner)
        FOwner->RemoveComponent(this);
}

TComponent *TComponent::Components(int Index) const
{
    if (Index < 0 || Index >= ComponentCount())
        throw std::out_of_range("Component index out of bounds");
    return FComponents[static_cast<size_t>(Index)];
}

TComponent *TComponent::FindComponent(const std::string &AName) const
{
    if (AName.empty())
        return nullptr;
    for (TComponent *C : FComponents)
        if (C->FName == AName)
            return C;
    return nullptr;
}

void TComponent::InsertComponent(TComponent *AComponent)
{
    if (!AComponent || AComponent == this || AComponent->FOwner == this)
        return;
    if (AComponent->FOwner)
        AComponent->FOwner->RemoveComponent(AComponent);
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
    NotifyOwned(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent *AComponent)
{
    if (!AComponent || AComponent->FOwner != this)
        return;
    NotifyOwned(AComponent, opRemove);
    FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent),
                      FComponents.end());
    AComponent->FOwner = nullptr;
}

void TComponent::NotifyOwned(TComponent *AComponent, TOperation Operation)
{
    // Snapshot: a handler may add or remove components.
    const std::vector<TComponent *> Others = FComponents;
    Notification(AComponent, Operation);
    for (TComponent *C : Others)
        if (C != AComponent && std::find(FComponents.begin(), FComponents.end(), C) != FComponents.end())
            C->Notification(AComponent, Operation);
}

void TComponent::DestroyComponents()
{
    // Each child removes itself from the list as it goes.
    while (!FComponents.empty()) {
        TComponent *Child = FComponents.back();
        delete Child;
    }
}

void TComponent::FreeNotification(TComponent *AComponent)
{
    if (!AComponent || AComponent == this)
        return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
        FFreeNotifies.push_back(AComponent);
    if (std::find(AComponent->FFreeNotifies.begin(), AComponent->FFreeNotifies.end(), this) ==
        AComponent->FFreeNotifies.end())
        AComponent->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent *AComponent)
{
    if (!AComponent)
        return;
    DropFreeNotify(AComponent);
    AComponent->DropFreeNotify(this);
}

void TComponent::DropFreeNotify(TComponent *AComponent)
{
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                        FFreeNotifies.end());
}

void TComponent::Notification(TComponent *, TOperation) {}
