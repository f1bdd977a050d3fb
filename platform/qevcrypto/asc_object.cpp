#include "asc_object.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "file_pse.h"
#include "https/https_api.h"
#include "mem_files.h"
#include "mem_pse.h"
#include "ossl/ossl_pkcs12.h"
#include "qev_attributes.h"
#include "qev_modules.h"
#include "qev_results.h"
#include "sec_attr.h"
#include "swtoken/sw_store.h"

namespace kestrin::qevcrypto {
namespace {

constexpr char kAscType[] = "ASC";
// Longest module name the loader takes (qev_modules.cpp refuses longer ones).
constexpr size_t kMaxProviderName = 128;

// The PSE image (PKCS#12) of an in-memory file: a client identity when it
// holds a private key (its certificate is the one of that key, the others
// come with it), else trust anchors. A "toksw:" name that is no file names
// an in-memory software token, whose identity is taken as it stands.
HRESULT ReadImage(const char* name, const char* password, https::ContextCredentials& into)
{
    if (name != nullptr && std::strncmp(name, "toksw:", 6) == 0 && !memfiles::Exists(name))
        return swtoken::StoreIdentity(name, into);
    ossl::SecretBytes image;
    HRESULT hr = memfiles::Read(name, image);
    if (FAILED(hr))
        return hr;
    std::vector<ossl::P12BagData> bags;
    bool verified = false;
    hr = ossl::ParsePkcs12(image.data(), image.size(), password, bags, verified);
    if (FAILED(hr) || !verified)
        return verified ? E_PSE_CORRUPT : E_PSE_BADPASSWORD;
    ossl::EvpPkeyPtr key;
    std::vector<ossl::X509Ptr> certificates;
    for (ossl::P12BagData& bag : bags) {
        if (bag.kind == ossl::P12_KEY_BAG && !key) {
            const unsigned char* p = bag.pkcs8.data();
            key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(bag.pkcs8.size())));
            if (!key)
                return E_PSE_CORRUPT;
        } else if (bag.kind == ossl::P12_CERT_BAG && bag.cert) {
            certificates.push_back(std::move(bag.cert));
        }
    }
    if (!key) {
        for (ossl::X509Ptr& c : certificates)
            into.anchors.push_back(std::move(c));
        return S_OK;
    }
    auto identity = std::make_shared<https::ClientIdentity>();
    for (ossl::X509Ptr& c : certificates) {
        if (!identity->certificate && X509_check_private_key(c.get(), key.get()) == 1)
            identity->certificate = std::move(c);
        else
            identity->chain.push_back(std::move(c));
    }
    ERR_clear_error();
    if (!identity->certificate)
        return E_PSE_CORRUPT;
    identity->key = std::move(key);
    into.identity = std::move(identity);
    return S_OK;
}

}  // namespace

HRESULT AscObject::Create(SECAttribute* chain, ASC** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    https::ContextCredentials credentials;
    bool images = false;
    const SECAttribute* password = FindAttribute(chain, SEC_ATTR_PASSWORD);
    const char* passwordText =
        password != nullptr && password->value != nullptr ? static_cast<const char*>(password->value) : "";
    for (const SECAttribute* a = chain; a != nullptr; a = a->next) {
        if (a->id != SEC_ATTR_PSE_IMAGE)
            continue;
        images = true;
        try {
            HRESULT hr = ReadImage(static_cast<const char*>(a->value), passwordText, credentials);
            if (FAILED(hr))
                return hr;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    const SECAttribute* provider = FindAttribute(chain, SEC_ATTR_PROVIDER);
    const char* name = provider != nullptr ? static_cast<const char*>(provider->value) : nullptr;
    if (provider != nullptr && (name == nullptr || strnlen(name, kMaxProviderName + 1) > kMaxProviderName))
        return E_INVALIDARG;
    auto* asc = new (std::nothrow) AscObject();
    if (asc == nullptr)
        return E_OUTOFMEMORY;
    asc->m_credentials = std::move(credentials);
    if (images) {
        HRESULT hr = CreateMemoryPse(asc->m_credentials.identity, &asc->m_memoryPse);
        if (FAILED(hr)) {
            asc->Release();
            return hr;
        }
    }
    if (name != nullptr) {
        try {
            asc->m_provider = name;
        } catch (...) {
            asc->Release();
            return E_OUTOFMEMORY;
        }
        API_COMMON* table = nullptr;
        HRESULT hr = qev_module_get_api(name, "SEC_PSE_1", &table);
        const auto* pseTable = ZELK_ApiCast<SEC_PSE_TABLE>(table);
        if (SUCCEEDED(hr) && (pseTable == nullptr || pseTable->create_PSE == nullptr))
            hr = E_NOTIMPL;
        if (SUCCEEDED(hr)) {
            hr = pseTable->create_PSE(&asc->m_providerPse, asc, chain);
            if (SUCCEEDED(hr) && asc->m_providerPse == nullptr)
                hr = E_PSE_NOPSE;
        }
        if (FAILED(hr)) {
            asc->Release();
            return hr;
        }
        // The module stays loaded while this context keeps its PSE.
        qev_module_hold(name);
    }
    *out = asc;
    return S_OK;
}

AscObject::~AscObject()
{
    if (m_tls != nullptr)
        m_tls->Release();
    if (m_ownPse != nullptr)
        m_ownPse->Release();
    if (m_memoryPse != nullptr)
        m_memoryPse->Release();
    if (m_providerPse != nullptr) {
        m_providerPse->Release();
        qev_module_drop(m_provider.c_str());
    }
}

HRESULT AscObject::QueryInterface(const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    if (!(iid == IID_IUnknown) && !(iid == IID_ASC)) {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    *out = static_cast<ASC*>(this);
    return S_OK;
}

long AscObject::AddRef()
{
    return ++m_refs;
}

long AscObject::Release()
{
    long n = --m_refs;
    if (n == 0)
        delete this;
    return n;
}

const char* AscObject::getType()
{
    return kAscType;
}

HRESULT AscObject::cpy(ASC** out)
{
    if (out == nullptr)
        return E_POINTER;
    AddRef();
    *out = this;
    return S_OK;
}

int AscObject::cmp(const ASC* other)
{
    return other == this ? 0 : 1;
}

HRESULT AscObject::print(char** out, const char* indent, PRINT_CTX*)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    const char* prefix = indent != nullptr ? indent : "";
    const char* provider = m_provider.empty() ? "(none)" : m_provider.c_str();
    int length = std::snprintf(nullptr, 0, "%sASC provider %s", prefix, provider);
    if (length < 0)
        return E_FAIL;
    auto* text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (text == nullptr)
        return E_OUTOFMEMORY;
    std::snprintf(text, static_cast<size_t>(length) + 1, "%sASC provider %s", prefix, provider);
    *out = text;
    return S_OK;
}

HRESULT AscObject::getPSE(PSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (m_providerPse != nullptr) {
        m_providerPse->AddRef();
        *out = m_providerPse;
        return S_OK;
    }
    if (m_memoryPse != nullptr) {
        m_memoryPse->AddRef();
        *out = m_memoryPse;
        return S_OK;
    }
    return getOwnPSE(out);
}

HRESULT AscObject::getOwnPSE(PSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    std::lock_guard<std::mutex> lock(m_ownLock);
    if (m_ownPse == nullptr) {
        HRESULT hr = OpenFilePse(&m_ownPse);
        if (FAILED(hr))
            return hr;
    }
    m_ownPse->AddRef();
    *out = m_ownPse;
    return S_OK;
}

HRESULT AscObject::getCertDB(void*)
{
    return E_NOTIMPL;
}

HRESULT AscObject::getVerificationContext(void*)
{
    return E_NOTIMPL;
}

HRESULT AscObject::createURLContext(url_context** out)
{
    return https::CreateUrlContext(this, out);
}

HRESULT AscObject::getSSLContext(ssl_context** out)
{
    if (out == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_tlsLock);
    if (m_tls == nullptr) {
        HRESULT hr = https::CreateSslContext(&m_tls);
        if (FAILED(hr))
            return hr;
    }
    m_tls->AddRef();
    *out = m_tls;
    return S_OK;
}

}  // namespace kestrin::qevcrypto
