// PKCS#12 values and the table "SEC_PKCS12_1" of the crypto library.
#pragma once

#include "qev_values.h"

constexpr const char* SEC_PKCS12_API = "SEC_PKCS12_1";

extern "C" {

enum P12_BAG_KIND : int { P12_BAG_KEY = 0, P12_BAG_CERTIFICATE = 1 };

// One bag. The content is a PrivateKeyInfo (key bag) or a Certificate
// holding one reference (certificate bag). The friendly name is a BMPString's
// contents (see SEC_Encode_Latin1ToBmp); NULL when absent, as is the local
// key identifier.
struct P12_Bag {
    int kind;
    int encrypted;  // key bag: shrouded under the key encryption
    void* content;
    OctetString* friendlyName;
    OctetString* localKeyId;
};

// A list of bags, in file order: singly linked nodes, each owning its bag.
struct SET_OF_P12_Bag {
    P12_Bag* element;
    SET_OF_P12_Bag* next;
};

// A whole file before encoding: the bags, the integrity digest and the two
// password-based encryptions (certificate bags, shrouded key bags), and the
// iteration count of all three.
struct P12_Safe {
    int version;
    SET_OF_P12_Bag* bags;
    ObjId* macDigest;
    ObjId* certificateEncryption;
    ObjId* keyEncryption;
    int iterations;
};

struct SEC_PKCS12_TABLE : API_COMMON {
    // 1: the PKCS#12 type table; its entries 3, 10 and 11 are the type tables
    // of P12_Safe, SET_OF_P12_Bag and P12_Bag (index as in SEC_TypeTable).
    const API_COMMON* (*types)();
    void* reserved2[7];  // 2 to 8
    // 9: the encoded file, protected with `password` (NULL: none).
    HRESULT (*encode)(const P12_Safe* safe, const char* password, OctetString** out);
    void* reserved10;
    // 11: the bags of a file in file order. *verified is set when the
    // integrity code matched the password; the bags are read only then.
    HRESULT (*parse)(const OctetString* pfx, const char* password, SET_OF_P12_Bag** bags, int* verified);
    // 12: 0 when the public and the private key of the pair belong together,
    // 1 when they do not, negative when either cannot be read.
    HRESULT (*key_pair_check)(const KeyPair* pair);
};

}  // extern "C"
