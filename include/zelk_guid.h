// Interface and class identifiers: 24 bytes, compared over all of them.
#pragma once

#include <cstdint>
#include <cstring>

struct GUID {
    uint64_t Data1;  // the value fits in 32 bits
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
    uint8_t Reserved[4];  // zero in every identifier
};

static_assert(sizeof(GUID) == 24, "identifiers are 24 bytes on every side");

inline bool operator==(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// Builds an identifier whose first number fits in 32 bits and whose trailing
// four bytes are zero.
constexpr GUID ZELK_MakeGUID(uint32_t d1, uint16_t d2, uint16_t d3, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3,
                             uint8_t b4, uint8_t b5, uint8_t b6, uint8_t b7)
{
    return GUID {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}, {0, 0, 0, 0}};
}

// Defines the identifier constant `name`. Every deliverable compiles its own
// copy; copies are matched by value.
#define ZELK_DEFINE_GUID(name, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7)                                             \
    inline constexpr GUID name = ZELK_MakeGUID(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7)

ZELK_DEFINE_GUID(IID_IUnknown, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
ZELK_DEFINE_GUID(IID_IClassFactory, 1, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
