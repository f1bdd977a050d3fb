// The common shape of the crypto library's objects, shared by the library's
// own objects (certificates) and those the system implements itself (PSE,
// slots, tokens, token objects, hash tables): IUnknown, then these four.
#pragma once

#include "zelk_unknown.h"

struct PRINT_CTX;

template <class I>
class COMMON_FL_TEMPLATE : public IUnknown {
public:
    virtual const char* getType() = 0;
    // *out receives a copy (for most objects: another reference to the same one).
    virtual HRESULT cpy(I** out) = 0;
    // 0 when equal.
    virtual int cmp(const I* other) = 0;
    virtual HRESULT print(char** out, const char* indent, PRINT_CTX* context) = 0;
};
