// The service PSE's readers of outside bytes: application-object names and
// values (the "kvc." commands split their texts within the value's length)
// and token names of private keys (hashed names are cut), on a service PSE
// without a security context whose token manager records what reaches it.
// Input: records of a kind byte, a two-byte length and that many bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "fakes/fake_token_calls.h"
#include "fuzz_records.h"
#include "remoting_fuzz_support.h"
#include "zelkpse.h"

using kestrin::service::test::TokenCalls;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    remoting_fuzz::Setup();
    TokenCalls::Reset();
    CComObject<ZELK::PSESVC::ZELKPSE>* pse = nullptr;
    CComObject<ZELK::PSESVC::ZELKPSE>::CreateInstance(&pse);
    pse->AddRef();
    std::string name;
    kestrin::fuzz::Record record;
    while (kestrin::fuzz::NextRecord(data, size, record)) {
        const uint8_t kind = record.kind;
        std::string& bytes = record.bytes;
        switch (kind % 4) {
        case 0:  // a name (up to its first NUL) for the next records
            name.assign(bytes.c_str());
            break;
        case 1: {  // a value written under the name, read back
            OctetString value {bytes.size(), reinterpret_cast<unsigned char*>(bytes.data())};
            pse->writeApplObject(name.c_str(), bytes.empty() && (kind & 4) ? nullptr : &value);
            OctetString* read = nullptr;
            if (pse->readApplObject(name.c_str(), &read) == S_OK && read != nullptr)
                AuxFree(&read);
            break;
        }
        case 2: {  // a token name of a private key
            TokenObjectPrivateKey* key = nullptr;
            std::string token(bytes.c_str());
            pse->getPrivateKey(token.c_str(), name.c_str(), &key);
            if (key)
                key->Release();
            break;
        }
        default: {  // a certificate object by the same rules
            TokenObjectCertificate* certificate = nullptr;
            pse->getCertificate(bytes.c_str(), name.c_str(), nullptr, &certificate);
            if (certificate)
                certificate->Release();
            break;
        }
        }
    }
    pse->Release();
    return 0;
}
