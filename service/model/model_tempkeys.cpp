#include "model_tempkeys.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <limits>

#include "model_clock.h"
#include "qev_crypt.h"
#include "qev_time.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_secattribute.h"

namespace ZELK::PSESVC {
namespace {

CLoadAPI s_loadCrypt(nullptr, SEC_CRYPT_API, &CModelApplicationTempKeys::s_cryptTable);
CLoadAPI s_loadTime(nullptr, SEC_TIME_API, &CModelApplicationTempKeys::s_timeTable);

// A certificate that ends within this many seconds no longer backs a key.
constexpr int64_t kCertificateMargin = 300;

const SEC_TYPE_TABLE* Types(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

void FreeValue(unsigned int index, void* value)
{
    const SEC_TYPE_TABLE* table = Types(index);
    if (value != nullptr && table != nullptr && table->free != nullptr)
        table->free(value);
}

template <class T>
T* CopyValue(unsigned int index, const T* value)
{
    const SEC_TYPE_TABLE* table = Types(index);
    void* copy = nullptr;
    if (value == nullptr || table == nullptr || table->copy == nullptr || FAILED(table->copy(value, &copy)))
        return nullptr;
    return static_cast<T*>(copy);
}

SECAttribute* FindIn(const SECAttribute* chain, uint32_t id)
{
    for (; chain != nullptr; chain = chain->next)
        if (chain->id == id)
            return const_cast<SECAttribute*>(chain);
    return nullptr;
}

const SEC_CRYPT_TABLE* Crypt()
{
    return static_cast<const SEC_CRYPT_TABLE*>(CModelApplicationTempKeys::s_cryptTable);
}

// The value of a DER INTEGER of at most 63 bits, when the algorithm's
// parameters are one; 0 otherwise.
uint64_t IntegerParameter(const AlgId* algorithm)
{
    const OctetString* p = algorithm->param;
    if (p == nullptr || p->data == nullptr || p->length < 3 || p->length > 10 || p->data[0] != 0x02
        || p->data[1] != p->length - 2 || (p->data[2] & 0x80) != 0)
        return 0;
    uint64_t value = 0;
    for (uint64_t i = 2; i < p->length; ++i) {
        if (value > (std::numeric_limits<uint64_t>::max() >> 8))
            return 0;
        value = (value << 8) | p->data[i];
    }
    return value;
}

// The algorithm of attribute 908: an AlgId with an object identifier.
const AlgId* RequestedAlgorithm(const SECAttribute* in)
{
    const SECAttribute* a = FindIn(in, SEC_ATTR_TEMP_KEY_ALGORITHM);
    if (a == nullptr || a->value == nullptr || (a->type != nullptr && a->type != Types(SEC_TYPE_AlgId)))
        return nullptr;
    const auto* algorithm = static_cast<const AlgId*>(a->value);
    if (algorithm->objid == nullptr || algorithm->objid->data == nullptr || algorithm->objid->length == 0)
        return nullptr;
    return algorithm;
}

// The algorithm that attribute 905's key names.
const AlgId* NamedAlgorithm(const SECAttribute* in)
{
    const SECAttribute* a = FindIn(in, SEC_ATTR_TEMP_KEY);
    if (a == nullptr || a->value == nullptr || (a->type != nullptr && a->type != Types(SEC_TYPE_KeyInfo)))
        return nullptr;
    return static_cast<const KeyInfo*>(a->value)->algorithm;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b)
{
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

// Gives an attribute of `out` a new value it owns, freeing what it held.
void Answer(SECAttribute* out, uint32_t id, unsigned int type, void* value)
{
    SECAttribute* a = FindIn(out, id);
    if (a == nullptr || value == nullptr) {
        FreeValue(type, value);
        return;
    }
    if (a->owned && a->value != nullptr && a->type != nullptr && a->type->free != nullptr)
        a->type->free(a->value);
    a->value = value;
    a->owned = 1;
    a->answered = 1;
    a->type = Types(type);
}

// A library string copy of a text.
char* LibraryText(const std::string& text)
{
    char* copy = nullptr;
    String_Copy(text.c_str(), &copy);
    return copy;
}

}  // namespace

API_COMMON* CModelApplicationTempKeys::s_cryptTable = nullptr;
API_COMMON* CModelApplicationTempKeys::s_timeTable = nullptr;

// ---------------------------------------------------------------------------
// One key

CModelApplicationTempKey::TempKeyInfo::~TempKeyInfo()
{
    FreeValue(SEC_TYPE_AlgId, algorithm);
    FreeValue(SEC_TYPE_KeyInfo, privateKey);
    FreeValue(SEC_TYPE_KeyInfo, publicKey);
}

CModelApplicationTempKey::~CModelApplicationTempKey()
{
    FreeValue(SEC_TYPE_PersonalCertificateInfo, m_certificate);
    for (CModelClient* client : m_clients)
        static_cast<IGUIModelClient*>(client)->Release();
}

HRESULT CModelApplicationTempKey::New(const wchar_t* name, const PersonalCertificateInfo* certificate,
                                      CModelApplicationTempKey** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CComObject<CModelApplicationTempKey>* key = nullptr;
    if (FAILED(CComObject<CModelApplicationTempKey>::CreateInstance(&key)))
        return E_OUTOFMEMORY;
    key->AddRef();
    key->m_name = name != nullptr ? name : L"";
    key->m_usage = 1;
    key->m_certificate = CopyValue(SEC_TYPE_PersonalCertificateInfo, certificate);
    *out = key;
    return S_OK;
}

bool CModelApplicationTempKey::DropExpiredPairs()
{
    const uint64_t now = ModelClockNow();
    const size_t before = m_pairs.size();
    std::erase_if(m_pairs, [now](const Pair& p) { return p->expiry != 0 && p->expiry < now; });
    return m_pairs.size() != before;
}

CModelApplicationTempKey::Pair CModelApplicationTempKey::FindPair(const AlgId* algorithm, bool eom)
{
    if (algorithm == nullptr)
        return nullptr;
    DropExpiredPairs();
    const SEC_TYPE_TABLE* algIds = Types(SEC_TYPE_AlgId);
    if (algIds == nullptr || algIds->compare == nullptr)
        return nullptr;
    for (const Pair& p : m_pairs)
        if (p->eom == eom && algIds->compare(p->algorithm, algorithm) == 0)
            return p;
    return nullptr;
}

CModelApplicationTempKey::Pair CModelApplicationTempKey::GetTempKeyInfo(const AlgId* algorithm, bool eom)
{
    std::lock_guard lock(m_pairMutex);
    return FindPair(algorithm, eom);
}

CModelApplicationTempKey::Pair CModelApplicationTempKey::GetTempKeyInfo(const SECAttribute* in, bool eom)
{
    return GetTempKeyInfo(NamedAlgorithm(in), eom);
}

HRESULT CModelApplicationTempKey::getOrCreateKey(const SECAttribute* in, SECAttribute* out, bool eom)
{
    const AlgId* algorithm = RequestedAlgorithm(in);
    const auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(Types(SEC_TYPE_ObjId));
    if (algorithm == nullptr || objIds == nullptr || Crypt() == nullptr)
        return E_INVALIDARG;
    Pair pair;
    {
        // Held through the generation: concurrent requests for the same
        // algorithm wait for this pair instead of making their own.
        std::lock_guard lock(m_pairMutex);
        pair = FindPair(algorithm, eom);
        if (!pair) {
            SECAttribute request[2] = {};
            if (objIds->key_algorithm(algorithm->objid) != SEC_KEY_ALGORITHM_RSA) {
                request[0].id = SEC_ATTR_KEY_ALGORITHM;
                request[0].value = const_cast<AlgId*>(algorithm);
            } else {
                // Shorter RSA keys are no longer safe; longer ones than the
                // broker's buffers take make no pair.
                const uint64_t bits = std::max(IntegerParameter(algorithm), kTempKeyRsaBits);
                if (bits > kTempKeyRsaMaxBits)
                    return SEC_E_KEY_LENGTH;
                request[0].id = SEC_ATTR_ALGORITHM;
                request[0].value = reinterpret_cast<void*>(uintptr_t {SEC_KEY_ALGORITHM_RSA});
                request[0].next = &request[1];
                request[1].id = SEC_ATTR_KEY_BITS;
                request[1].value = reinterpret_cast<void*>(static_cast<uintptr_t>(bits));
            }
            SECAttribute privateOut {};
            SECAttribute publicOut {};
            privateOut.id = publicOut.id = SEC_ATTR_KEY;
            HRESULT hr = Crypt()->gen_keypair(request, nullptr, &privateOut, nullptr, &publicOut);
            auto made = std::make_shared<TempKeyInfo>();
            made->privateKey = static_cast<KeyInfo*>(privateOut.value);
            made->publicKey = static_cast<KeyInfo*>(publicOut.value);
            if (FAILED(hr))
                return hr;
            if (made->privateKey == nullptr || made->publicKey == nullptr)
                return E_FAIL;
            made->algorithm = CopyValue(SEC_TYPE_AlgId, algorithm);
            if (made->algorithm == nullptr)
                return E_OUTOFMEMORY;
            const uint64_t now = ModelClockNow();
            char* created = nullptr;
            const auto* time = static_cast<const SEC_TIME_TABLE*>(CModelApplicationTempKeys::s_timeTable);
            if (time != nullptr
                && SUCCEEDED(time->from_seconds(SEC_TIME_GENERALIZED, static_cast<int64_t>(now), &created))) {
                made->created = created;
                sec_free(created);
            }
            const uint64_t lifetime = static_cast<uint32_t>(
                SECAttributeArray_GetInteger(const_cast<SECAttribute*>(in), SEC_ATTR_TEMP_KEY_LIFETIME));
            made->expiry = lifetime != 0 ? SaturatingAdd(now, lifetime) : 0;
            made->eom = eom;
            m_pairs.push_back(made);
            pair = made;
        }
    }
    if (out != nullptr) {
        Answer(out, SEC_ATTR_TEMP_KEY_PUBLIC, SEC_TYPE_KeyInfo, CopyValue(SEC_TYPE_KeyInfo, pair->publicKey));
        KeyInfo* named = CopyValue(SEC_TYPE_KeyInfo, pair->publicKey);
        if (named != nullptr) {
            FreeValue(SEC_TYPE_AlgId, named->algorithm);
            named->algorithm = CopyValue(SEC_TYPE_AlgId, pair->algorithm);
        }
        Answer(out, SEC_ATTR_TEMP_KEY, SEC_TYPE_KeyInfo, named);
        Answer(out, SEC_ATTR_TEMP_KEY_CREATED, SEC_TYPE_String, LibraryText(pair->created));
    }
    return S_OK;
}

HRESULT CModelApplicationTempKey::encryptDigest(const SECAttribute* in, bool eom, const unsigned char* data,
                                                unsigned long length, unsigned char* out, unsigned long* outLength)
{
    if (outLength == nullptr)
        return E_INVALIDARG;
    Pair pair = GetTempKeyInfo(in, eom);
    if (!pair || Crypt() == nullptr)
        return E_FAIL;
    SECAttribute key {};
    key.id = SEC_ATTR_KEY;
    key.value = pair->privateKey;
    key.next = const_cast<SECAttribute*>(in);
    uint64_t size = *outLength;
    HRESULT hr = Crypt()->encrypt_digest(&key, data, length, out, &size);
    *outLength = static_cast<unsigned long>(size);
    return hr;
}

HRESULT CModelApplicationTempKey::decryptKey(const SECAttribute* in, const unsigned char* data, unsigned long length,
                                             unsigned char* out, unsigned long* outLength)
{
    if (outLength == nullptr)
        return E_INVALIDARG;
    Pair pair = GetTempKeyInfo(in, false);
    if (!pair || Crypt() == nullptr)
        return E_FAIL;
    SECAttribute key {};
    key.id = SEC_ATTR_KEY;
    key.value = pair->privateKey;
    key.next = const_cast<SECAttribute*>(in);
    SECAttribute decrypt {};
    decrypt.id = SEC_ATTR_DECRYPT;
    decrypt.value = &key;
    uint64_t size = *outLength;
    HRESULT hr = Crypt()->cipher(&decrypt, data, length, out, &size);
    *outLength = static_cast<unsigned long>(size);
    return hr;
}

bool CModelApplicationTempKey::IsExpired()
{
    bool expired = false;
    {
        std::lock_guard lock(m_state);
        const auto* time = static_cast<const SEC_TIME_TABLE*>(CModelApplicationTempKeys::s_timeTable);
        if (m_certificate != nullptr && m_certificate->certificate != nullptr && time != nullptr) {
            int64_t end = 0;
            const char* notAfter = m_certificate->certificate->getNotAfter();
            if (notAfter == nullptr || FAILED(time->to_seconds(notAfter, &end))
                || end - static_cast<int64_t>(ModelClockNow()) <= kCertificateMargin)
                expired = true;
        }
    }
    std::lock_guard lock(m_pairMutex);
    return DropExpiredPairs() || expired;
}

bool CModelApplicationTempKey::HasValidCachedSignatures()
{
    if (IsExpired())
        return false;
    std::lock_guard lock(m_state);
    return !m_cache.empty();
}

HRESULT CModelApplicationTempKey::GetCachedSignature(const unsigned char* data, unsigned long length,
                                                     unsigned char* out, unsigned long* outLength)
{
    if (outLength == nullptr || (data == nullptr && length > 0))
        return E_INVALIDARG;
    std::lock_guard lock(m_state);
    auto it = m_cacheIndex.find(std::string_view(reinterpret_cast<const char*>(data), length));
    if (it == m_cacheIndex.end())
        return S_FALSE;
    const std::string& signature = it->second->signature;
    const bool fits = out != nullptr && *outLength >= signature.size();
    *outLength = static_cast<unsigned long>(signature.size());
    if (!fits)
        return SEC_E_BUFFER_TOO_SMALL;
    std::memcpy(out, signature.data(), signature.size());
    return S_OK;
}

HRESULT CModelApplicationTempKey::SetCachedSignature(const unsigned char* data, unsigned long length,
                                                     const unsigned char* signature, unsigned long signatureLength)
{
    if ((data == nullptr && length > 0) || (signature == nullptr && signatureLength > 0) || length > kMaxCachedData
        || signatureLength > kMaxCachedSignature)
        return E_INVALIDARG;
    CachedSignature entry {std::string(reinterpret_cast<const char*>(data), length),
                           std::string(reinterpret_cast<const char*>(signature), signatureLength)};
    std::lock_guard lock(m_state);
    auto it = m_cacheIndex.find(entry.data);
    if (it != m_cacheIndex.end()) {
        it->second->signature = std::move(entry.signature);
        return S_OK;
    }
    if (m_cache.size() >= kMaxCachedSignatures) {
        m_cacheIndex.erase(m_cache.front().data);
        m_cache.pop_front();
    }
    m_cache.push_back(std::move(entry));
    auto last = std::prev(m_cache.end());
    m_cacheIndex.emplace(last->data, last);
    return S_OK;
}

HRESULT CModelApplicationTempKey::ClearSignatureCache()
{
    PersonalCertificateInfo* certificate = nullptr;
    {
        std::lock_guard lock(m_state);
        m_cacheIndex.clear();
        m_cache.clear();
        certificate = m_certificate;
        m_certificate = nullptr;
    }
    FreeValue(SEC_TYPE_PersonalCertificateInfo, certificate);
    return S_OK;
}

size_t CModelApplicationTempKey::GetCachedSignatureCount()
{
    std::lock_guard lock(m_state);
    return m_cache.size();
}

HRESULT CModelApplicationTempKey::IncrementUsageCount()
{
    std::lock_guard lock(m_state);
    ++m_usage;
    return S_OK;
}

HRESULT CModelApplicationTempKey::DecrementUsageCount()
{
    bool gone = false;
    {
        std::lock_guard lock(m_state);
        gone = m_usage-- == 1 && m_clients.empty();
    }
    if (gone)
        CModelApplicationTempKeys::DelKey(this);
    return S_OK;
}

int64_t CModelApplicationTempKey::GetUsageCount()
{
    std::lock_guard lock(m_state);
    return m_usage;
}

HRESULT CModelApplicationTempKey::AddClient(CModelClient* client)
{
    if (client == nullptr)
        return E_INVALIDARG;
    std::lock_guard lock(m_state);
    if (std::find(m_clients.begin(), m_clients.end(), client) != m_clients.end())
        return S_OK;
    m_clients.push_back(client);
    static_cast<IGUIModelClient*>(client)->AddRef();
    return S_OK;
}

HRESULT CModelApplicationTempKey::DelClient(CModelClient* client)
{
    bool removed = false;
    bool gone = false;
    {
        std::lock_guard lock(m_state);
        auto it = std::find(m_clients.begin(), m_clients.end(), client);
        if (it != m_clients.end()) {
            m_clients.erase(it);
            removed = true;
            gone = m_usage == 0 && m_clients.empty();
        }
    }
    if (removed)
        static_cast<IGUIModelClient*>(client)->Release();
    if (gone)
        CModelApplicationTempKeys::DelKey(this);
    return S_OK;
}

bool CModelApplicationTempKey::IsUsedBy(CModelClient* client)
{
    std::lock_guard lock(m_state);
    return client != nullptr && std::find(m_clients.begin(), m_clients.end(), client) != m_clients.end();
}

HRESULT CModelApplicationTempKey::GetPCI(PersonalCertificateInfo** out)
{
    if (out == nullptr)
        return E_POINTER;
    std::lock_guard lock(m_state);
    *out = m_certificate;
    const SEC_TYPE_TABLE* table = Types(SEC_TYPE_PersonalCertificateInfo);
    if (*out != nullptr && table != nullptr && table->add_ref != nullptr)
        table->add_ref(*out);
    else
        *out = nullptr;
    return S_OK;
}

HRESULT CModelApplicationTempKey::SetPCI(const PersonalCertificateInfo* certificate)
{
    PersonalCertificateInfo* copy = CopyValue(SEC_TYPE_PersonalCertificateInfo, certificate);
    if (certificate != nullptr && copy == nullptr)
        return E_OUTOFMEMORY;
    {
        std::lock_guard lock(m_state);
        std::swap(copy, m_certificate);
    }
    FreeValue(SEC_TYPE_PersonalCertificateInfo, copy);
    return S_OK;
}

// ---------------------------------------------------------------------------
// The list

CModelApplicationTempKeys::~CModelApplicationTempKeys()
{
    for (CModelApplicationTempKey* key : m_keys)
        key->Release();
}

HRESULT CModelApplicationTempKeys::Existing(CModelApplicationTempKeys** out)
{
    ZELK::CriticalCodeSection lock(&s_cs);
    if (s_pThis == nullptr)
        return E_FAIL;
    s_pThis->AddRef();
    *out = s_pThis;
    return S_OK;
}

HRESULT CModelApplicationTempKeys::GetKey(CModelApplicationConnection* connection, const SECAttribute* in,
                                          SECAttribute* out, CModelApplicationTempKey** key)
{
    if (key != nullptr)
        *key = nullptr;
    if (connection == nullptr)
        return E_INVALIDARG;
    CModelApplicationTempKeys* list = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelApplicationTempKeys>::New(&list);
    if (FAILED(hr))
        return hr;
    const bool eom = std::strcmp(connection->GetTokenURI(), "eom:") == 0;
    const bool reauthenticate = connection->m_reauthenticate.load();
    const bool bindClient = reauthenticate || connection->m_invalidateOnExit.load();
    CModelClient* client = nullptr;
    IGUIModelClient* clientModel = nullptr;
    if (SUCCEEDED(connection->GetClient(&clientModel)) && clientModel != nullptr) {
        clientModel->QueryInterface(IID_CModelClient, reinterpret_cast<void**>(&client));
        clientModel->Release();
    }
    CModelApplicationTempKey* held = nullptr;
    connection->GetTempKey(&held);
    if (held == nullptr || in != nullptr) {
        // Finding, sharing and making a key are one step, so that the
        // connections of one target racing here end with one key.
        std::lock_guard lock(list->m_list);
        if (held == nullptr) {
            for (CModelApplicationTempKey* candidate : list->m_keys) {
                if (std::wcscmp(candidate->GetName(), connection->GetName()) != 0)
                    continue;
                if (reauthenticate ? candidate->IsUsedBy(client) : !candidate->IsBound()) {
                    held = candidate;
                    held->AddRef();
                    held->IncrementUsageCount();
                    connection->SetTempKey(held);
                    break;
                }
            }
        }
        if (held == nullptr && in != nullptr) {
            PersonalCertificateInfo* certificate = nullptr;
            connection->GetSelectedPCI(&certificate);
            hr = CModelApplicationTempKey::New(connection->GetName(), certificate, &held);
            FreeValue(SEC_TYPE_PersonalCertificateInfo, certificate);
            if (SUCCEEDED(hr)) {
                list->m_keys.push_back(held);
                held->AddRef();
                connection->SetTempKey(held);
            }
        }
        if (held != nullptr && in != nullptr && bindClient && client != nullptr) {
            held->AddClient(client);
            if (reauthenticate)
                held->SetBound();
        }
    }
    if (held != nullptr && in != nullptr)
        held->getOrCreateKey(in, out, eom);
    if (client != nullptr)
        static_cast<IGUIModelClient*>(client)->Release();
    list->Release();
    if (key != nullptr)
        *key = held;
    else if (held != nullptr)
        held->Release();
    return S_OK;
}

HRESULT CModelApplicationTempKeys::ClientStop(CModelClient* client)
{
    CModelApplicationTempKeys* list = nullptr;
    if (client == nullptr || FAILED(Existing(&list)))
        return S_OK;
    std::vector<CModelApplicationTempKey*> keys;
    {
        std::lock_guard lock(list->m_list);
        keys = list->m_keys;
        for (CModelApplicationTempKey* key : keys)
            key->AddRef();
    }
    for (CModelApplicationTempKey* key : keys) {
        key->DelClient(client);
        key->Release();
    }
    list->Release();
    return S_OK;
}

HRESULT CModelApplicationTempKeys::DelKey(CModelApplicationTempKey* key)
{
    CModelApplicationTempKeys* list = nullptr;
    if (key == nullptr || FAILED(Existing(&list)))
        return S_OK;
    bool removed = false;
    {
        std::lock_guard lock(list->m_list);
        auto it = std::find(list->m_keys.begin(), list->m_keys.end(), key);
        if (it != list->m_keys.end()) {
            list->m_keys.erase(it);
            removed = true;
        }
    }
    if (removed)
        key->Release();
    list->Release();
    return S_OK;
}

size_t CModelApplicationTempKeys::GetKeyCount()
{
    CModelApplicationTempKeys* list = nullptr;
    if (FAILED(Existing(&list)))
        return 0;
    size_t count = 0;
    {
        std::lock_guard lock(list->m_list);
        count = list->m_keys.size();
    }
    list->Release();
    return count;
}

// ---------------------------------------------------------------------------
// The connection's side

HRESULT CModelApplicationConnection::GetTempKey(CModelApplicationTempKey** out)
{
    if (out == nullptr)
        return E_POINTER;
    CriticalCodeSection lock(GetCriticalSection());
    *out = static_cast<CModelApplicationTempKey*>(m_tempKey);
    if (*out != nullptr)
        (*out)->AddRef();
    return S_OK;
}

void CModelApplicationConnection::SetTempKey(CModelApplicationTempKey* key)
{
    IUnknown* old = nullptr;
    {
        CriticalCodeSection lock(GetCriticalSection());
        if (key != nullptr)
            key->AddRef();
        old = m_tempKey;
        m_tempKey = key;
    }
    if (old != nullptr)
        old->Release();
}

}  // namespace ZELK::PSESVC
