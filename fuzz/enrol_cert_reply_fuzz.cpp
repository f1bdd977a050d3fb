// The enrolment client's certificate reply: the bytes are read as the server's
// answer to the request (PKCS#7, PEM, Base64 or one certificate), the own
// certificate is looked for and its issuers are walked up to the root. The
// first byte picks which certificate of the reply carries the client's key
// (none when beyond the list), so that the walk is reached whatever the
// reply's keys are. What the client then hands out must encode.
#include <cstdint>
#include <cstdlib>

#include "enrol_bindings.h"
#include "enrol_client_fuzz.h"
#include "qev_request.h"

using namespace kestrin::enrol;

namespace {

const SEC_CERTLIST_TYPE_TABLE* Lists()
{
    return static_cast<const SEC_CERTLIST_TYPE_TABLE*>(TypeTable(SEC_TYPE_SET_OF_Certificate));
}

// The public key of the reply's certificate number `pick`, or NULL.
KeyInfo* KeyOf(const OctetString& reply, unsigned pick)
{
    SET_OF_Certificate* list = nullptr;
    if (Lists()->parse(&reply, &list) != S_OK)
        return nullptr;
    KeyInfo* key = nullptr;
    for (SET_OF_Certificate* c = list; c != nullptr && key == nullptr; c = c->next, --pick)
        if (pick == 0 && c->element != nullptr)
            c->element->getPublicKeyInfo(&key);
    TypeTable(SEC_TYPE_SET_OF_Certificate)->free(list);
    return key;
}

void Free(unsigned int index, void* value)
{
    if (value != nullptr)
        TypeTable(index)->free(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::StartRuntime();
    if (size == 0)
        return 0;
    OctetString reply {size - 1, const_cast<uint8_t*>(data + 1)};
    CKestrin* client = fuzz::NewClient();
    KeyInfo* key = KeyOf(reply, data[0]);
    if (key != nullptr) {
        KeyPair pair {key, nullptr};
        if (client->SetKey(&pair) != S_OK)
            std::abort();
        Free(SEC_TYPE_KeyInfo, key);
    }
    const HRESULT hr = client->ImportPKCS7(&reply);
    if (hr == S_OK && client->GetState() == QM_STATE_ERROR)
        std::abort();
    SET_OF_Certificate* all = nullptr;
    if (client->GetAllCerts(&all) != S_OK)
        std::abort();
    Free(SEC_TYPE_SET_OF_Certificate, all);
    OctetString* certificate = nullptr;
    OctetString* chain = nullptr;
    OctetString* root = nullptr;
    client->Get_Token(nullptr, &certificate, &chain, &root);
    Free(SEC_TYPE_OctetString, certificate);
    Free(SEC_TYPE_OctetString, chain);
    Free(SEC_TYPE_OctetString, root);
    client->Release();
    return 0;
}
