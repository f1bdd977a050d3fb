// Signatures of the crypto library: "SEC_MZT_1". Only the "PKCS7" format is
// offered: slot 2 wraps bytes as a PKCS#7 data content, slot 4 signs such a
// content into PKCS#7 SignedData with an identity of a security context's PSE.
#pragma once

#include "qevcrypto.h"

constexpr const char* SEC_MZT_API = "SEC_MZT_1";

extern "C" {

// One signer of a signature request: the identity text (traced only) and the
// profile text that selects the signing credential. A profile text that
// begins with "[reauth]" asks for a fresh authentication; the rest of it, when
// not empty, names the token URI. Other fields are zero.
struct SigRcpMztInformationStruct {
    const char* identity;
    uint64_t identityLength;
    const char* profile;
    uint64_t profileLength;
    uint64_t reserved[4];
};

struct SigRcpMztInformationListStruct {
    SigRcpMztInformationStruct* element;
    SigRcpMztInformationListStruct* next;
};

// 2: the DER of a PKCS#7 data content holding `data`; *out is the library's
// allocation, *outLength its length.
typedef HRESULT (*SEC_MZT_ENCODE_FN)(const char* format, uint64_t formatLength, const unsigned char* data,
                                     uint64_t length, unsigned char** out, uint64_t* outLength);
// 4: `data` (a PKCS#7 data content) signed as PKCS#7 SignedData by the first
// signer, through the PSE of the security context `context` (only "DFAULT",
// the default context, is known). Flags 1, 0: the content is carried; others
// are refused. The PSE's codes pass through.
typedef HRESULT (*SEC_MZT_SIGN_FN)(const char* format, uint64_t formatLength, const char* context,
                                   uint64_t contextLength, unsigned char flag1, unsigned char flag2,
                                   const unsigned char* data, uint64_t length, SigRcpMztInformationListStruct* signers,
                                   unsigned char** out, uint64_t* outLength);

struct SEC_MZT_TABLE : API_COMMON {
    void* slot1;
    SEC_MZT_ENCODE_FN encode;  // 2
    void* slot3;
    SEC_MZT_SIGN_FN sign;  // 4
};

}  // extern "C"
