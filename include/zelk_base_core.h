// Core helpers of module "zelkbase": table "zelk.misc.base.core.1" and the
// in-memory scrambler it makes.
#pragma once

#include <cstdint>

#include "qev_values.h"
#include "zelk_unknown.h"

constexpr const char* ZELKBASE_CORE_API = "zelk.misc.base.core.1";

typedef unsigned int AlgEnc;
typedef unsigned int AlgMode;

ZELK_DEFINE_GUID(IID_IScrambler, 0x5D1C3A70, 0x2B4E, 0x4F0A, 0x9C, 0x61, 0x3E, 0x8A, 0x27, 0xD4, 0x15, 0xB9);

// Keeps passwords and keys unreadable in memory under a key that exists only
// in this object.
class IScrambler : public IUnknown {
public:
    // 0x80004005 when the scrambler already has a key.
    virtual HRESULT GenerateKey(unsigned int bits) = 0;
    // The wide text's bytes (4 per character, terminator excluded), scrambled.
    virtual HRESULT ScrambleString(const wchar_t* text, OctetString** out) = 0;
    // The text again, terminated; the caller frees it with the library's free.
    virtual HRESULT UnscrambleString(OctetString* in, wchar_t** out) = 0;
    virtual HRESULT Scramble(OctetString* in, OctetString** out) = 0;
    virtual HRESULT UnScramble(OctetString* in, OctetString** out) = 0;

    static const GUID& GetIID() { return IID_IScrambler; }

protected:
    ~IScrambler() = default;
};

extern "C" {

struct ZELKBASE_CORE_TABLE : API_COMMON {
    int (*SET_Contains)(const void* set, const void* element);                                            // 1
    void (*SET_Add)(void* set, const void* element);                                                      // 2
    void (*SET_Add_Element)(void* set, const void* element);                                              // 3
    void (*OctetString_ZeroTerminate)(OctetString* s);                                                    // 4
    int (*OctetString_Create)(unsigned long length, OctetString** out);                                   // 5: 0 or -1
    int (*OctetString_CreateByBuffer)(const void* data, unsigned long length, OctetString** out);         // 6
    int (*OctetString_CreateByRange)(const void* begin, const void* end, OctetString** out);              // 7
    HRESULT (*GenerateScrambler)(unsigned int bits, IScrambler** out);                                    // 8
    HRESULT (*GenerateScramblerEx)(AlgEnc algorithm, AlgMode mode, unsigned int bits, IScrambler** out);  // 9
    HRESULT (*aux_enc_base64)(const OctetString* in, OctetString** out);                                  // 10
    HRESULT (*aux_dec_base64)(const OctetString* in, OctetString** out);                                  // 11
    HRESULT (*aux_cipher_blocksize)(unsigned int code, unsigned long* out);                               // 12
    HRESULT (*aux_cipher_keysize)(unsigned int code, unsigned long* out);                                 // 13
    int (*aux_process_get_parent)(int unused, bool sameSession);                                          // 14
    HRESULT(*aux_create_pkcs12)
    (const char* friendlyName, const KeyPair* keyPair, const SET_OF_Certificate* certificates, const char* password,
     OctetString** out);  // 15
    HRESULT(*aux_open_pkcs12)
    (const OctetString* pfx, const char* password, KeyPair** keyPair,
     SET_OF_Certificate** certificates);  // 16
};

}  // extern "C"
