#include "token_pse.h"

#include <vector>

#include "zelk_module.h"

namespace ZELK::ZELKPSE {
namespace {

API_COMMON* fptr__pse = nullptr;
CUnloadAPI s_unloadPse(&fptr__pse);
std::mutex s_bindLock;

// More certificate objects than any token holds: a count beyond it is not believed.
constexpr unsigned long kMaxObjects = 100000;

// The token's certificate objects with their certificates; only the entries
// the token returned, objects without a certificate left out.
class CertificateObjects {
public:
    ~CertificateObjects()
    {
        for (Entry& e : m_entries) {
            if (e.object != nullptr)
                e.object->Release();
            if (e.certificate != nullptr)
                e.certificate->Release();
        }
    }

    HRESULT Read(SecToken* token)
    {
        unsigned long count = 0;
        HRESULT hr = token->getObjects(nullptr, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr);
        if (FAILED(hr))
            return hr;
        if (count == 0)
            return S_OK;
        if (count > kMaxObjects)
            return E_FAIL;
        std::vector<TokenObject*> objects(count, nullptr);
        unsigned long returned = count;
        hr = token->getObjects(objects.data(), &returned, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr);
        if (FAILED(hr)) {
            for (TokenObject* object : objects)
                if (object != nullptr)
                    object->Release();
            return hr;
        }
        for (unsigned long i = 0; i < count; ++i) {
            auto* object = static_cast<TokenObjectCertificate*>(objects[i]);
            if (object == nullptr)
                continue;
            Certificate* certificate = nullptr;
            if (i >= returned || FAILED(object->getCertPath(&certificate, nullptr, nullptr))
                || certificate == nullptr) {
                object->Release();
                continue;
            }
            m_entries.push_back({object, certificate});
        }
        return S_OK;
    }

    // Authority certificates go when the token has an end-entity one; then
    // every certificate that issued another of the token goes.
    void SelectEndEntities()
    {
        bool anyEndEntity = false;
        for (Entry& e : m_entries)
            anyEndEntity = anyEndEntity || e.certificate->isAuthority() == 0;
        if (anyEndEntity)
            for (Entry& e : m_entries)
                if (e.certificate->isAuthority() != 0)
                    Drop(e);
        for (size_t i = 0; i < m_entries.size(); ++i) {
            if (m_entries[i].object == nullptr)
                continue;
            for (size_t j = 0; j < m_entries.size(); ++j) {
                if (i != j
                    && SameValue(SEC_TYPE_DName, m_entries[i].certificate->getSubject(),
                                 m_entries[j].certificate->getIssuer())) {
                    Drop(m_entries[i]);
                    break;
                }
            }
        }
    }

    struct Entry {
        TokenObjectCertificate* object;
        Certificate* certificate;
    };
    const std::vector<Entry>& Entries() const { return m_entries; }

private:
    static void Drop(Entry& e)
    {
        if (e.object != nullptr)
            e.object->Release();
        e.object = nullptr;
    }

    std::vector<Entry> m_entries;
};

// The own certificate of one object, put at the front of the list.
void AddOwn(SecToken* token, TokenObjectCertificate* object, OwnList& own)
{
    const char* keyId = nullptr;
    if (FAILED(object->getKeyId(&keyId)) || keyId == nullptr)
        return;
    Certificate* certificate = nullptr;
    SEQUENCE_OF_Certificate* path = nullptr;
    Certificate* pathEnd = nullptr;
    object->getCertPath(&certificate, &path, &pathEnd);
    Owned<SEQUENCE_OF_Certificate, SEC_TYPE_SEQUENCE_OF_Certificate> pathHolder(path);
    Owned<SEQUENCE_OF_AlgId, SEC_TYPE_SEQUENCE_OF_AlgId> algorithms;
    if (certificate != nullptr) {
        object->getSigAlgs(algorithms.out());
        const char* label = nullptr;
        const char* serial = nullptr;
        const char* tokenName = nullptr;
        token->getTokenLabel(&label);
        token->getSerialNumber(&serial);
        token->getTokenName(&tokenName);
        PersonalCertificateInfo record {};
        record.tokenName = const_cast<char*>(tokenName);
        record.keyId = const_cast<char*>(keyId);
        record.serialNumber = const_cast<char*>(serial);
        record.label = const_cast<char*>(label);
        record.certificate = certificate;
        record.path = path;
        record.pathEnd = pathEnd;
        record.sigAlgs = algorithms.get();
        SET_OF_PersonalCertificateInfo* head = own.release();
        SET_OF_PersonalCertificateInfo** cursor = &head;
        // The new node goes in front of the old head.
        const SEC_TYPE_TABLE* infos = TypeTable(SEC_TYPE_PersonalCertificateInfo);
        const SEC_TYPE_TABLE* nodes = TypeTable(SEC_TYPE_SET_OF_PersonalCertificateInfo);
        void* copy = nullptr;
        if (infos != nullptr && nodes != nullptr && SUCCEEDED(infos->copy(&record, &copy)) && copy != nullptr) {
            if (SUCCEEDED(nodes->new_node(reinterpret_cast<void**>(cursor))))
                head->element = static_cast<PersonalCertificateInfo*>(copy);
            else
                infos->free(copy);
        }
        own.reset(head);
    }
    if (pathEnd != nullptr)
        pathEnd->Release();
    if (certificate != nullptr)
        certificate->Release();
}

}  // namespace

HRESULT ZELK_GetAPI_SEC_PSE()
{
    std::lock_guard<std::mutex> lock(s_bindLock);
    if (fptr__pse != nullptr)
        return S_OK;
    return ZELK_GetAPI("secpse", "SEC_PSE_1", &fptr__pse);
}

HRESULT sec_pse_getSlot(SecSlot** out, const char* name)
{
    const auto* table = ZELK_ApiCast<SEC_PSE_TABLE>(fptr__pse);
    if (table == nullptr || table->getSlot == nullptr)
        return E_FAIL;
    return table->getSlot(out, name);
}

HRESULT Token::New(const char* name, PSE** out)
{
    if (out == nullptr)
        return E_PSE_NOARG;
    *out = nullptr;
    HRESULT hr = ZELK_GetAPI_SEC_PSE();
    if (FAILED(hr))
        return hr;
    CComObject<Token>* pse = nullptr;
    hr = CComObject<Token>::CreateInstance(&pse);
    if (FAILED(hr))
        return hr;
    pse->AddRef();
    hr = pse->Init(name, false);
    if (FAILED(hr)) {
        pse->Release();
        return hr;
    }
    *out = pse;
    return S_OK;
}

HRESULT Token::Init(const char* name, bool reopen)
{
    std::shared_ptr<const TokenContents> current = Contents();
    auto fresh = std::make_shared<TokenContents>();
    if (!current->slot || reopen) {
        HRESULT hr = sec_pse_getSlot(&fresh->slot, name);
        if (FAILED(hr))
            return hr;
        if (!fresh->slot)
            return E_PSE_NOTFOUND;
    } else {
        fresh->slot = static_cast<SecSlot*>(current->slot);
    }
    HRESULT hr = fresh->slot->getToken(&fresh->token);
    if (FAILED(hr))
        return hr;
    if (fresh->token) {
        CertificateObjects objects;
        if (SUCCEEDED(objects.Read(fresh->token))) {
            objects.SelectEndEntities();
            OwnList own;
            for (const auto& entry : objects.Entries())
                if (entry.object != nullptr)
                    AddOwn(fresh->token, entry.object, own);
            fresh->own.reset(own.release());
        }
    }
    SetContents(std::move(fresh));
    return S_OK;
}

}  // namespace ZELK::ZELKPSE
