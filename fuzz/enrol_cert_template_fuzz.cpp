// The enrolment client's renewal template: the bytes are read as the
// certificate to renew, whose subject and alternative names the next request
// takes; a request is then made from them with one small key for every run.
#include <cstdint>
#include <cstdlib>

#include "enrol_bindings.h"
#include "enrol_client_fuzz.h"

using namespace kestrin::enrol;

namespace {

KeyPair* SmallKey()
{
    SECAttribute algorithm {};
    algorithm.id = SEC_ATTR_ALGORITHM;
    algorithm.value = reinterpret_cast<void*>(static_cast<uintptr_t>(SEC_KEY_ALGORITHM_RSA));
    SECAttribute bits {};
    bits.id = SEC_ATTR_KEY_BITS;
    bits.value = reinterpret_cast<void*>(static_cast<uintptr_t>(1024));
    bits.next = &algorithm;
    SECAttribute privateOut {};
    privateOut.id = SEC_ATTR_KEY;
    SECAttribute publicOut {};
    publicOut.id = SEC_ATTR_KEY;
    if (CryptTable()->gen_keypair(&bits, nullptr, &privateOut, nullptr, &publicOut) != S_OK)
        std::abort();
    void* node = nullptr;
    if (TypeTable(SEC_TYPE_KeyPair)->new_node(&node) != S_OK || node == nullptr)
        std::abort();
    auto* pair = static_cast<KeyPair*>(node);
    pair->privateKey = static_cast<KeyInfo*>(privateOut.value);
    pair->publicKey = static_cast<KeyInfo*>(publicOut.value);
    return pair;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::StartRuntime();
    static KeyPair* const pair = SmallKey();
    CKestrin* client = fuzz::NewClient();
    if (client->SetKey(pair) != S_OK || client->SetClientCertTemplate(data, size) != S_OK)
        std::abort();
    if (client->CreatePKCS10(nullptr, nullptr) == S_OK) {
        OctetString* request = nullptr;
        if (client->GetPKCS10(&request) != S_OK || request == nullptr)
            std::abort();
        TypeTable(SEC_TYPE_OctetString)->free(request);
    }
    client->Release();
    return 0;
}
