#include "keychain_monitor.h"

#include <cstring>
#include <string>
#include <vector>

#include "../tokens/trust.h"
#include "certificate_filter.h"
#include "qev_crypt.h"
#include "reader_manager.h"
#include "zelk_class.h"
#include "zelk_holders.h"
#include "zelk_keychain_client.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

ZELK_KEYCHAIN_CLIENT_BINDING();

namespace ZELK::PSESVC {
namespace {

using kestrin::keystore::Identity;
using kestrin::keystore::KeyStore;

CZELK_CLASS s_class("zelk", "zelk.keychainmonitor", &CSingletonFactoryImpl<CKeychainMonitor>::New);

API_COMMON* s_crypt = nullptr;
CLoadAPI s_loadCrypt(nullptr, SEC_CRYPT_API, &s_crypt);

constexpr const char* kFilterPath = "Common/CAPI";
constexpr const char* kSlotPrefix = "tokkeychain:cert=";
// Common names are traced in at most this many bytes.
constexpr size_t kMaxCommonName = 511;
constexpr size_t kSha1Length = 20;

// The digest `algorithm` of the data through the crypto library's "SEC_CRYPT_1".
HRESULT ZELK_sec_crypt_hash_all(unsigned int algorithm, const unsigned char* data, uint64_t length, unsigned char* out,
                                uint64_t* outLength)
{
    const auto* crypt = ZELK_ApiCast<SEC_CRYPT_TABLE>(s_crypt);
    if (crypt == nullptr || crypt->hash_all == nullptr)
        return E_FAIL;
    // The algorithm travels in the value pointer itself.
    SECAttribute hash {SEC_ATTR_HASH, reinterpret_cast<void*>(static_cast<uintptr_t>(algorithm)), 0, 0, 0, nullptr,
                       nullptr};
    return crypt->hash_all(&hash, data, length, out, outLength);
}

// The certificate's common name cut to at most 511 bytes on a character
// boundary, or "<unknown>" when it has none.
std::string CommonName(const std::vector<uint8_t>& der)
{
    std::string name;
    if (der.empty() || kestrin::keystore::CertificateCommonName(der, &name) != S_OK || name.empty())
        return "<unknown>";
    if (name.size() > kMaxCommonName) {
        size_t end = kMaxCommonName;
        while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
            --end;
        name.resize(end);
    }
    return name;
}

// The slot name of an identity that passes the filter; false for one that
// is left out.
bool SlotName(const Identity& identity, CCertificateFilter* filter, StringT<char>& name)
{
    if (KeyChain_Identity_IsKestrin(&identity))
        return false;
    SECTRACE_FormatLn("zelkbase", 4, "Add keychain identity with certificate (common name \"%s\"",
                      CommonName(identity.certificate).c_str());
    if (identity.certificate.empty()) {
        SECTRACE_WriteLn("zelk", 1, "Keychain item has no certificate data, ignore");
        return false;
    }
    const SEC_TYPE_TABLE* certificates = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
    if (certificates == nullptr || filter == nullptr)
        return false;
    OctetString der {identity.certificate.size(), const_cast<unsigned char*>(identity.certificate.data())};
    void* decoded = nullptr;
    if (FAILED(certificates->decode(&der, &decoded)) || decoded == nullptr)
        return false;
    AuxRefPtr<Certificate> certificate;
    certificate.Attach(static_cast<Certificate*>(decoded));
    if (!filter->Match(certificate, nullptr))
        return false;

    unsigned char digest[kSha1Length];
    uint64_t length = sizeof digest;
    if (FAILED(ZELK_sec_crypt_hash_all(SEC_HASH_SHA1, der.data, der.length, digest, &length)) || length != kSha1Length)
        return false;
    OctetString bytes {kSha1Length, digest};
    char* hex = nullptr;
    if (FAILED(String_HexEncode(&bytes, &hex)) || hex == nullptr)
        return false;
    name = kSlotPrefix;
    name.Append(hex);
    sec_free(hex);
    return true;
}

}  // namespace

CKeychainMonitor::~CKeychainMonitor()
{
    CMonitor::Stop();
}

HRESULT CKeychainMonitor::Initialize()
{
    CSingletonFactoryImpl<CKeychainMonitor>::Initialize();
    return CMonitor::Initialize();
}

HRESULT CKeychainMonitor::Finalize()
{
    CMonitor::Finalize();
    return CSingletonFactoryImpl<CKeychainMonitor>::Finalize();
}

HRESULT CKeychainMonitor::KeychainCallback()
{
    // Marked first, so that whoever the reload wakes already sees the trust list as stale.
    CTrustKeychain::SetDirty();
    m_event.Signal();
    return S_OK;
}

HRESULT CKeychainMonitor::KeychainCallbackTrust()
{
    CTrustKeychain::SetDirty();
    return S_OK;
}

HRESULT CKeychainMonitor::NotifyThread_Initialize()
{
    std::string message;
    HRESULT hr = KeyStore::Open(kestrin::keystore::Options {}, &m_store, &message);
    if (FAILED(hr)) {
        SECTRACE_FormatLn("zelk", 1, "Key store not available: %s", message.c_str());
        return hr;
    }
    // Subscribed before the first load, so that no change after it is missed.
    hr = m_store->Subscribe(
        kestrin::keystore::kIdentitiesChanged, [this](unsigned) { KeychainCallback(); }, &m_identities);
    if (SUCCEEDED(hr))
        hr = m_store->Subscribe(
            kestrin::keystore::kTrustChanged, [this](unsigned) { KeychainCallbackTrust(); }, &m_trust);
    // The identities are still loaded once.
    if (FAILED(hr))
        SECTRACE_FormatLn("zelk", 1, "Key store changes cannot be watched: %s", kestrin::keystore::ResultText(hr));
    return S_OK;
}

HRESULT CKeychainMonitor::NotifyThread_Finalize()
{
    // Each reset waits for its callback when that runs on the store's
    // watcher, so that none reaches a stopped monitor.
    m_identities.Reset();
    m_trust.Reset();
    m_store.reset();
    return S_OK;
}

HRESULT CKeychainMonitor::Reload()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CKeychainMonitor::Reload");
    AuxRefPtr<CReaderMgr> readers;
    CSingletonFactoryImpl<CReaderMgr>::New(&readers);
    ZELK_PTR(ZELK_IPolicy) policy;
    ZELK_PolOpen(kFilterPath, &policy);
    AuxRefPtr<CCertificateFilter> filter;
    if (SUCCEEDED(CCertificateFilter::New(&filter)) && filter)
        filter->SetPolicy(policy);

    // A failed list counts as no identities: all of the last load's go.
    std::vector<Identity> identities;
    if (!m_store || FAILED(m_store->ListIdentities(&identities)))
        identities.clear();
    for (const Identity& identity : identities) {
        StringT<char> name;
        if (!SlotName(identity, filter, name))
            continue;
        if (readers) {
            readers->ReaderAdd(name);
            readers->ReaderEvent(IReaderEvents::CARD_INSERTED, name, 0);
        }
        AddNew(name);
    }

    const unsigned long deleted = GetDeletedURIsCount();
    for (unsigned long i = 0; i < deleted; ++i) {
        char* name = nullptr;
        if (FAILED(GetDeleted(i, &name)) || name == nullptr || *name == '\0') {
            sec_free(name);
            continue;
        }
        SECTRACE_FormatLn(nullptr, 4, "KEYCHAIN::Event:: remove identity %s.", name);
        if (readers) {
            readers->ReaderEvent(IReaderEvents::CARD_REMOVED, name, 0);
            readers->ReaderDel(name);
        }
        sec_free(name);
    }
    RefreshDeleteDetector();
    return trace.result = S_OK;
}

}  // namespace ZELK::PSESVC
