#include "kvc_pse.h"

#include <string.h>

#include <cstring>

#include "enrol_bindings.h"
#include "qev_attributes.h"

namespace kestrin::enrol {
namespace {

constexpr const char* kPkcs12Algorithm = "pbeWithSHA1And3-KeyTripleDES-CBC";
// The key converter's first argument of a PKCS#12 export; it does not read it.
constexpr int kPkcs12Reserved = 10;

// The blob convention of every output of a container.
HRESULT BlobReturn(const unsigned char* data, unsigned long size, unsigned char* buffer, unsigned long* length)
{
    if (length == nullptr)
        return E_POINTER;
    if (data == nullptr || size == 0)
        return E_COMMON_INVALIDDATA;
    if (buffer != nullptr && *length < size) {
        *length = size;
        return E_COMMON_BUFFERTOOSMALL;
    }
    *length = size;
    if (buffer != nullptr)
        std::memcpy(buffer, data, size);
    return S_OK;
}

unsigned long TextLength(const char* text)
{
    return text != nullptr ? static_cast<unsigned long>(std::strlen(text)) : 0;
}

// Frees an octet string of the library, wiping its bytes first.
void FreeSecret(OctetString*& s)
{
    if (s == nullptr)
        return;
    if (s->data != nullptr)
        explicit_bzero(s->data, s->length);
    TypeTable(SEC_TYPE_OctetString)->free(s);
    s = nullptr;
}

void FreeOctets(OctetString*& s)
{
    if (s != nullptr)
        TypeTable(SEC_TYPE_OctetString)->free(s);
    s = nullptr;
}

// Adds the DER of one certificate to the converter.
HRESULT AddCertificate(KeyConverter* converter, Certificate* certificate)
{
    OctetString* der = nullptr;
    HRESULT hr = TypeTable(SEC_TYPE_Certificate)->encode(certificate, &der);
    if (SUCCEEDED(hr) && der != nullptr)
        hr = converter->addCertificate(der->data, der->length);
    FreeOctets(der);
    return hr;
}

}  // namespace

HRESULT KVC_PSE::New(KVC_PSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    KVC_IPSE* object = nullptr;
    HRESULT hr = CFactoryImpl<KVC_PSE>::New(IID_KVC_IPSE, reinterpret_cast<void**>(&object));
    *out = SUCCEEDED(hr) ? static_cast<KVC_PSE*>(object) : nullptr;
    return hr;
}

KVC_PSE* KVC_PSE::From(KVC_IPSE* object)
{
    void* own = nullptr;
    if (object == nullptr || FAILED(object->QueryInterface(IID_KVC_PSE, &own)))
        return nullptr;
    return static_cast<KVC_PSE*>(static_cast<KVC_IPSE*>(own));
}

KVC_PSE::~KVC_PSE()
{
    if (m_fileName)
        IoTable()->mem_unreg(m_fileName);
    CloseMemoryPse();
    explicit_bzero(m_builtDigest, sizeof m_builtDigest);
}

void KVC_PSE::Prepare()
{
    if (!m_converter) {
        KeyConverter* converter = nullptr;
        if (SUCCEEDED(KeyConvertTable()->sec_keyConvert_create_KeyConverter(&converter)))
            m_converter.Attach(converter);
    }
    if (!m_fileName) {
        char* name = nullptr;
        if (SUCCEEDED(IoTable()->mem_reg(nullptr, nullptr, &name)))
            m_fileName.Attach(name);
    }
}

HRESULT KVC_PSE::loadFromPEM(const unsigned char* data, unsigned long length)
{
    m_modified = true;
    Prepare();
    if (!m_converter)
        return E_COMMON_INVALIDDATA;
    return m_converter->importCertificates(data, length);
}

HRESULT KVC_PSE::loadFromPKCS12(const unsigned char*, unsigned long, const char*)
{
    m_modified = true;
    return E_NOTIMPL;
}

HRESULT KVC_PSE::loadFromPSE(const unsigned char* data, unsigned long length, const char* password)
{
    m_modified = true;
    Prepare();
    // Only the format is learnt from a decryption; its bytes are wiped.
    OctetString* decrypted = nullptr;
    HRESULT old = OldPseTable()->sec_oldpse_LPSdecrypt_PSE(data, length, password, &decrypted);
    m_oldPSEFormat = old > 0;
    FreeSecret(decrypted);
    if (m_fileName && data != nullptr) {
        CloseMemoryPse();
        OctetString image {length, const_cast<unsigned char*>(data)};
        IoTable()->OctetString2file(m_fileName, &image);
        OpenMemoryPse(password);
    }
    if (m_pse) {
        SECAttribute flag {};
        flag.id = SEC_ATTR_PSE_FLAG;
        HRESULT hr = m_pse->control(nullptr, &flag);
        m_pseAttribute888 = FAILED(hr) || flag.value != nullptr;
    }
    if (!m_converter)
        return E_COMMON_INVALIDDATA;
    return m_converter->importKeyMaterial(data, length, password, TextLength(password));
}

HRESULT KVC_PSE::getAsPEM(unsigned char*, unsigned long*)
{
    return E_NOTIMPL;
}

HRESULT KVC_PSE::getAsPKCS12(const char* password, unsigned char* buffer, unsigned long* length)
{
    if (!m_converter)
        return E_COMMON_INVALIDDATA;
    return m_converter->exportPKCS12(kPkcs12Reserved, kPkcs12Algorithm, password, TextLength(password), buffer, length);
}

HRESULT KVC_PSE::PasswordDigest(const char* password, unsigned char digest[32])
{
    if (!m_salted) {
        OctetString* salt = nullptr;
        HRESULT hr = RandomTable()->random(0, sizeof m_salt, SEC_RANDOM_BYTES, &salt);
        if (FAILED(hr))
            return hr;
        if (salt == nullptr || salt->length != sizeof m_salt) {
            FreeOctets(salt);
            return E_FAIL;
        }
        std::memcpy(m_salt, salt->data, sizeof m_salt);
        FreeOctets(salt);
        m_salted = true;
    }
    const unsigned long passwordLength = TextLength(password);
    AuxByteBufferImpl<true> input;
    HRESULT hr = input.Reserve(sizeof m_salt + passwordLength);
    if (FAILED(hr))
        return hr;
    std::memcpy(input.Data(), m_salt, sizeof m_salt);
    if (passwordLength > 0)
        std::memcpy(input.Data() + sizeof m_salt, password, passwordLength);
    SECAttribute hash {};
    hash.id = SEC_ATTR_HASH;
    hash.value = reinterpret_cast<void*>(static_cast<uintptr_t>(SEC_HASH_SHA256));
    uint64_t digestLength = 32;
    hr = CryptTable()->hash_all(&hash, input.Data(), sizeof m_salt + passwordLength, digest, &digestLength);
    return SUCCEEDED(hr) && digestLength != 32 ? E_FAIL : hr;
}

HRESULT KVC_PSE::OpenMemoryPse(const char* password)
{
    if (m_pse)
        return S_OK;
    if (!m_fileName)
        return E_COMMON_INVALIDDATA;
    SECAttribute file {};
    file.id = SEC_ATTR_PSE_IMAGE;
    file.value = const_cast<char*>(static_cast<const char*>(m_fileName));
    SECAttribute secret {};
    secret.id = SEC_ATTR_PASSWORD;
    secret.value = const_cast<char*>(password != nullptr ? password : "");
    secret.next = &file;
    ASC* asc = nullptr;
    HRESULT hr = AscTable()->create_ASC(&asc, &secret);
    if (FAILED(hr))
        return hr;
    m_asc.Attach(asc);
    PSE* pse = nullptr;
    hr = asc->getPSE(&pse);
    if (FAILED(hr))
        return hr;
    m_pse.Attach(pse);
    return S_OK;
}

void KVC_PSE::CloseMemoryPse()
{
    m_pse.Free();
    m_asc.Free();
}

HRESULT KVC_PSE::BuildPse(const char* password)
{
    unsigned char digest[32];
    HRESULT hr = PasswordDigest(password, digest);
    if (FAILED(hr))
        return hr;
    // An image built under another password is not handed out under this one.
    const bool samePassword = m_built && std::memcmp(digest, m_builtDigest, sizeof digest) == 0;
    if (!m_modified && samePassword) {
        explicit_bzero(digest, sizeof digest);
        return S_OK;
    }
    CloseMemoryPse();
    AuxByteBufferImpl<true> image;
    hr = m_converter->exportPSE(m_oldPSEFormat, password, TextLength(password), nullptr, image.Length());
    if (SUCCEEDED(hr))
        hr = image.Reserve(*image.Length());
    if (SUCCEEDED(hr))
        hr = m_converter->exportPSE(m_oldPSEFormat, password, TextLength(password), image.Data(), image.Length());
    if (FAILED(hr)) {
        explicit_bzero(digest, sizeof digest);
        return hr;
    }
    OctetString bytes = image.Octets();
    hr = IoTable()->OctetString2file(m_fileName, &bytes);
    if (SUCCEEDED(hr)) {
        OpenMemoryPse(password);
        if (!m_pseAttribute888 && m_pse) {
            SECAttribute off {};
            off.id = SEC_ATTR_PSE_FLAG;
            m_pse->control(&off, nullptr);
        }
        m_modified = false;
        m_built = true;
        std::memcpy(m_builtDigest, digest, sizeof digest);
    }
    explicit_bzero(digest, sizeof digest);
    return hr;
}

HRESULT KVC_PSE::getAsPSE(const char* password, unsigned char* buffer, unsigned long* length)
{
    if (!m_converter || !m_fileName)
        return E_COMMON_INVALIDDATA;
    HRESULT hr = BuildPse(password);
    if (FAILED(hr))
        return hr;
    OctetString* image = nullptr;
    hr = IoTable()->file2OctetString(m_fileName, &image);
    if (FAILED(hr))
        return hr;
    hr = BlobReturn(image->data, image->length, buffer, length);
    FreeSecret(image);
    return hr;
}

HRESULT KVC_PSE::clean()
{
    m_converter.Free();
    m_oldPSEFormat = false;
    m_pseAttribute888 = true;
    m_modified = false;
    return S_OK;
}

HRESULT KVC_PSE::addKeys(KVC_IPSE* otherInterface)
{
    AuxRefPtr<KVC_PSE> other;
    other.Attach(From(otherInterface));
    if (!other || !other->m_converter || !m_converter)
        return E_COMMON_INVALIDDATA;
    m_modified = true;
    m_oldPSEFormat = m_oldPSEFormat || other->m_oldPSEFormat;
    m_pseAttribute888 = m_pseAttribute888 && other->m_pseAttribute888;
    AuxByteBufferImpl<true> image;
    HRESULT hr = other->m_converter->exportPSE(0, "", 0, nullptr, image.Length());
    if (SUCCEEDED(hr))
        hr = image.Reserve(*image.Length());
    if (SUCCEEDED(hr))
        hr = other->m_converter->exportPSE(0, "", 0, image.Data(), image.Length());
    if (FAILED(hr))
        return hr;
    return m_converter->importKeyMaterial(image.Data(), *image.Length(), "", 0);
}

HRESULT KVC_PSE::getChainCert(unsigned long index, unsigned char* buffer, unsigned long* length)
{
    if (!m_converter)
        return E_COMMON_INVALIDDATA;
    HRESULT hr = m_converter->getChainCertificate(index, buffer, length);
    if (SUCCEEDED(hr) || index != 0 || !m_pse)
        return hr;
    // The memory PSE may know the certificate when the converter has no key.
    SET_OF_PersonalCertificateInfo* own = nullptr;
    if (FAILED(m_pse->getOwnCertificate(nullptr, nullptr, &own)) || own == nullptr)
        return hr;
    if (own->element != nullptr && own->element->certificate != nullptr) {
        OctetString* der = nullptr;
        if (SUCCEEDED(TypeTable(SEC_TYPE_Certificate)->encode(own->element->certificate, &der)) && der != nullptr)
            hr = BlobReturn(der->data, der->length, buffer, length);
        FreeOctets(der);
    }
    TypeTable(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);
    return hr;
}

HRESULT KVC_PSE::getOwnCert(unsigned char* buffer, unsigned long* length)
{
    return getChainCert(0, buffer, length);
}

HRESULT KVC_PSE::exportTrustedCAs(SET_OF_Certificate** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (!m_converter)
        return E_COMMON_INVALIDDATA;
    const SEC_TYPE_TABLE* certificates = TypeTable(SEC_TYPE_Certificate);
    const SEC_TYPE_TABLE* sets = TypeTable(SEC_TYPE_SET_OF_Certificate);
    SET_OF_Certificate* set = nullptr;
    SET_OF_Certificate** tail = &set;
    AuxByteBufferImpl<false> buffer;
    HRESULT hr = S_OK;
    for (unsigned long index = 0;; ++index) {
        hr = m_converter->getTrustedCertificate(index, nullptr, buffer.Length());
        if (FAILED(hr) || *buffer.Length() == 0)
            break;
        hr = buffer.Reserve(*buffer.Length());
        if (SUCCEEDED(hr))
            hr = m_converter->getTrustedCertificate(index, buffer.Data(), buffer.Length());
        Certificate* certificate = nullptr;
        OctetString der = buffer.Octets();
        if (SUCCEEDED(hr))
            hr = certificates->decode(&der, reinterpret_cast<void**>(&certificate));
        if (FAILED(hr))
            break;
        bool held = false;
        for (SET_OF_Certificate* node = set; node != nullptr && !held; node = node->next)
            held = certificates->compare(node->element, certificate) == 0;
        if (held) {
            certificates->free(certificate);
            continue;
        }
        void* node = nullptr;
        hr = sets->new_node(&node);
        if (FAILED(hr)) {
            certificates->free(certificate);
            break;
        }
        static_cast<SET_OF_Certificate*>(node)->element = certificate;
        *tail = static_cast<SET_OF_Certificate*>(node);
        tail = &(*tail)->next;
    }
    if (FAILED(hr)) {
        if (set != nullptr)
            sets->free(set);
        return hr;
    }
    *out = set;
    return S_OK;
}

HRESULT KVC_PSE::exportTrustedCAs(OctetString** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    SET_OF_Certificate* set = nullptr;
    HRESULT hr = exportTrustedCAs(&set);
    if (FAILED(hr))
        return hr;
    if (set == nullptr)
        return S_OK;
    hr = TypeTable(SEC_TYPE_SET_OF_Certificate)->encode(set, out);
    TypeTable(SEC_TYPE_SET_OF_Certificate)->free(set);
    return hr;
}

HRESULT KVC_PSE::exportTrustedCAs(unsigned char* buffer, unsigned long* length)
{
    if (length == nullptr)
        return E_POINTER;
    OctetString* der = nullptr;
    HRESULT hr = exportTrustedCAs(&der);
    if (SUCCEEDED(hr))
        hr = der != nullptr ? BlobReturn(der->data, der->length, buffer, length) : E_COMMON_INVALIDDATA;
    FreeOctets(der);
    return hr;
}

HRESULT KVC_PSE::importTrustedCAs(const unsigned char* data, unsigned long length)
{
    if (!m_converter)
        return E_COMMON_INVALIDDATA;
    m_modified = true;
    return m_converter->importCertificates(data, length);
}

HRESULT KVC_PSE::addTrustedCAs(KVC_IPSE* otherInterface)
{
    AuxRefPtr<KVC_PSE> other;
    other.Attach(From(otherInterface));
    if (!other)
        return S_OK;
    SET_OF_Certificate* set = nullptr;
    if (FAILED(other->exportTrustedCAs(&set)) || set == nullptr)
        return S_OK;
    // The set's certificates one by one: the converter takes certificates, not lists.
    for (SET_OF_Certificate* node = set; node != nullptr; node = node->next) {
        if (m_converter && node->element != nullptr) {
            m_modified = true;
            AddCertificate(m_converter, node->element);
        }
    }
    TypeTable(SEC_TYPE_SET_OF_Certificate)->free(set);
    return S_OK;
}

HRESULT KVC_PSE::useSameSettings(KVC_PSE* other)
{
    if (other == nullptr || other == this)
        return S_OK;
    if (m_oldPSEFormat != other->m_oldPSEFormat) {
        m_oldPSEFormat = other->m_oldPSEFormat;
        m_modified = true;
    }
    if (m_pseAttribute888 != other->m_pseAttribute888) {
        m_pseAttribute888 = other->m_pseAttribute888;
        m_modified = true;
    }
    return S_OK;
}

HRESULT KVC_PSE::loadFromKestrin(IKestrin* client)
{
    if (client == nullptr)
        return E_INVALIDARG;
    m_modified = true;
    Prepare();
    OctetString* key = nullptr;
    OctetString* certificate = nullptr;
    OctetString* chain = nullptr;
    OctetString* root = nullptr;
    HRESULT hr = client->Get_Token(&key, &certificate, &chain, &root);
    if (SUCCEEDED(hr) && !m_converter)
        hr = E_COMMON_INVALIDDATA;
    if (SUCCEEDED(hr))
        hr = m_converter->importKeyMaterial(key != nullptr ? key->data : nullptr, key != nullptr ? key->length : 0,
                                            nullptr, 0);
    FreeSecret(key);
    if (SUCCEEDED(hr) && certificate != nullptr)
        m_converter->addCertificate(certificate->data, certificate->length);
    if (SUCCEEDED(hr) && chain != nullptr) {
        SET_OF_Certificate* set = nullptr;
        if (SUCCEEDED(TypeTable(SEC_TYPE_SET_OF_Certificate)->decode(chain, reinterpret_cast<void**>(&set)))) {
            for (SET_OF_Certificate* node = set; node != nullptr; node = node->next)
                if (node->element != nullptr)
                    AddCertificate(m_converter, node->element);
            if (set != nullptr)
                TypeTable(SEC_TYPE_SET_OF_Certificate)->free(set);
        }
    }
    if (SUCCEEDED(hr) && root != nullptr)
        m_converter->addCertificate(root->data, root->length);
    FreeOctets(certificate);
    FreeOctets(chain);
    FreeOctets(root);
    if (FAILED(hr))
        return hr;
    char name[SEC_KEYCONVERT_MISSING_TEXT];
    unsigned long nameLength = sizeof name;
    hr = m_converter->reportMissingCertificate(name, &nameLength);
    if (FAILED(hr))
        return hr;
    return nameLength > 0 ? E_QM_CERTIFICATE_BAD : S_OK;
}

HRESULT KVC_PSE::getError(char** text)
{
    if (text != nullptr)
        *text = nullptr;
    if (!m_converter)
        return E_COMMON_INVALIDDATA;
    char name[SEC_KEYCONVERT_MISSING_TEXT] = {};
    unsigned long nameLength = sizeof name;
    HRESULT hr = m_converter->reportMissingCertificate(name, &nameLength);
    if (FAILED(hr) || nameLength == 0)
        return hr;
    if (text != nullptr) {
        StringT<char> message;
        message.Format("The following certificate is missing : \n%s", name);
        *text = message.Detach();
    }
    return E_QM_CERTIFICATE_BAD;
}

}  // namespace kestrin::enrol
