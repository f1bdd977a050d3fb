#include "gss_driver.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <utility>

#include "model/model_tempkeys.h"
#include "qev_attributes.h"
#include "qev_records.h"
#include "qev_values.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_secattribute.h"

namespace kestrin::service::test {
namespace {

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

const std::vector<unsigned char> kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

AlgId* NewEcAlgId()
{
    auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(Type(SEC_TYPE_ObjId));
    auto* algorithm = static_cast<AlgId*>(sec_calloc(1, sizeof(AlgId)));
    objIds->from_text("1.2.840.10045.2.1", &algorithm->objid);
    algorithm->param = static_cast<OctetString*>(sec_calloc(1, sizeof(OctetString)));
    algorithm->param->data = static_cast<unsigned char*>(sec_malloc(kP256.size()));
    std::memcpy(algorithm->param->data, kP256.data(), kP256.size());
    algorithm->param->length = kP256.size();
    return algorithm;
}

DName* NewName(const std::string& text)
{
    auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(Type(SEC_TYPE_DName));
    DName* name = nullptr;
    names->from_text(text.c_str(), &name);
    return name;
}

std::string Der(const Certificate* certificate)
{
    OctetString* der = nullptr;
    if (certificate == nullptr || FAILED(Type(SEC_TYPE_Certificate)->encode(certificate, &der)) || der == nullptr)
        return {};
    std::string bytes(reinterpret_cast<const char*>(der->data), static_cast<size_t>(der->length));
    Type(SEC_TYPE_OctetString)->free(der);
    return bytes;
}

bool Verify(const std::string& certificateDer, const std::string& data, const unsigned char* signature,
            unsigned long length)
{
    const auto* p = reinterpret_cast<const unsigned char*>(certificateDer.data());
    X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size()));
    if (certificate == nullptr)
        return false;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context != nullptr
              && EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, X509_get0_pubkey(certificate)) == 1
              && EVP_DigestVerify(context, signature, length, reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size())
                     == 1;
    EVP_MD_CTX_free(context);
    X509_free(certificate);
    return ok;
}

}  // namespace

// One call's attribute chains: values owned here, answers freed through
// their type's table.
struct GssDriver::Lists {
    std::vector<std::unique_ptr<SECAttribute>> in;
    std::vector<std::unique_ptr<SECAttribute>> out;
    std::vector<std::pair<unsigned int, void*>> owned;
    int32_t connection = 0;
    int32_t integers[4] = {};

    ~Lists()
    {
        for (auto& entry : out)
            if (entry->owned && entry->value != nullptr) {
                if (entry->type != nullptr && entry->type != Type(SEC_TYPE_int) && entry->type != Type(SEC_TYPE_String))
                    entry->type->free(entry->value);
                else
                    sec_free(entry->value);
            }
        for (auto& [type, value] : owned)
            if (value != nullptr)
                Type(type)->free(value);
    }
    SECAttribute* Add(std::vector<std::unique_ptr<SECAttribute>>& list, uint32_t id, unsigned int type, void* value)
    {
        auto entry = std::make_unique<SECAttribute>();
        entry->id = id;
        entry->type = Type(type);
        entry->value = value;
        if (!list.empty())
            list.back()->next = entry.get();
        list.push_back(std::move(entry));
        return list.back().get();
    }
    void In(uint32_t id, unsigned int type, void* value) { Add(in, id, type, value); }
    void InOwned(uint32_t id, unsigned int type, void* value)
    {
        owned.emplace_back(type, value);
        In(id, type, value);
    }
    void Out(uint32_t id, unsigned int type) { Add(out, id, type, nullptr); }
    SECAttribute* InHead() { return in.empty() ? nullptr : in.front().get(); }
    SECAttribute* OutHead() { return out.empty() ? nullptr : out.front().get(); }
};

GssDriver::GssDriver(PSE* pse, ServerOffer offer) : m_pse(pse), m_offer(std::move(offer)) {}

GssDriver::~GssDriver()
{
    if (m_tempKey != nullptr)
        Type(SEC_TYPE_KeyInfo)->free(m_tempKey);
}

HRESULT GssDriver::Start()
{
    Lists lists;
    lists.In(SEC_ATTR_ACTION, SEC_TYPE_String, const_cast<char*>("ConnectionStart"));
    if (!m_offer.target.empty())
        lists.InOwned(SEC_ATTR_TARGET_NAME, SEC_TYPE_DName, NewName(m_offer.target));
    lists.Out(SEC_ATTR_CONNECTION, SEC_TYPE_int);
    lists.Out(SEC_ATTR_CONNECTION_CONFIG, SEC_TYPE_String);
    lists.Out(SEC_ATTR_KERBEROS_SESSION_KEY, SEC_TYPE_OctetString);
    lists.Out(SEC_ATTR_KERBEROS_KEY_ALGORITHM, SEC_TYPE_int);
    if (m_offer.kerberos)
        lists.Out(SEC_ATTR_KERBEROS_TICKET, SEC_TYPE_OctetString);
    HRESULT hr = m_pse->control(lists.InHead(), lists.OutHead());
    m_number = static_cast<unsigned>(SECAttributeArray_GetInteger(lists.OutHead(), SEC_ATTR_CONNECTION));
    const char* config = SECAttributeArray_GetString(lists.OutHead(), SEC_ATTR_CONNECTION_CONFIG);
    m_config = config != nullptr ? config : "";
    m_ticket = SECAttributeArray_FindAttribute(lists.OutHead(), SEC_ATTR_KERBEROS_TICKET) != nullptr
               && SECAttributeArray_FindAttribute(lists.OutHead(), SEC_ATTR_KERBEROS_TICKET)->value != nullptr;
    return hr;
}

HRESULT GssDriver::GetCredentials()
{
    Lists lists;
    lists.In(SEC_ATTR_ACTION, SEC_TYPE_String, const_cast<char*>("GetCredentials"));
    lists.connection = static_cast<int32_t>(m_number);
    lists.In(SEC_ATTR_CONNECTION, SEC_TYPE_int, &lists.connection);
    if (!m_offer.target.empty())
        lists.InOwned(SEC_ATTR_TARGET_NAME, SEC_TYPE_DName, NewName(m_offer.target));
    if (!m_offer.issuers.empty()) {
        const SEC_TYPE_TABLE* list = Type(SEC_TYPE_SET_OF_DName);
        void* head = nullptr;
        for (auto it = m_offer.issuers.rbegin(); it != m_offer.issuers.rend(); ++it) {
            list->new_node(&head);
            static_cast<SET_OF_DName*>(head)->element = NewName(*it);
        }
        lists.InOwned(SEC_ATTR_ROOT_ISSUERS, SEC_TYPE_SET_OF_DName, head);
    }
    if (m_offer.encryptionOnly >= 0) {
        lists.integers[0] = m_offer.encryptionOnly;
        lists.In(SEC_ATTR_ENCRYPTION_ONLY, SEC_TYPE_int, &lists.integers[0]);
    }
    lists.In(SEC_ATTR_HANDSHAKE_INFO, SEC_TYPE_String, const_cast<char*>("TLS 1.3"));
    lists.Out(SEC_ATTR_KERBEROS_SESSION_KEY, SEC_TYPE_OctetString);
    lists.Out(SEC_ATTR_KERBEROS_KEY_ALGORITHM, SEC_TYPE_int);
    if (m_offer.kerberos)
        lists.Out(SEC_ATTR_KERBEROS_TICKET, SEC_TYPE_OctetString);
    if (m_offer.x509)
        lists.Out(SEC_ATTR_CREDENTIAL, SEC_TYPE_PersonalCertificateInfo);
    lists.Out(SEC_ATTR_CREDENTIAL_TEMP_KEYS, SEC_TYPE_int);
    HRESULT hr = m_pse->control(lists.InHead(), lists.OutHead());
    SECAttribute* credential = SECAttributeArray_FindAttribute(lists.OutHead(), SEC_ATTR_CREDENTIAL);
    const auto* info = credential != nullptr ? static_cast<const PersonalCertificateInfo*>(credential->value) : nullptr;
    m_credential = info != nullptr && info->tokenName != nullptr ? info->tokenName : "";
    m_credentialDer = info != nullptr ? Der(info->certificate) : "";
    SECAttribute* ticket = SECAttributeArray_FindAttribute(lists.OutHead(), SEC_ATTR_KERBEROS_TICKET);
    m_ticket = ticket != nullptr && ticket->value != nullptr;
    SECAttribute* flag = SECAttributeArray_FindAttribute(lists.OutHead(), SEC_ATTR_CREDENTIAL_TEMP_KEYS);
    m_tempKeyFlag = flag != nullptr && flag->value != nullptr ? *static_cast<int32_t*>(flag->value) : -1;
    return hr;
}

HRESULT GssDriver::GetTempKey()
{
    Lists lists;
    lists.In(SEC_ATTR_ACTION, SEC_TYPE_String, const_cast<char*>("GetTempKey"));
    lists.connection = static_cast<int32_t>(m_number);
    lists.In(SEC_ATTR_CONNECTION, SEC_TYPE_int, &lists.connection);
    lists.InOwned(ZELK::PSESVC::SEC_ATTR_TEMP_KEY_ALGORITHM, SEC_TYPE_AlgId, NewEcAlgId());
    if (m_offer.lifetime >= 0) {
        lists.integers[1] = static_cast<int32_t>(m_offer.lifetime);
        lists.In(SEC_ATTR_TEMP_KEY_LIFETIME, SEC_TYPE_int, &lists.integers[1]);
    }
    lists.Out(ZELK::PSESVC::SEC_ATTR_TEMP_KEY_PUBLIC, SEC_TYPE_KeyInfo);
    lists.Out(SEC_ATTR_TEMP_KEY, SEC_TYPE_KeyInfo);
    lists.Out(ZELK::PSESVC::SEC_ATTR_TEMP_KEY_CREATED, SEC_TYPE_String);
    HRESULT hr = m_pse->control(lists.InHead(), lists.OutHead());
    SECAttribute* named = SECAttributeArray_FindAttribute(lists.OutHead(), SEC_ATTR_TEMP_KEY);
    if (named != nullptr && named->value != nullptr) {
        if (m_tempKey != nullptr)
            Type(SEC_TYPE_KeyInfo)->free(m_tempKey);
        m_tempKey = named->value;
        named->value = nullptr;
        named->owned = 0;
    }
    return hr;
}

HRESULT GssDriver::OwnCertificate(std::string& uri)
{
    Lists lists;
    lists.connection = static_cast<int32_t>(m_number);
    lists.In(SEC_ATTR_CONNECTION, SEC_TYPE_int, &lists.connection);
    SET_OF_PersonalCertificateInfo* list = nullptr;
    HRESULT hr = m_pse->getOwnCertificate(nullptr, lists.InHead(), &list);
    uri = list != nullptr && list->element != nullptr && list->element->tokenName != nullptr ? list->element->tokenName
                                                                                             : "";
    if (list != nullptr)
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(list);
    return hr;
}

HRESULT GssDriver::Sign(const std::string& data, bool withTempKey, bool& verified, unsigned long bufferSize,
                        unsigned long* needed)
{
    verified = false;
    Lists lists;
    lists.connection = static_cast<int32_t>(m_number);
    lists.In(SEC_ATTR_CONNECTION, SEC_TYPE_int, &lists.connection);
    if (withTempKey)
        lists.In(SEC_ATTR_TEMP_KEY, SEC_TYPE_KeyInfo, m_tempKey);
    std::vector<unsigned char> signature(bufferSize != 0 ? bufferSize : 4096);
    unsigned long length = static_cast<unsigned long>(signature.size());
    HRESULT hr = m_pse->encryptDigest(nullptr, lists.InHead(), reinterpret_cast<const unsigned char*>(data.data()),
                                      static_cast<unsigned long>(data.size()), signature.data(), &length);
    if (needed != nullptr)
        *needed = length;
    if (SUCCEEDED(hr))
        verified = withTempKey ? length > 0 : Verify(m_credentialDer, data, signature.data(), length);
    return hr;
}

HRESULT GssDriver::Decrypt(bool withTempKey)
{
    Lists lists;
    lists.connection = static_cast<int32_t>(m_number);
    lists.In(SEC_ATTR_CONNECTION, SEC_TYPE_int, &lists.connection);
    if (withTempKey)
        lists.In(SEC_ATTR_TEMP_KEY, SEC_TYPE_KeyInfo, m_tempKey);
    unsigned char in[32] = {};
    unsigned char out[512];
    unsigned long length = sizeof out;
    return m_pse->decryptKey(nullptr, lists.InHead(), in, sizeof in, out, &length);
}

HRESULT GssDriver::ManualServerTrust(int& trusted)
{
    Lists lists;
    lists.In(SEC_ATTR_ACTION, SEC_TYPE_String, const_cast<char*>("ManualServerTrust"));
    lists.connection = static_cast<int32_t>(m_number);
    lists.In(SEC_ATTR_CONNECTION, SEC_TYPE_int, &lists.connection);
    lists.Out(SEC_ATTR_MANUAL_TRUST, SEC_TYPE_int);
    HRESULT hr = m_pse->control(lists.InHead(), lists.OutHead());
    SECAttribute* answer = SECAttributeArray_FindAttribute(lists.OutHead(), SEC_ATTR_MANUAL_TRUST);
    trusted = answer != nullptr && answer->value != nullptr ? *static_cast<int32_t*>(answer->value) : -1;
    return hr;
}

HRESULT GssDriver::Action(const char* action)
{
    Lists lists;
    lists.In(SEC_ATTR_ACTION, SEC_TYPE_String, const_cast<char*>(action));
    lists.connection = static_cast<int32_t>(m_number);
    lists.In(SEC_ATTR_CONNECTION, SEC_TYPE_int, &lists.connection);
    lists.In(SEC_ATTR_HANDSHAKE_INFO, SEC_TYPE_String, const_cast<char*>("TLS 1.3"));
    return m_pse->control(lists.InHead(), lists.OutHead());
}

}  // namespace kestrin::service::test
