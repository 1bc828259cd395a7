#pragma once
// Small helpers shared by the fuzz targets: a reader that takes structured
// values from the fuzzer's bytes, and the check that turns a broken
// invariant into a crash libFuzzer records.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A broken invariant is a finding like a crash: report it and abort, so that
// libFuzzer keeps the input.
#define FUZZ_CHECK(Cond, ...)                                                        \
    do {                                                                             \
        if (!(Cond)) {                                                               \
            std::fprintf(stderr, "\n*** invariant failed at %s:%d: %s\n*** ", __FILE__, \
                         __LINE__, #Cond);                                           \
            std::fprintf(stderr, __VA_ARGS__);                                       \
            std::fprintf(stderr, "\n");                                              \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

// Takes values from the front of the input; once it is used up every value
// is 0 and every byte string empty, so a target never reads past the end.
class TFuzzReader
{
public:
    TFuzzReader(const uint8_t *Data, size_t Size) : FData(Data), FSize(Size) {}

    bool Empty() const { return FPos >= FSize; }
    size_t Remaining() const { return FSize - FPos; }

    uint8_t Byte() { return FPos < FSize ? FData[FPos++] : 0; }
    uint16_t U16()
    {
        const uint16_t Lo = Byte();
        return uint16_t(Lo | (uint16_t(Byte()) << 8));
    }
    uint32_t U32()
    {
        const uint32_t Lo = U16();
        return Lo | (uint32_t(U16()) << 16);
    }
    bool Bool() { return (Byte() & 1) != 0; }

    // Up to N bytes (fewer at the end of the input).
    std::string_view Bytes(size_t N)
    {
        if (N > Remaining())
            N = Remaining();
        std::string_view V(reinterpret_cast<const char *>(FData + FPos), N);
        FPos += N;
        return V;
    }
    // A string whose length is given by the next byte.
    std::string Short() { return std::string(Bytes(Byte())); }
    // Everything that is left.
    std::string_view Rest() { return Bytes(Remaining()); }

private:
    const uint8_t *FData;
    size_t FSize;
    size_t FPos = 0;
};
