// The enrolment key, the certificate request and the certificate reply of
// the enrolment client, all through the crypto library's type tables and
// "SEC_CRYPT_1".
#include <cstring>

#include "enrol_bindings.h"
#include "kestrin.h"
#include "qev_request.h"
#include "zelk_stringset.h"
#include "zelk_trace.h"

namespace kestrin::enrol {

namespace {

const char kTraceModule[] = "kestrin";
constexpr unsigned long kDefaultKeySize = 1024;
constexpr unsigned long kMinKeySize = 512;
constexpr unsigned long kMaxKeySize = 16384;
constexpr uint64_t kFirstSignatureBuffer = 1024;

// An owned value of the type of that index, freed through its table.
template <class T, unsigned int Index>
class Owned {
public:
    Owned() = default;
    explicit Owned(T* p) : m_p(p) {}
    ~Owned() { Reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    void Reset(T* p = nullptr)
    {
        if (m_p != nullptr && TypeTable(Index) != nullptr)
            TypeTable(Index)->free(m_p);
        m_p = p;
    }
    T* Release()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    T** Out()
    {
        Reset();
        return &m_p;
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

template <class T>
T* NewValue(unsigned int index)
{
    void* value = nullptr;
    return TypeTable(index) != nullptr && SUCCEEDED(TypeTable(index)->new_node(&value)) ? static_cast<T*>(value)
                                                                                        : nullptr;
}

template <class T>
T* CopyValue(unsigned int index, const T* value)
{
    void* copy = nullptr;
    return value != nullptr && SUCCEEDED(TypeTable(index)->copy(value, &copy)) ? static_cast<T*>(copy) : nullptr;
}

HRESULT Encode(unsigned int index, const void* value, OctetString** der)
{
    return TypeTable(index)->encode(value, der);
}

const SEC_DNAME_TYPE_TABLE* DNames()
{
    return static_cast<const SEC_DNAME_TYPE_TABLE*>(TypeTable(SEC_TYPE_DName));
}

const SEC_GENERALNAMES_TYPE_TABLE* GeneralNames()
{
    return static_cast<const SEC_GENERALNAMES_TYPE_TABLE*>(TypeTable(SEC_TYPE_SEQUENCE_OF_GeneralName));
}

const SEC_CERTLIST_TYPE_TABLE* CertificateLists()
{
    return static_cast<const SEC_CERTLIST_TYPE_TABLE*>(TypeTable(SEC_TYPE_SET_OF_Certificate));
}

HRESULT ObjIdOf(const char* text, ObjId** out)
{
    return static_cast<const SEC_OBJID_TYPE_TABLE*>(TypeTable(SEC_TYPE_ObjId))->from_text(text, out);
}

// Bytes from Base64 text; none for an empty text or one that does not decode.
bool DecodeBase64(const char* text, Owned<OctetString, SEC_TYPE_OctetString>& out)
{
    if (text == nullptr || *text == '\0')
        return false;
    OctetString in {std::strlen(text), reinterpret_cast<unsigned char*>(const_cast<char*>(text))};
    return SUCCEEDED(BaseCore()->aux_dec_base64(&in, out.Out())) && out && out->length > 0;
}

// Whether the bytes are one DER SEQUENCE of SEQUENCEs with definite lengths
// that end where the bytes end (the form of an extension list).
bool IsExtensionList(const OctetString* der)
{
    auto element = [](const unsigned char*& p, const unsigned char* end, unsigned char tag,
                      const unsigned char*& content, size_t& length) {
        if (end - p < 2 || *p != tag)
            return false;
        size_t n = p[1];
        p += 2;
        if (n & 0x80) {
            size_t bytes = n & 0x7F;
            if (bytes == 0 || bytes > 4 || static_cast<size_t>(end - p) < bytes)
                return false;
            n = 0;
            for (size_t i = 0; i < bytes; ++i)
                n = (n << 8) | *p++;
        }
        if (static_cast<size_t>(end - p) < n)
            return false;
        content = p;
        length = n;
        p += n;
        return true;
    };
    const unsigned char* p = der->data;
    const unsigned char* end = der->data + der->length;
    const unsigned char* content = nullptr;
    size_t length = 0;
    if (!element(p, end, 0x30, content, length) || p != end || length == 0)
        return false;
    const unsigned char* q = content;
    const unsigned char* innerEnd = content + length;
    while (q < innerEnd) {
        const unsigned char* c = nullptr;
        size_t n = 0;
        if (!element(q, innerEnd, 0x30, c, n))
            return false;
    }
    return true;
}

// Every value of the named attribute, split at ":", into the list; taken out
// of the name when `take`.
void AltNamesOf(DName* name, const char* attribute, SET_OF_String** names, bool take)
{
    for (unsigned long i = 0;; ++i) {
        StringT<char> value;
        HRESULT hr =
            take ? DNames()->take_value(name, attribute, &value) : DNames()->get_value(name, attribute, i, &value);
        if (hr != S_OK || !value)
            return;
        StringT<char> rest(value);
        char* save = nullptr;
        for (char* piece = strtok_r(rest.GetBuffer(0), ":", &save); piece != nullptr;
             piece = strtok_r(nullptr, ":", &save))
            SET_OF_String_add(names, piece);
    }
}

void NamesOfCertificate(Certificate* certificate, uint32_t tag, SET_OF_String** names)
{
    Owned<SEQUENCE_OF_GeneralName, SEC_TYPE_SEQUENCE_OF_GeneralName> san;
    if (FAILED(GeneralNames()->of_certificate(certificate, san.Out())))
        return;
    for (unsigned long i = 0;; ++i) {
        StringT<char> value;
        if (GeneralNames()->get(san.get(), tag, i, &value) != S_OK)
            return;
        SET_OF_String_add(names, value);
    }
}

StringT<char> NameText(const DName* name)
{
    StringT<char> text;
    if (name != nullptr)
        DNames()->to_text(name, &text);
    return text;
}

bool SameName(const DName* a, const DName* b)
{
    return a != nullptr && b != nullptr && DNames()->compare(a, b) == 0;
}

bool IsRootCA(Certificate* certificate)
{
    return SameName(certificate->getSubject(), certificate->getIssuer()) && certificate->isAuthority() == 1;
}

void TraceNames(const char* subjectFormat, const char* issuerFormat, Certificate* certificate)
{
    SECTRACE_FormatLn(kTraceModule, 4, subjectFormat, static_cast<const char*>(NameText(certificate->getSubject())));
    SECTRACE_FormatLn(kTraceModule, 4, issuerFormat, static_cast<const char*>(NameText(certificate->getIssuer())));
}

}  // namespace

HRESULT CKestrin::KeyGen_ProgressStartTask(SEC_PROGRESS* progress, SEC_PROGRESS_TASK** task, const char*, uint64_t)
{
    if (progress == nullptr || task == nullptr)
        return E_INVALIDARG;
    *task = &static_cast<CKestrin*>(progress->owner)->m_progressTask;
    return S_OK;
}

HRESULT CKestrin::KeyGen_ProgressTaskState(SEC_PROGRESS_TASK* task, uint64_t, uint64_t)
{
    return task != nullptr && static_cast<CKestrin*>(task->owner)->Cancelled() ? SEC_E_CANCELLED : S_OK;
}

HRESULT CKestrin::KeyGen_ProgressTaskFinish(SEC_PROGRESS_TASK*)
{
    return S_OK;
}

HRESULT ZELK_sec_crypt_sign_all(OctetString* data, OctetString** signature, SECAttribute* attributes)
{
    if (data == nullptr || signature == nullptr || attributes == nullptr)
        return SEC_E_NULLARG;
    if (*signature == nullptr && FAILED(BaseCore()->OctetString_Create(kFirstSignatureBuffer, signature)))
        return E_OUTOFMEMORY;
    uint64_t size = (*signature)->length;
    for (;;) {
        (*signature)->length = size;
        HRESULT hr = CryptTable()->sign(attributes, data->data, data->length, (*signature)->data, *signature);
        if ((hr & ZELK_RC(0x8000FFFF)) != ZELK_RC(0x80000014))
            return hr;
        // The buffer doubles while the library asks for more, up to a bound.
        if (size >= kMaxSignatureBuffer)
            return hr;
        size *= 2;
        auto* bigger = static_cast<unsigned char*>(sec_realloc((*signature)->data, size + 1));
        if (bigger == nullptr)
            return E_OUTOFMEMORY;
        (*signature)->data = bigger;
    }
}

HRESULT CKestrin::CreateKey(unsigned long keySize)
{
    if (Cancelled())
        return E_ABORT;
    unsigned long size = keySize;
    if (size == 0) {
        size = m_pPolicy ? m_pPolicy->GetDWORD("keySize") : 0;
        size = size == 0 ? kDefaultKeySize : size < kMinKeySize ? kMinKeySize : size > kMaxKeySize ? kMaxKeySize : size;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(m_cs);
        if (m_pKeyPair) {
            const uint32_t held = CryptTable()->get_key_size(static_cast<KeyPair*>(m_pKeyPair)->publicKey);
            if (held != size) {
                SECTRACE_FormatLn(kTraceModule, 2, "Existing key has the wrong size %u, a key of %lu bits is made",
                                  held, size);
                m_pKeyPair.Free();
            }
        }
        if (m_pKeyPair)
            return S_FALSE;
    }
    SECTRACE_FormatLn(kTraceModule, 3, "Generate RSA Key with keysize %d", static_cast<int>(size));
    SECAttribute progress {};
    progress.id = SEC_ATTR_PROGRESS;
    progress.value = &m_progress;
    SECAttribute algorithm {};
    algorithm.id = SEC_ATTR_ALGORITHM;
    algorithm.value = reinterpret_cast<void*>(static_cast<uintptr_t>(SEC_KEY_ALGORITHM_RSA));
    algorithm.next = &progress;
    SECAttribute bits {};
    bits.id = SEC_ATTR_KEY_BITS;
    bits.value = reinterpret_cast<void*>(static_cast<uintptr_t>(size));
    bits.next = &algorithm;
    SECAttribute privateOut {};
    privateOut.id = SEC_ATTR_KEY;
    SECAttribute publicOut {};
    publicOut.id = SEC_ATTR_KEY;
    HRESULT hr = CryptTable()->gen_keypair(&bits, nullptr, &privateOut, nullptr, &publicOut);
    Owned<KeyInfo, SEC_TYPE_KeyInfo> privateKey(static_cast<KeyInfo*>(privateOut.value));
    Owned<KeyInfo, SEC_TYPE_KeyInfo> publicKey(static_cast<KeyInfo*>(publicOut.value));
    if (FAILED(hr))
        return hr == SEC_E_CANCELLED ? E_ABORT : hr;
    auto* pair = NewValue<KeyPair>(SEC_TYPE_KeyPair);
    if (pair == nullptr)
        return E_OUTOFMEMORY;
    pair->privateKey = privateKey.Release();
    pair->publicKey = publicKey.Release();
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_pKeyPair = pair;
    return S_OK;
}

HRESULT CKestrin::SetKey(const KeyPair* pair)
{
    if (pair == nullptr)
        return E_INVALIDARG;
    KeyPair* copy = CopyValue(SEC_TYPE_KeyPair, pair);
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_pKeyPair = copy;
    return S_OK;
}

HRESULT CKestrin::CreatePKCS10(const char* subjectDER, const char* extensionsDER)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    if (!m_pKeyPair || static_cast<KeyPair*>(m_pKeyPair)->privateKey == nullptr)
        return E_FAIL;
    KeyPair* pair = m_pKeyPair;

    Owned<DName, SEC_TYPE_DName> subject;
    if (Owned<OctetString, SEC_TYPE_OctetString> der; DecodeBase64(subjectDER, der))
        if (FAILED(TypeTable(SEC_TYPE_DName)->decode(der.get(), reinterpret_cast<void**>(subject.Out()))))
            subject.Reset();

    Owned<OctetString, SEC_TYPE_OctetString> extensions;
    if (extensionsDER != nullptr && *extensionsDER != '\0') {
        // A caller's extensions go into the request as they stand: they must
        // be an extension list.
        if (!DecodeBase64(extensionsDER, extensions) || !IsExtensionList(extensions.get()))
            return E_FAIL;
    } else if (m_pDNSNames || m_pEMailNames) {
        SEQUENCE_OF_GeneralName* list = nullptr;
        for (SET_OF_String* n = m_pDNSNames; n != nullptr; n = n->next)
            GeneralNames()->add(&list, SEC_GN_DNS_NAME, n->element);
        for (SET_OF_String* n = m_pEMailNames; n != nullptr; n = n->next)
            GeneralNames()->add(&list, SEC_GN_RFC822_NAME, n->element);
        Owned<SEQUENCE_OF_GeneralName, SEC_TYPE_SEQUENCE_OF_GeneralName> names(list);
        Owned<SEQUENCE_OF_Extension, SEC_TYPE_SEQUENCE_OF_Extension> extensionList(
            NewValue<SEQUENCE_OF_Extension>(SEC_TYPE_SEQUENCE_OF_Extension));
        if (!extensionList)
            return E_OUTOFMEMORY;
        extensionList->element = static_cast<Extension*>(sec_calloc(1, sizeof(Extension)));
        if (extensionList->element == nullptr)
            return E_OUTOFMEMORY;
        HRESULT hr = ObjIdOf("2.5.29.17", &extensionList->element->id);
        if (SUCCEEDED(hr))
            hr = Encode(SEC_TYPE_SEQUENCE_OF_GeneralName, names.get(), &extensionList->element->value);
        if (SUCCEEDED(hr))
            hr = Encode(SEC_TYPE_SEQUENCE_OF_Extension, extensionList.get(), extensions.Out());
        if (FAILED(hr))
            return hr;
    }

    Owned<SET_OF_Attr, SEC_TYPE_SET_OF_Attr> attributes;
    if (extensions) {
        attributes.Reset(NewValue<SET_OF_Attr>(SEC_TYPE_SET_OF_Attr));
        if (!attributes || (attributes->element = NewValue<Attr>(SEC_TYPE_Attr)) == nullptr
            || (attributes->element->values = NewValue<SET_OF_AttrValue>(SEC_TYPE_SET_OF_AttrValue)) == nullptr)
            return E_OUTOFMEMORY;
        HRESULT hr = ObjIdOf("{ 1, 2, 840, 113549, 1, 9, 14 }", &attributes->element->type);
        if (FAILED(hr))
            return hr;
        attributes->element->values->element = extensions.Release();
    }
    if (Cancelled())
        return E_ABORT;
    if (!subject) {
        HRESULT hr = DNames()->from_text(m_strSubject, subject.Out());
        if (FAILED(hr))
            return hr;
    }

    Owned<CertificationRequestInfo, SEC_TYPE_CertificationRequestInfo> info(
        NewValue<CertificationRequestInfo>(SEC_TYPE_CertificationRequestInfo));
    if (!info)
        return E_OUTOFMEMORY;
    info->version = 0;
    info->subject = subject.Release();
    info->subjectPublicKey = CopyValue(SEC_TYPE_KeyInfo, pair->publicKey);
    info->attributes = attributes.Release();
    Owned<OctetString, SEC_TYPE_OctetString> infoDer;
    HRESULT hr = Encode(SEC_TYPE_CertificationRequestInfo, info.get(), infoDer.Out());
    if (FAILED(hr))
        return hr;

    Owned<AlgId, SEC_TYPE_AlgId> algorithm(NewValue<AlgId>(SEC_TYPE_AlgId));
    if (!algorithm)
        return E_OUTOFMEMORY;
    hr = ObjIdOf("sha1WithRSAEncryption", &algorithm->objid);
    static const unsigned char kNull[] = {0x05, 0x00};
    if (SUCCEEDED(hr))
        hr = BaseCore()->OctetString_CreateByBuffer(kNull, sizeof kNull, &algorithm->param) == 0 ? S_OK : E_OUTOFMEMORY;
    if (FAILED(hr))
        return hr;
    SEC_SIGN_PARAMETERS parameters {SEC_SIGN_SCHEME_PKCS1, SEC_SIGN_INPUT_MESSAGE, {0, 0}};
    SECAttribute signParameters {};
    signParameters.id = SEC_ATTR_SIGN_PARAMETERS;
    signParameters.value = &parameters;
    SECAttribute signAlgorithm {};
    signAlgorithm.id = SEC_ATTR_SIGNATURE_ALGORITHM;
    signAlgorithm.value = algorithm.get();
    signAlgorithm.next = &signParameters;
    SECAttribute signKey {};
    signKey.id = SEC_ATTR_KEY;
    signKey.value = pair->privateKey;
    signKey.next = &signAlgorithm;
    Owned<OctetString, SEC_TYPE_OctetString> signature;
    hr = ZELK_sec_crypt_sign_all(infoDer.get(), signature.Out(), &signKey);
    if (FAILED(hr))
        return hr;

    Owned<CertificationRequest, SEC_TYPE_CertificationRequest> request(
        NewValue<CertificationRequest>(SEC_TYPE_CertificationRequest));
    if (!request)
        return E_OUTOFMEMORY;
    request->signatureBits = signature->length * 8;
    request->info = infoDer.Release();
    request->signatureAlgorithm = algorithm.Release();
    request->signature = signature.Release();
    OctetString* der = nullptr;
    hr = Encode(SEC_TYPE_CertificationRequest, request.get(), &der);
    if (FAILED(hr))
        return hr;
    m_pPKCS10 = der;
    Owned<OctetString, SEC_TYPE_OctetString> base64;
    hr = BaseCore()->aux_enc_base64(der, base64.Out());
    if (FAILED(hr))
        return hr;
    m_strPKCS10.AssignFromBuffer(reinterpret_cast<const char*>(base64->data), base64->length);
    SECTRACE_FormatLn(kTraceModule, 3, "Generated PKCS#10:\n%s", static_cast<const char*>(m_strPKCS10));
    m_strPKCS10.Replace("\r", "");
    m_strPKCS10.Replace("\n", "");
    return S_OK;
}

HRESULT CKestrin::GetPKCS10(OctetString** request)
{
    if (request == nullptr)
        return E_INVALIDARG;
    *request = nullptr;
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    if (!m_pPKCS10)
        return E_FAIL;
    *request = CopyValue(SEC_TYPE_OctetString, static_cast<OctetString*>(m_pPKCS10));
    return *request != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CKestrin::ImportPKCS7(const OctetString* reply)
{
    if (Cancelled())
        return E_ABORT;
    return ReadCertReply(reply);
}

HRESULT CKestrin::ReadCertReply(const OctetString* reply)
{
    SECTRACE_WriteLn(kTraceModule, 5, "CKestrin::ReadCertReply");
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_pChain.Free();
    // A root belongs to the reply it came with.
    m_pRootCert.Free();
    SET_OF_Certificate* chain = nullptr;
    if (reply != nullptr)
        CertificateLists()->parse(reply, &chain);
    m_pChain = chain;
    if (Cancelled())
        return E_ABORT;
    if (chain == nullptr) {
        SECTRACE_WriteLn(kTraceModule, 1, "kestrin: PKCS7 response contains no valid certificates");
        m_nState = QM_STATE_ERROR;
        return E_FAIL;
    }
    if (!m_pKeyPair)
        return E_FAIL;
    const KeyInfo* ownKey = static_cast<KeyPair*>(m_pKeyPair)->publicKey;
    Certificate* own = nullptr;
    size_t count = 0;
    for (SET_OF_Certificate* c = chain; c != nullptr; c = c->next, ++count) {
        Owned<KeyInfo, SEC_TYPE_KeyInfo> key;
        if (own == nullptr && c->element != nullptr && SUCCEEDED(c->element->getPublicKeyInfo(key.Out()))
            && TypeTable(SEC_TYPE_KeyInfo)->compare(key.get(), ownKey) == 0)
            own = c->element;
    }
    if (own != nullptr)
        m_pOwnCert = own;
    else if (!m_pOwnCert)
        m_nState = QM_STATE_ERROR;

    // The issuers from the own certificate on: each link must carry a
    // signature its issuer's key verifies (of several issuers of one name,
    // one that does: a renewed key), and the walk takes at most as many
    // steps as there are certificates, so names that go round end it.
    Certificate* current = own;
    for (size_t step = 0; current != nullptr && m_nState != QM_STATE_ERROR; ++step) {
        if (step >= count) {
            SECTRACE_WriteLn(kTraceModule, 1, "kestrin: the issuers of the reply go round in a circle");
            m_nState = QM_STATE_ERROR;
            break;
        }
        SECTRACE_FormatLn(kTraceModule, 4, "current subject: %s\nsearching issuer: %s",
                          static_cast<const char*>(NameText(current->getSubject())),
                          static_cast<const char*>(NameText(current->getIssuer())));
        Certificate* issuer = nullptr;
        bool named = false;
        for (SET_OF_Certificate* c = chain; c != nullptr && issuer == nullptr; c = c->next)
            if (c->element != nullptr && SameName(c->element->getSubject(), current->getIssuer())) {
                named = true;
                if (CertificateLists()->verify_issued(current, c->element) == S_OK)
                    issuer = c->element;
            }
        if (!named)
            break;
        if (issuer == nullptr) {
            SECTRACE_FormatLn(kTraceModule, 1, "kestrin: the signature of %s does not verify with its issuer's key",
                              static_cast<const char*>(NameText(current->getSubject())));
            m_nState = QM_STATE_ERROR;
            break;
        }
        if (IsRootCA(issuer)) {
            m_pRootCert = issuer;
            break;
        }
        if (SameName(issuer->getSubject(), issuer->getIssuer())) {
            SECTRACE_FormatLnEx(kTraceModule, 1, 65001, "Root-Certificate is invalid: %s",
                                static_cast<const char*>(NameText(issuer->getSubject())));
            m_nState = QM_STATE_ERROR;
            break;
        }
        current = issuer;
    }
    for (SET_OF_Certificate* c = chain; c != nullptr; c = c->next) {
        if (c->element == static_cast<Certificate*>(m_pOwnCert))
            TraceNames("Own Cert (subject): %s", "Own Cert  (issuer): %s", c->element);
        else if (c->element == static_cast<Certificate*>(m_pRootCert))
            TraceNames("Root (subject): %s", "Root  (issuer): %s", c->element);
        else if (c->element != nullptr)
            TraceNames("unused (subject): %s", "unused (issuer): %s", c->element);
    }
    return m_nState == QM_STATE_ERROR ? E_QM_CERTIFICATE_BAD : S_OK;
}

HRESULT CKestrin::Get_Token(OctetString** key, OctetString** certificate, OctetString** chain, OctetString** root)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    if (!m_pOwnCert || !m_pKeyPair || static_cast<KeyPair*>(m_pKeyPair)->privateKey == nullptr)
        return E_FAIL;
    if (Cancelled())
        return E_ABORT;
    const KeyInfo* privateKey = static_cast<KeyPair*>(m_pKeyPair)->privateKey;
    // The private key as PKCS#8: its algorithm and its key octets.
    PrivateKeyInfo record {};
    OctetString octets {(privateKey->bits + 7) / 8, privateKey->key};
    record.version = 0;
    record.algorithm = privateKey->algorithm;
    record.privateKey = &octets;
    HRESULT hr = S_OK;
    if (key != nullptr)
        hr = Encode(SEC_TYPE_PrivateKeyInfo, &record, key);
    if (SUCCEEDED(hr) && certificate != nullptr)
        hr = Encode(SEC_TYPE_Certificate, static_cast<Certificate*>(m_pOwnCert), certificate);
    if (SUCCEEDED(hr) && chain != nullptr && m_pChain)
        hr = Encode(SEC_TYPE_SET_OF_Certificate, static_cast<SET_OF_Certificate*>(m_pChain), chain);
    if (SUCCEEDED(hr) && root != nullptr && m_pRootCert)
        hr = Encode(SEC_TYPE_Certificate, static_cast<Certificate*>(m_pRootCert), root);
    return hr;
}

HRESULT CKestrin::GetAllCerts(SET_OF_Certificate** certificates)
{
    if (certificates == nullptr)
        return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    *certificates = CopyValue(SEC_TYPE_SET_OF_Certificate, static_cast<SET_OF_Certificate*>(m_pChain));
    return *certificates != nullptr || !m_pChain ? S_OK : E_OUTOFMEMORY;
}

HRESULT CKestrin::SetClientCertTemplate(const unsigned char* der, unsigned long length)
{
    if (der == nullptr || length == 0)
        return S_OK;
    OctetString bytes {length, const_cast<unsigned char*>(der)};
    Certificate* certificate = nullptr;
    if (FAILED(TypeTable(SEC_TYPE_Certificate)->decode(&bytes, reinterpret_cast<void**>(&certificate)))
        || certificate == nullptr)
        return S_OK;
    AuxRefPtr<Certificate> owner;
    owner.Attach(certificate);
    Owned<DName, SEC_TYPE_DName> subject(CopyValue(SEC_TYPE_DName, certificate->getSubject()));
    if (!subject)
        return S_OK;
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    SET_OF_String* dnsNames = nullptr;
    AltNamesOf(subject.get(), "DNS", &dnsNames, true);
    if (dnsNames != nullptr)
        AltNamesOf(subject.get(), "CN", &dnsNames, false);
    SET_OF_String* emailNames = nullptr;
    AltNamesOf(subject.get(), "EMAIL", &emailNames, true);
    m_strSubject = NameText(subject.get());
    NamesOfCertificate(certificate, SEC_GN_DNS_NAME, &dnsNames);
    NamesOfCertificate(certificate, SEC_GN_RFC822_NAME, &emailNames);
    m_pDNSNames = dnsNames;
    m_pEMailNames = emailNames;
    return S_OK;
}

}  // namespace kestrin::enrol
