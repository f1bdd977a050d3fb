// The core helpers of table "zelk.misc.base.core.1", by area.
#pragma once

#include "zelk_base_core.h"

namespace kestrin::base {

void OctetString_ZeroTerminate(OctetString* s);
int OctetString_Create(unsigned long length, OctetString** out);
int OctetString_CreateByBuffer(const void* data, unsigned long length, OctetString** out);
int OctetString_CreateByRange(const void* begin, const void* end, OctetString** out);
// Frees an octet string of the library's allocator, wiping its bytes first.
void OctetString_Free(OctetString* s);

HRESULT aux_enc_base64(const OctetString* in, OctetString** out);
HRESULT aux_dec_base64(const OctetString* in, OctetString** out);
HRESULT aux_cipher_blocksize(unsigned int code, unsigned long* out);
HRESULT aux_cipher_keysize(unsigned int code, unsigned long* out);
int aux_process_get_parent(int unused, bool sameSession);

HRESULT GenerateScrambler(unsigned int bits, IScrambler** out);
HRESULT GenerateScramblerEx(AlgEnc algorithm, AlgMode mode, unsigned int bits, IScrambler** out);

HRESULT aux_create_pkcs12(const char* friendlyName, const KeyPair* keyPair, const SET_OF_Certificate* certificates,
                          const char* password, OctetString** out);
HRESULT aux_open_pkcs12(const OctetString* pfx, const char* password, KeyPair** keyPair,
                        SET_OF_Certificate** certificates);

}  // namespace kestrin::base
