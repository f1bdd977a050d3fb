#include "token.h"

#include "../core/zelkpse_lists.h"
#include "../model/model_certs.h"
#include "../model/model_owncerts.h"
#include "zelk_alloc.h"
#include "zelk_policy_client.h"
#include "zelk_strings.h"

namespace ZELK::PSESVC {
namespace {

// More certificate objects than any token carries: a count beyond it is a
// faulty answer, not a reason to allocate.
constexpr unsigned long kMaxCertificateObjects = 4096;

const SEC_TYPE_TABLE* Types(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

bool SameName(const DName* a, const DName* b)
{
    const SEC_TYPE_TABLE* names = Types(SEC_TYPE_DName);
    return a != nullptr && b != nullptr && names != nullptr && names->compare != nullptr && names->compare(a, b) == 0;
}

// The certificate objects of a token, each with its certificate (NULL when
// it has none or it does not decode); releases what it holds.
class CertificateObjects {
public:
    ~CertificateObjects()
    {
        for (unsigned long i = 0; i < m_count; ++i) {
            Drop(i);
            if (m_certs[i] != nullptr)
                m_certs[i]->Release();
        }
        sec_free(m_objects);
        sec_free(m_certs);
    }

    HRESULT Read(SecToken* token)
    {
        unsigned long count = 0;
        HRESULT hr = token->getObjects(nullptr, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr);
        if (FAILED(hr))
            return hr;
        if (count == 0)
            return S_OK;
        if (count > kMaxCertificateObjects)
            return E_FAIL;
        m_objects = static_cast<TokenObject**>(sec_calloc(count, sizeof(TokenObject*)));
        m_certs = static_cast<Certificate**>(sec_calloc(count, sizeof(Certificate*)));
        if (m_objects == nullptr || m_certs == nullptr)
            return E_OUTOFMEMORY;
        unsigned long room = count;
        hr = token->getObjects(m_objects, &room, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr);
        m_count = count;
        if (FAILED(hr))
            return hr;
        for (unsigned long i = 0; i < m_count; ++i)
            if (m_objects[i] != nullptr)
                Object(i)->getCertPath(&m_certs[i], nullptr, nullptr);
        return S_OK;
    }

    unsigned long Count() const { return m_count; }
    bool Held(unsigned long i) const { return m_objects[i] != nullptr && m_certs[i] != nullptr; }
    TokenObjectCertificate* Object(unsigned long i) const { return static_cast<TokenObjectCertificate*>(m_objects[i]); }
    Certificate* Cert(unsigned long i) const { return m_certs[i]; }
    void Drop(unsigned long i)
    {
        if (m_objects[i] != nullptr)
            m_objects[i]->Release();
        m_objects[i] = nullptr;
    }

private:
    TokenObject** m_objects = nullptr;
    Certificate** m_certs = nullptr;
    unsigned long m_count = 0;
};

// Certificates that issued another certificate of the token are no own
// certificates; nor are authorities beside end-entity certificates.
void SelectOwnCertificates(CertificateObjects& objects)
{
    bool endEntity = false;
    for (unsigned long i = 0; i < objects.Count(); ++i)
        if (objects.Held(i) && objects.Cert(i)->isAuthority() == 0)
            endEntity = true;
    if (endEntity)
        for (unsigned long i = 0; i < objects.Count(); ++i)
            if (objects.Held(i) && objects.Cert(i)->isAuthority() != 0)
                objects.Drop(i);
    for (unsigned long i = 0; i < objects.Count(); ++i) {
        if (!objects.Held(i))
            continue;
        for (unsigned long j = 0; j < objects.Count(); ++j) {
            if (j != i && objects.Cert(j) != nullptr
                && SameName(objects.Cert(j)->getIssuer(), objects.Cert(i)->getSubject())) {
                objects.Drop(i);
                break;
            }
        }
    }
}

}  // namespace

CToken::~CToken()
{
    ClearScheduledTasks();
    m_certificates.Free();
    m_token.Free();
    if (m_model != nullptr)
        static_cast<IGUIModelToken*>(m_model)->Release();
}

IGUIModelToken_Type CToken::GetTokenType()
{
    return static_cast<IGUIModelToken_Type>(0);
}

HRESULT CToken::Init(SecToken* token, CModelToken* model, const char* name)
{
    m_token = token;
    if (model != nullptr)
        static_cast<IGUIModelToken*>(model)->AddRef();
    if (m_model != nullptr)
        static_cast<IGUIModelToken*>(m_model)->Release();
    m_model = model;
    m_name = name;
    if (m_model != nullptr)
        m_model->SetTokenType(GetTokenType());
    InitVerbs(m_model != nullptr ? static_cast<CGUIModelVerbs*>(m_model) : nullptr);
    return RefreshPCI();
}

HRESULT CToken::RefreshPCI()
{
    SET_OF_PersonalCertificateInfo* fresh = nullptr;
    if (m_token) {
        CertificateObjects objects;
        // A token that cannot list its objects (a card pulled meanwhile)
        // keeps the records it had.
        HRESULT hr = objects.Read(m_token);
        if (FAILED(hr))
            return hr;
        SelectOwnCertificates(objects);
        const SEC_TYPE_TABLE* infos = Types(SEC_TYPE_PersonalCertificateInfo);
        const SEC_TYPE_TABLE* nodes = Types(SEC_TYPE_SET_OF_PersonalCertificateInfo);
        const SEC_TYPE_TABLE* sequences = Types(SEC_TYPE_SEQUENCE_OF_Certificate);
        const SEC_TYPE_TABLE* algs = Types(SEC_TYPE_SEQUENCE_OF_AlgId);
        if (infos == nullptr || nodes == nullptr || sequences == nullptr || algs == nullptr)
            return E_FAIL;
        const char* label = nullptr;
        const char* serial = nullptr;
        const char* tokenName = nullptr;
        m_token->getTokenLabel(&label);
        m_token->getSerialNumber(&serial);
        m_token->getTokenName(&tokenName);
        for (unsigned long i = 0; i < objects.Count(); ++i) {
            if (!objects.Held(i))
                continue;
            const char* keyId = nullptr;
            if (FAILED(objects.Object(i)->getKeyId(&keyId)) || keyId == nullptr || *keyId == '\0')
                continue;
            Certificate* cert = nullptr;
            SEQUENCE_OF_Certificate* path = nullptr;
            Certificate* pathEnd = nullptr;
            objects.Object(i)->getCertPath(&cert, &path, &pathEnd);
            SEQUENCE_OF_AlgId* sigAlgs = nullptr;
            if (cert != nullptr)
                objects.Object(i)->getSigAlgs(&sigAlgs);
            if (cert != nullptr) {
                PersonalCertificateInfo record {};
                record.tokenName = const_cast<char*>(tokenName);
                record.keyId = const_cast<char*>(keyId);
                record.serialNumber = const_cast<char*>(serial);
                record.label = const_cast<char*>(label);
                record.certificate = cert;
                record.path = path;
                record.pathEnd = pathEnd;
                record.sigAlgs = sigAlgs;
                void* copy = nullptr;
                if (SUCCEEDED(infos->copy(&record, &copy)) && copy != nullptr) {
                    SET_OF_PersonalCertificateInfo* head = fresh;
                    if (SUCCEEDED(nodes->new_node(reinterpret_cast<void**>(&head)))) {
                        head->element = static_cast<PersonalCertificateInfo*>(copy);
                        head->flag = 1;
                        fresh = head;
                    } else {
                        infos->free(copy);
                    }
                }
            }
            if (sigAlgs != nullptr)
                algs->free(sigAlgs);
            if (path != nullptr)
                sequences->free(path);
            if (pathEnd != nullptr)
                pathEnd->Release();
            if (cert != nullptr)
                cert->Release();
        }
    }
    AuxPtr<SET_OF_PersonalCertificateInfo> old;
    {
        CriticalCodeSection lock(&m_cs);
        old.Attach(m_certificates.Detach());
        m_certificates.Attach(fresh);
    }
    return S_OK;
}

HRESULT CToken::OpenPolicy()
{
    CriticalCodeSection lock(&m_csPolicy);
    if (m_policy)
        return S_OK;
    return ZELK_PolOpen(GetPolicyPath(), &m_policy);
}

const char* CToken::GetPolicyPath()
{
    return POL::COMMON::REG_PATH;
}

HRESULT CToken::GetToken(SecToken** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!m_token)
        return E_FAIL;
    m_token->AddRef();
    *out = m_token;
    return S_OK;
}

bool CToken::IsInReader(const char* name)
{
    const char* own = m_name;
    return name != nullptr && own != nullptr && String_Compare(own, name) == 0;
}

HRESULT CToken::GetPCI(SET_OF_PersonalCertificateInfo** list)
{
    if (list == nullptr)
        return E_POINTER;
    SET_OF_PersonalCertificateInfo** cursor = ListTail(list);
    CriticalCodeSection lock(&m_cs);
    for (SET_OF_PersonalCertificateInfo* node = m_certificates; node != nullptr; node = node->next) {
        if (node->element == nullptr)
            continue;
        SET_OF_PersonalCertificateInfo** at = cursor;
        HRESULT hr = AppendInfo(cursor, node->element);
        if (FAILED(hr))
            return hr;
        (*at)->flag = node->flag;
    }
    return S_OK;
}

HRESULT CToken::GetOwnCert(Certificate** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    CriticalCodeSection lock(&m_cs);
    SET_OF_PersonalCertificateInfo* first = m_certificates;
    if (first == nullptr || first->element == nullptr || first->element->certificate == nullptr)
        return S_FALSE;
    first->element->certificate->AddRef();
    *out = first->element->certificate;
    return S_OK;
}

bool CToken::HaveCerts()
{
    CriticalCodeSection lock(&m_cs);
    SET_OF_PersonalCertificateInfo* first = m_certificates;
    return first != nullptr && first->element != nullptr && first->element->certificate != nullptr;
}

HRESULT CToken::RegisterOwnCerts(bool disabled)
{
    CModelOwnCerts* certs = nullptr;
    if (FAILED(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs)) || certs == nullptr)
        return E_FAIL;
    certs->DelCertsBySlot(m_name);
    SET_OF_PersonalCertificateInfo* list = nullptr;
    GetPCI(&list);
    for (SET_OF_PersonalCertificateInfo* node = list; node != nullptr; node = node->next)
        certs->AddCert(node->element, m_name, nullptr, disabled);
    FreeList(SEC_TYPE_SET_OF_PersonalCertificateInfo, list);
    static_cast<IGUIModelOwnCerts*>(certs)->Release();
    return S_OK;
}

HRESULT CToken::RefreshModel()
{
    CModelOwnCerts* certs = nullptr;
    if (FAILED(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs)) || certs == nullptr)
        return S_OK;
    SET_OF_PersonalCertificateInfo* list = nullptr;
    GetPCI(&list);
    for (SET_OF_PersonalCertificateInfo* node = list; node != nullptr; node = node->next)
        if (node->element != nullptr)
            certs->Refresh(node->element->tokenName);
    FreeList(SEC_TYPE_SET_OF_PersonalCertificateInfo, list);
    static_cast<IGUIModelOwnCerts*>(certs)->Release();
    return S_OK;
}

int CToken::ShowCert(ICredUI* dialog)
{
    if (dialog == nullptr)
        return S_FALSE;
    Certificate* cert = nullptr;
    if (GetOwnCert(&cert) != S_OK)
        return S_FALSE;
    CModelCert* model = nullptr;
    HRESULT hr = CModelCert::New(cert, &model);
    cert->Release();
    if (FAILED(hr) || model == nullptr)
        return FAILED(hr) ? hr : E_FAIL;
    dialog->GuiShowCert(static_cast<IGUIModelCert*>(model));
    static_cast<IGUIModelCert*>(model)->Release();
    return S_OK;
}

HRESULT CToken::GetTokenUrl(const char** url)
{
    if (url == nullptr)
        return E_POINTER;
    *url = nullptr;
    if (!m_token)
        return E_FAIL;
    return m_token->getTokenName(url);
}

namespace {

// The one private key of that identifier, with a reference.
HRESULT FindPrivateKey(SecToken* token, const char* keyId, TokenObjectPrivateKey** key)
{
    *key = nullptr;
    if (token == nullptr)
        return E_FAIL;
    TokenObject* object = nullptr;
    unsigned long count = 1;
    HRESULT hr = token->getObjects(&object, &count, TOKEN_OBJECT_PRIVATE_KEY, keyId, nullptr);
    if (FAILED(hr)) {
        if (object != nullptr)
            object->Release();
        return hr;
    }
    if (count != 1 || object == nullptr) {
        if (object != nullptr)
            object->Release();
        return E_TOKEN_OPFAILED;
    }
    *key = static_cast<TokenObjectPrivateKey*>(object);
    return S_OK;
}

}  // namespace

HRESULT CToken::Sign(const char* keyId, const AlgId* algorithm, bool flag, const unsigned char* in,
                     unsigned long inLength, unsigned char* out, unsigned long* outLength, SECAttribute* attributes)
{
    TokenObjectPrivateKey* key = nullptr;
    HRESULT hr = FindPrivateKey(m_token, keyId, &key);
    if (FAILED(hr))
        return hr;
    hr = key->sign(algorithm, flag ? 1 : 0, in, inLength, out, outLength, attributes);
    key->Release();
    return hr;
}

HRESULT CToken::Decrypt(const char* keyId, const AlgId* algorithm, const unsigned char* in, unsigned long inLength,
                        unsigned char* out, unsigned long* outLength, SECAttribute* attributes)
{
    TokenObjectPrivateKey* key = nullptr;
    HRESULT hr = FindPrivateKey(m_token, keyId, &key);
    if (FAILED(hr))
        return hr;
    hr = key->decrypt(algorithm, in, inLength, out, outLength, attributes);
    key->Release();
    return hr;
}

HRESULT CToken::GetVerbByReason(IGUIVerb_Reason reason, IGUIVerb** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    if (reason == IGUIVerb_Reason_Reauth)
        return GetVerbByName("verb.reauth", out);
    if (NeedLogin())
        return GetVerbByName("verb.login", out);
    return S_OK;
}

HRESULT CToken::DoVerbByReason(IGUIVerb_Reason reason)
{
    IGUIVerb* verb = nullptr;
    if (FAILED(GetVerbByReason(reason, &verb)) || verb == nullptr)
        return S_FALSE;
    HRESULT hr = DoVerb(verb);
    verb->Release();
    return hr;
}

HRESULT CToken::DoVerbByName(const char* name)
{
    return DoVerbByName(this, name);
}

HRESULT CToken::DoVerbByName(CVerbHost* host, const char* name)
{
    IGUIVerb* verb = nullptr;
    if (host == nullptr || FAILED(host->GetVerbByName(name, &verb)) || verb == nullptr)
        return S_FALSE;
    HRESULT hr = host->DoVerb(verb);
    verb->Release();
    return hr;
}

HRESULT CToken::GetVerbs(unsigned long* count, IGUIVerb*** verbs)
{
    if (count == nullptr || verbs == nullptr)
        return E_INVALIDARG;
    *count = static_cast<unsigned long>(VerbCount());
    *verbs = Verbs();
    return S_OK;
}

bool CToken::NeedLogin()
{
    if (!m_token)
        return false;
    TokenPIN* pin = nullptr;
    if (FAILED(m_token->getCardPIN(&pin)) || pin == nullptr)
        return false;
    bool need = pin->isVerified() != 0;
    pin->Release();
    return need;
}

HRESULT CToken::GetTokenModel(CModelToken** out)
{
    if (out == nullptr || m_model == nullptr)
        return E_INVALIDARG;
    static_cast<IGUIModelToken*>(m_model)->AddRef();
    *out = m_model;
    return S_OK;
}

HRESULT CToken::UiUpdateProfile(ICredUI* dialog)
{
    if (dialog == nullptr)
        return S_FALSE;
    dialog->GuiUpdate(ICredUI::GUIITEM_ITEM, nullptr,
                      reinterpret_cast<unsigned long>(static_cast<IGUIModelToken*>(m_model)));
    return S_OK;
}

HRESULT CToken::TokenPIN_GetInfo(TokenPIN* pin, wchar_t** name, int* count)
{
    if (pin == nullptr)
        return E_FAIL;
    if (name != nullptr) {
        *name = nullptr;
        const char* text = nullptr;
        if (SUCCEEDED(pin->getName(&text)) && text != nullptr)
            String_Copy(text, name);
    }
    if (count != nullptr) {
        *count = -1;
        pin->getPINcnt(count);
    }
    return S_OK;
}

}  // namespace ZELK::PSESVC
