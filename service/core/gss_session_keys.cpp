// Server-session keys and the key operations of a connection: temporary key
// pairs that the connections of one application to one server share for a
// while, signatures of the user's own key cached for them, and the signing
// and decryption the handshake asks for.
#include <string_view>

#include "../model/model_certs.h"
#include "../model/model_clients.h"
#include "../model/model_tempkeys.h"
#include "../tokens/token_manager.h"
#include "gss_connections.h"
#include "qev_results.h"
#include "zelk_ptr.h"
#include "zelk_secattribute.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

constexpr HRESULT E_GSS_NOCREDENTIAL = ZELK_RC(0xA010001F);
// The lowest lifetime of a temporary key, in seconds.
constexpr uint32_t kMinTempKeyLifetime = 900;

}  // namespace

HRESULT CGssConnections::DoGssActionGetTempKey(CModelApplicationConnection* record, SECAttribute* in, SECAttribute* out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CGssConnections::DoGssActionGetTempKey");
    {
        AuxRefPtr<CModelApplicationTempKey> key;
        CModelApplicationTempKeys::GetKey(record, nullptr, nullptr, &key);
        if (key && key->IsExpired()) {
            key->ClearSignatureCache();
            key->DecrementUsageCount();
            record->SetTempKey(nullptr);
        }
    }
    if (in == nullptr || out == nullptr)
        return trace.result = S_FALSE;

    const auto requested = static_cast<uint32_t>(SECAttributeArray_GetInteger(in, SEC_ATTR_TEMP_KEY_LIFETIME));
    uint32_t lifetime = 0;
    if (std::string_view(record->GetTokenURI()) == "eom:") {
        lifetime = 0;
    } else if (requested != 0) {
        lifetime = requested;
    } else {
        ZELK_PTR(ZELK_IPolicy) configuration;
        record->GetPolicy(nullptr, &configuration);
        const uint32_t minutes = configuration ? configuration->GetDWORD("ServerSessionKeyTTL") : 0;
        lifetime = minutes * 60u;
        if (lifetime < kMinTempKeyLifetime)
            lifetime = kMinTempKeyLifetime;
    }
    // The caller's list stays as it is: the lifetime decided here goes in
    // front, where the key list finds it first.
    SECAttribute lifetimeEntry {};
    lifetimeEntry.id = SEC_ATTR_TEMP_KEY_LIFETIME;
    lifetimeEntry.value = &lifetime;
    lifetimeEntry.next = in;
    SECAttribute* list = &lifetimeEntry;
    CModelApplicationTempKeys::GetKey(record, list, out, nullptr);
    return trace.result = S_OK;
}

HRESULT CGssConnections::getOwnCertificate(SECAttribute* in, SET_OF_PersonalCertificateInfo** out)
{
    AuxRefPtr<CModelApplicationConnection> record;
    if (FAILED(GssFindConnection(in, &record)))
        return S_FALSE;
    AuxRefPtr<CModelApplicationTempKey> key;
    record->GetTempKey(&key);
    AuxPtr<PersonalCertificateInfo> certificate;
    if (key)
        key->GetPCI(&certificate);
    if (certificate) {
        const SEC_TYPE_TABLE* list = SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_PersonalCertificateInfo);
        const SEC_TYPE_TABLE* type = SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo);
        if (out == nullptr || list == nullptr || type == nullptr)
            return E_FAIL;
        void* node = nullptr;
        if (FAILED(list->new_node(&node)) || node == nullptr)
            return E_OUTOFMEMORY;
        void* copy = nullptr;
        if (FAILED(type->copy(certificate, &copy))) {
            list->free(node);
            return E_OUTOFMEMORY;
        }
        static_cast<SET_OF_PersonalCertificateInfo*>(node)->element = static_cast<PersonalCertificateInfo*>(copy);
        *out = static_cast<SET_OF_PersonalCertificateInfo*>(node);
        return S_OK;
    }
    record->GetPCI(out, in);
    AuxPtr<PersonalCertificateInfo> selected;
    record->GetSelectedPCI(&selected);
    if (!selected && out != nullptr && *out != nullptr && (*out)->element != nullptr)
        record->SetSelectedPCI((*out)->element);
    return S_OK;
}

HRESULT CGssConnections::encryptDigest(SECAttribute* in, const unsigned char* data, unsigned long length,
                                       unsigned char* out, unsigned long* outLength)
{
    AuxRefPtr<CModelApplicationConnection> record;
    if (FAILED(GssFindConnection(in, &record)))
        return E_GSS_NOCREDENTIAL;
    if (SECAttributeArray_FindAttribute(in, SEC_ATTR_TEMP_KEY) != nullptr)
        return encryptDigest_withTempKey(record, in, data, length, out, outLength);
    return encryptDigest_withSelectedKey(record, in, data, length, out, outLength);
}

HRESULT CGssConnections::encryptDigest_withTempKey(CModelApplicationConnection* record, SECAttribute* in,
                                                   const unsigned char* data, unsigned long length, unsigned char* out,
                                                   unsigned long* outLength)
{
    AuxRefPtr<CModelApplicationTempKey> key;
    record->GetTempKey(&key);
    if (!key)
        return E_GSS_NOCREDENTIAL;
    const bool eom = std::string_view(record->GetTokenURI()) == "eom:";
    return key->encryptDigest(in, eom, data, length, out, outLength);
}

HRESULT CGssConnections::encryptDigest_withSelectedKey(CModelApplicationConnection* record, SECAttribute* in,
                                                       const unsigned char* data, unsigned long length,
                                                       unsigned char* out, unsigned long* outLength)
{
    AuxRefPtr<CModelApplicationTempKey> key;
    record->GetTempKey(&key);
    if (key) {
        HRESULT cached = key->GetCachedSignature(data, length, out, outLength);
        if (cached == S_OK) {
            SECTRACE_WriteLn(nullptr, 3, "the same session key has already been signed -> using a cached signature");
            return S_OK;
        }
        if (cached == E_COMMON_BUFFERTOOSMALL)
            return cached;
    }
    AuxPtr<PersonalCertificateInfo> selected;
    record->GetSelectedPCI(&selected);
    if (!selected)
        return E_GSS_NOCREDENTIAL;
    AuxRefPtr<CTokenMgr> tokens;
    HRESULT hr = CSingletonFactoryImpl<CTokenMgr>::New(&tokens);
    if (FAILED(hr))
        return hr;
    hr =
        tokens->Sign(selected->tokenName, selected->keyId, SECAttributeArray_GetAlgId(in, SEC_ATTR_SIGNATURE_ALGORITHM),
                     true, data, length, out, outLength, in);
    if (SUCCEEDED(hr) && key) {
        hr = key->SetCachedSignature(data, length, out, *outLength);
        AuxPtr<PersonalCertificateInfo> held;
        key->GetPCI(&held);
        if (!held)
            key->SetPCI(selected);
    }
    return hr;
}

HRESULT CGssConnections::decryptKey(SECAttribute* in, const unsigned char* data, unsigned long length,
                                    unsigned char* out, unsigned long* outLength)
{
    AuxRefPtr<CModelApplicationConnection> record;
    if (FAILED(GssFindConnection(in, &record)))
        return E_GSS_NOCREDENTIAL;
    if (SECAttributeArray_FindAttribute(in, SEC_ATTR_TEMP_KEY) != nullptr)
        return decryptKey_withTempKey(record, in, data, length, out, outLength);
    // The connection's own key: the service PSE decrypts with the token.
    return S_FALSE;
}

HRESULT CGssConnections::decryptKey_withTempKey(CModelApplicationConnection* record, SECAttribute* in,
                                                const unsigned char* data, unsigned long length, unsigned char* out,
                                                unsigned long* outLength)
{
    AuxRefPtr<CModelApplicationTempKey> key;
    record->GetTempKey(&key);
    if (!key)
        return E_GSS_NOCREDENTIAL;
    return key->decryptKey(in, data, length, out, outLength);
}

}  // namespace ZELK::PSESVC
