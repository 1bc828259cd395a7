#pragma once
// Foundation of the engine: base classes with their lock, the exception
// base, the line-terminator kinds, small string and buffer helpers and the
// address parser.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "base/IpComponent.h"

// ---------------------------------------------------------------------------
// Exceptions

// Every exception the engine raises derives from this one.
class EIpBaseException : public std::runtime_error
{
public:
    explicit EIpBaseException(const std::string &Msg) : std::runtime_error(Msg) {}
    std::string Message() const { return what(); }
};

// A socket function could not be reached. Message:
// "Win32 error loading '<function>' pointer: <system text>".
class EIpAccessException : public EIpBaseException
{
public:
    explicit EIpAccessException(const std::string &Msg) : EIpBaseException(Msg) {}
    static EIpAccessException ForFunction(const std::string &FunctionName,
                                          const std::string &SystemText);
};

// ---------------------------------------------------------------------------
// Small set type for the enumerations used as bit sets (option sets, log
// options). Bit n stands for enumeration value n.

template <typename E, typename Bits>
class TIpSet
{
public:
    constexpr TIpSet() = default;
    constexpr TIpSet(std::initializer_list<E> Items)
    {
        for (E e : Items)
            FBits = static_cast<Bits>(FBits | Bit(e));
    }
    static constexpr TIpSet FromValue(Bits Value)
    {
        TIpSet s;
        s.FBits = Value;
        return s;
    }
    constexpr bool Contains(E e) const { return (FBits & Bit(e)) != 0; }
    constexpr TIpSet &Include(E e) { FBits = static_cast<Bits>(FBits | Bit(e)); return *this; }
    constexpr TIpSet &Exclude(E e) { FBits = static_cast<Bits>(FBits & ~Bit(e)); return *this; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr Bits Value() const { return FBits; }
    constexpr bool operator==(const TIpSet &) const = default;

private:
    static constexpr Bits Bit(E e) { return static_cast<Bits>(Bits(1) << static_cast<unsigned>(e)); }
    Bits FBits = 0;
};

// ---------------------------------------------------------------------------
// Base classes

// Base of objects that give access to a system interface. The lock is
// re-entrant and always taken (cheap when uncontended).
class TIpBaseAccess : public TObject
{
public:
    TIpBaseAccess();
    ~TIpBaseAccess() override;

    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }

    // Handle of the loaded system library; null while none is loaded.
    void *LibraryHandle() const { return FLibraryHandle; }

protected:
    void SetLibraryHandle(void *Value) { FLibraryHandle = Value; }

private:
    void *FLibraryHandle = nullptr;
    std::recursive_mutex FLock;
};

class TIpBasePersistent : public TPersistent
{
public:
    TIpBasePersistent();
    ~TIpBasePersistent() override;

    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }

private:
    std::recursive_mutex FLock;
};

// Turns one debug-log entry into text. The debug log stores the formatter of
// the component that made an entry and calls it when it writes the entry out.
using TIpLogFormatter = void (*)(uint32_t Value, uint32_t Kind, uintptr_t Data, int32_t Len,
                                 std::string &Text);

class TIpBaseComponent : public TComponent
{
public:
    explicit TIpBaseComponent(TComponent *AOwner = nullptr) : TComponent(AOwner) {}

    // Always VersionText(); setting it has no effect.
    std::string Version() const;
    void SetVersion(const std::string &) {}

    // Base formatter: "!!!! Unhandled log entry" followed by LF CR.
    static void FormatLogEntry(uint32_t Value, uint32_t Kind, uintptr_t Data, int32_t Len,
                               std::string &Text);
    // The formatter the debug log stores for entries of this class.
    virtual TIpLogFormatter LogFormatter() const { return &TIpBaseComponent::FormatLogEntry; }
};

// Holds a lock for a scope (Lock in the constructor, Unlock in the destructor).
template <typename T>
class TIpLockGuard
{
public:
    explicit TIpLockGuard(T &Obj) : FObj(Obj) { FObj.Lock(); }
    ~TIpLockGuard() { FObj.Unlock(); }
    TIpLockGuard(const TIpLockGuard &) = delete;
    TIpLockGuard &operator=(const TIpLockGuard &) = delete;

private:
    T &FObj;
};

// ---------------------------------------------------------------------------
// Line terminators (data-socket settings and the line receive mode)

enum TIpLineTerminator : uint8_t { ltNone, ltCR, ltLF, ltCRLF, ltOther };

// ---------------------------------------------------------------------------
// Helpers. Returned string positions are 1-based; 0 means absent.

// "v1.16ß" (the sharp s in UTF-8), always with '.' as decimal separator.
std::string VersionText();
// Removes leading and trailing blanks (0x20 only).
std::string TrimSpaces(const std::string &S);
// 1-based position of the first Ch in S, 0 when absent.
int CharPos(char Ch, const std::string &S);
// Compares N bytes as unsigned: 0 equal (or N <= 0), 1 A greater, -1 A smaller.
int CompareBytes(const void *A, const void *B, int64_t N);
// Number of bytes equal to B among the first N bytes of Buffer (0 when N <= 0).
int64_t CountByte(const void *Buffer, int64_t N, uint8_t B);
int32_t MinInt(int32_t A, int32_t B);
// printf-style formatting into a std::string.
std::string Format(const char *Fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char *Fmt, va_list Args);

// Clears the variable first, then destroys the object, so the variable never
// names an object under destruction. Accepts null.
template <typename T>
void FreeAndClear(T *&Obj)
{
    T *Tmp = Obj;
    Obj = nullptr;
    delete Tmp;
}

template <typename T, typename D>
void FreeAndClear(std::unique_ptr<T, D> &Obj)
{
    std::unique_ptr<T, D> Tmp(std::move(Obj)); // Obj is null from here on
    Tmp.reset();
}

// ---------------------------------------------------------------------------
// Address parsing

struct TIpAddrRec
{
    std::string Scheme;
    std::string UserName;
    std::string Password;
    std::string Host;
    std::string Port;
    std::string Path;
    std::string Fragment;
    std::string Query;
    char QueryDelimiter = '\0'; // '?' or '&' that began the query; not reset by ParseAddress
};

// Splits Text (URL, host[:port], local path) into Rec. Never throws; the
// result says whether the text ended in a complete form.
bool ParseAddress(const std::string &Text, TIpAddrRec &Rec);
