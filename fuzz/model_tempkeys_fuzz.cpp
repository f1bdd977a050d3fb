// Requested algorithms (908) and lifetimes (910) into GetKey of a temporary
// key, then a signature and a decryption with whatever pair it names, and a
// round through the signature cache. The runtime, the string module and the
// crypto library's key, time and type tables are compiled in. Input: a flag
// byte, eight bytes of lifetime, a length byte and that many bytes of object
// identifier, the rest the algorithm's parameters.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "model/model_clients.h"
#include "model/model_clock.h"
#include "model/model_tempkeys.h"
#include "qev_crypt.h"
#include "qev_tables.h"
#include "qev_time.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_strings.h"

namespace {

using namespace ZELK::PSESVC;

enum Flags : uint8_t {
    kEom = 1,
    kReauthenticate = 2,
    kInvalidate = 4,
    kNoAlgorithm = 8,
    kNoLifetime = 16,
    kNoAnswers = 32,
    kNoParameters = 64,
    kWrongType = 128,
};

bool Bind()
{
    static SEC_FUNCTION_LIST list = {};
    list.malloc = &std::malloc;
    list.calloc = &std::calloc;
    list.realloc = &std::realloc;
    list.free = &std::free;
    sdk_f_list = &list;
    fptr__common_types = qev_find_table("SEC_COMMONTYPES_1");
    CModelApplicationTempKeys::s_cryptTable = qev_find_table(SEC_CRYPT_API);
    CModelApplicationTempKeys::s_timeTable = qev_find_table(SEC_TIME_API);
    return CZELK_API::GetAPI(ZELK_STRING_API, &STRING_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_STRINGW_API, &STRINGW_TABLE) == S_OK && fptr__common_types != nullptr
           && CModelApplicationTempKeys::s_cryptTable != nullptr && CModelApplicationTempKeys::s_timeTable != nullptr
           && CModelClients::ClientConnect("/usr/bin/fuzz", 4242) == S_OK
           && CModelClients::ClientActive("/usr/bin/fuzz", 4242) == S_OK;
}

void FreeAnswer(SECAttribute& a)
{
    if (a.owned && a.value != nullptr && a.type != nullptr)
        a.type->free(a.value);
    a.value = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool bound = Bind();
    if (!bound)
        abort();
    if (size < 10)
        return 0;
    const uint8_t flags = data[0];
    uint64_t lifetime = 0;
    std::memcpy(&lifetime, data + 1, 8);
    const size_t oidLength = std::min<size_t>(data[9], size - 10);
    const uint8_t* oid = data + 10;
    const uint8_t* param = oid + oidLength;
    const size_t paramLength = size - 10 - oidLength;
    ModelClockSet(1900000000);

    ObjId objid {oidLength, const_cast<uint8_t*>(oid)};
    OctetString params {paramLength, const_cast<uint8_t*>(param)};
    AlgId algorithm {&objid, (flags & kNoParameters) != 0 ? nullptr : &params};
    SECAttribute life {};
    life.id = SEC_ATTR_TEMP_KEY_LIFETIME;
    auto seconds = static_cast<uint32_t>(lifetime);
    life.value = &seconds;
    SECAttribute alg {};
    alg.id = SEC_ATTR_TEMP_KEY_ALGORITHM;
    alg.value = &algorithm;
    alg.type = SEC_TypeTable(fptr__common_types, (flags & kWrongType) != 0 ? SEC_TYPE_String : SEC_TYPE_AlgId);
    alg.next = (flags & kNoLifetime) != 0 ? nullptr : &life;
    SECAttribute* in = (flags & kNoAlgorithm) != 0 ? alg.next : &alg;
    SECAttribute pub {}, named {}, created {};
    pub.id = SEC_ATTR_TEMP_KEY_PUBLIC;
    named.id = SEC_ATTR_TEMP_KEY;
    created.id = SEC_ATTR_TEMP_KEY_CREATED;
    pub.next = &named;
    named.next = &created;

    CModelApplicationConnection* connection = nullptr;
    if (CModelClients::StartApplication("fuzz.example", (flags & kEom) != 0 ? "eom:" : "", nullptr, &connection)
        != S_OK)
        abort();
    connection->m_reauthenticate = (flags & kReauthenticate) != 0;
    connection->m_invalidateOnExit = (flags & kInvalidate) != 0;
    CModelApplicationTempKey* key = nullptr;
    if (CModelApplicationTempKeys::GetKey(connection, in, (flags & kNoAnswers) != 0 ? nullptr : &pub, &key) != S_OK)
        abort();
    if (key == nullptr) {
        // Asking for nothing finds a key only where the target already shares one.
        if (in != nullptr)
            abort();
        connection->ConnectionClosed();
        static_cast<IGUIModelApplicationConnection*>(connection)->Release();
        return 0;
    }

    // Sign and decrypt with the pair the answer names (none without one).
    SECAttribute use {};
    use.id = SEC_ATTR_TEMP_KEY;
    use.value = named.value;
    use.type = named.type;
    unsigned char digest[36] = {};
    std::memcpy(digest, data, std::min<size_t>(size, sizeof digest));
    unsigned char out[1024];
    unsigned long outLength = sizeof out;
    HRESULT hr = key->encryptDigest(&use, (flags & kEom) != 0, digest, sizeof digest, out, &outLength);
    if (named.value == nullptr && hr != E_FAIL)
        abort();
    if (SUCCEEDED(hr) && outLength > sizeof out)
        abort();
    outLength = sizeof out;
    key->decryptKey(&use, data, size, out, &outLength);
    if (key->encryptDigest(&use, false, digest, sizeof digest, out, nullptr) != E_INVALIDARG)
        abort();

    // The cache answers exactly what it was given.
    key->SetCachedSignature(data, size, param, paramLength);
    outLength = sizeof out;
    hr = key->GetCachedSignature(data, size, out, &outLength);
    if (hr == S_OK && (outLength != paramLength || std::memcmp(out, param, paramLength) != 0))
        abort();
    if (paramLength <= sizeof out && hr != S_OK)
        abort();

    FreeAnswer(pub);
    FreeAnswer(named);
    FreeAnswer(created);
    key->Release();
    connection->ConnectionClosed();
    static_cast<IGUIModelApplicationConnection*>(connection)->Release();
    return 0;
}
