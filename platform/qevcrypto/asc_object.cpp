#include "asc_object.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "file_pse.h"
#include "https/https_api.h"
#include "qev_attributes.h"
#include "qev_modules.h"
#include "qev_results.h"
#include "sec_attr.h"

namespace kestrin::qevcrypto {
namespace {

constexpr char kAscType[] = "ASC";
// Longest module name the loader takes (qev_modules.cpp refuses longer ones).
constexpr size_t kMaxProviderName = 128;

}  // namespace

HRESULT AscObject::Create(SECAttribute* chain, ASC** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    const SECAttribute* provider = FindAttribute(chain, SEC_ATTR_PROVIDER);
    const char* name = provider != nullptr ? static_cast<const char*>(provider->value) : nullptr;
    if (provider != nullptr && (name == nullptr || strnlen(name, kMaxProviderName + 1) > kMaxProviderName))
        return E_INVALIDARG;
    auto* asc = new (std::nothrow) AscObject();
    if (asc == nullptr)
        return E_OUTOFMEMORY;
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
    if (m_ownPse != nullptr)
        m_ownPse->Release();
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
    return https::CreateSslContext(out);
}

}  // namespace kestrin::qevcrypto
