// Table "keychain_api" of module "zelkbase" over the user's key store.
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "keystore.h"
#include "zelk_keychain.h"
#include "zelk_module.h"
#include "zelk_trace.h"

namespace kestrin::base {
namespace {

using namespace kestrin::keystore;

constexpr const char* kTraceModule = "zelkbase";
constexpr unsigned kError = 1;
constexpr unsigned kDetail = 4;
// Common names are traced in at most this many bytes.
constexpr size_t kMaxCommonName = 511;

HRESULT OpenStore(std::unique_ptr<KeyStore>* store)
{
    std::string message;
    HRESULT hr = KeyStore::Open(Options {}, store, &message);
    if (FAILED(hr))
        SECTRACE_FormatLn(kTraceModule, kError, "Key store not available: %s", message.c_str());
    return hr;
}

std::string CommonName(const std::vector<uint8_t>& der)
{
    std::string name;
    if (CertificateCommonName(der, &name) != S_OK || name.empty())
        return "<unknown>";
    if (name.size() > kMaxCommonName)
        name.resize(kMaxCommonName);
    return name;
}

void TraceNameDelete(NameMatch how, const char* text, const Identity& identity)
{
    const char* kind = how == NameMatch::Exact ? "exact" : "not exact";
    SECTRACE_FormatLn(kTraceModule, kDetail, "Delete private key with %s name \"%s\"", kind, text);
    SECTRACE_FormatLn(kTraceModule, kDetail, "Delete certificate for key %s name \"%s\" with common name \"%s\"", kind,
                      text, CommonName(identity.certificate).c_str());
}

// Deletes every identity whose private key's print name matches `text`.
HRESULT DeleteByPrintName(const char* text, NameMatch how)
{
    std::unique_ptr<KeyStore> store;
    std::vector<Identity> deleted;
    if (FAILED(OpenStore(&store)) || store->DeleteIdentitiesByPrintName(text, how, &deleted) != S_OK)
        return E_FAIL;
    for (const Identity& identity : deleted)
        TraceNameDelete(how, text, identity);
    return deleted.empty() ? E_FAIL : S_OK;
}

HRESULT KeyChainDeleteIdentityPref(const char* name)
{
    SECTRACE_Fkt_IMPL<HRESULT> fkt("%8x", "KeyChainDeleteIdentityPref");
    if (name == nullptr)
        return fkt.result = E_INVALIDARG;
    std::unique_ptr<KeyStore> store;
    if (FAILED(OpenStore(&store)))
        return fkt.result = -1;
    Identity identity;
    if (store->GetPreferredIdentity(name, &identity) != S_OK) {
        SECTRACE_FormatLn(kTraceModule, kError, "No identity preference found with name \"%s\"", name);
        return fkt.result = S_OK;
    }
    SECTRACE_FormatLn(kTraceModule, kDetail, "Delete private key for identity preference \"%s\"", name);
    SECTRACE_FormatLn(kTraceModule, kDetail,
                      "Delete certificate for identity preference \"%s\" with common name \"%s\"", name,
                      CommonName(identity.certificate).c_str());
    store->DeleteIdentity(identity.sha1, DeletePart::Both);
    return fkt.result = store->ClearPreferredIdentity(name) == S_OK ? S_OK : -1;
}

// A chain that does not evaluate as trusted takes out what the import
// brought: the identity when the store did not hold its key before, or held
// it as one of the system's own; a key of the user's stays, under the print
// name it had. The preference for `name` is given back as it was before.
HRESULT UndoImport(KeyStore& store, const char* name, const Pkcs12Import& import,
                   const std::optional<Fingerprint>& preferenceBefore, bool preferenceSet)
{
    const Identity& identity = import.identity;
    if (!import.keyWasPresent
        || PrintNameMatches(import.previousPrintName, KEYCHAIN_KESTRIN_PREFIX, NameMatch::Prefix)) {
        TraceNameDelete(NameMatch::Exact, identity.printName.c_str(), identity);
        // A certificate the store kept without its key before stays so.
        const bool keylessBefore = !import.keyWasPresent && import.certificateWasPresent;
        store.DeleteIdentity(identity.sha1, keylessBefore ? DeletePart::Key : DeletePart::Both);
    } else if (identity.printName != import.previousPrintName) {
        store.SetPrintName(identity.sha1, import.previousPrintName);
    }
    if (preferenceSet && !(preferenceBefore && store.SetPreferredIdentity(name, *preferenceBefore) == S_OK))
        store.ClearPreferredIdentity(name);
    for (size_t i = 1; i < import.chain.size(); ++i)
        store.AddCertificate(import.chain[i].der);
    SECTRACE_WriteLn(kTraceModule, kError, "Trust is missing, abort private key import");
    return KEYCHAIN_E_NO_TRUST;
}

HRESULT KeyChainImportFromP12(const char* name, const char* password, const OctetString* data, bool trustCheck,
                              bool setPreference)
{
    SECTRACE_Fkt_IMPL<HRESULT> fkt("%8x", "KeyChainImportFromP12");
    if (name == nullptr || data == nullptr || (data->data == nullptr && data->length != 0))
        return fkt.result = E_INVALIDARG;
    std::unique_ptr<KeyStore> store;
    HRESULT hr = OpenStore(&store);
    Pkcs12Import import;
    if (SUCCEEDED(hr))
        hr = store->ImportPkcs12(std::span<const uint8_t>(data->data, data->length), password ? password : "", &import);
    if (hr == KEYSTORE_E_PKCS12_NO_IDENTITY) {
        SECTRACE_WriteLn(kTraceModule, kError, "PKCS#12 contains no items, abort");
        return fkt.result = -1;
    }
    if (FAILED(hr)) {
        SECTRACE_FormatLn(kTraceModule, kError, "Import of PKCS#12 into Keychain failed with status %i", hr);
        return fkt.result = -1;
    }
    std::optional<Fingerprint> preferenceBefore;
    bool preferenceSet = false;
    if (setPreference) {
        Identity before;
        if (store->GetPreferredIdentity(name, &before) == S_OK)
            preferenceBefore = before.sha1;
        preferenceSet = store->SetPreferredIdentity(name, import.identity.sha1) == S_OK;
    }
    if (trustCheck) {
        std::vector<std::vector<uint8_t>> chain;
        for (const Certificate& c : import.chain)
            chain.push_back(c.der);
        TrustEvaluation evaluation;
        store->EvaluateTrust(chain, TrustPolicy {}, &evaluation);
        if (evaluation.result != TrustResult::Proceed && evaluation.result != TrustResult::Unspecified)
            return fkt.result = UndoImport(*store, name, import, preferenceBefore, preferenceSet);
    }
    return fkt.result = S_OK;
}

int KeyChain_Identity_IsKestrin(SecIdentityRef identity)
{
    SECTRACE_Fkt_IMPL<int> fkt("%i", "KeyChain_Identity_IsKestrin");
    if (identity == nullptr) {
        SECTRACE_WriteLn(kTraceModule, kError, "IdentityRef is not a key");
        return fkt.result = 0;
    }
    return fkt.result = PrintNameMatches(identity->printName, KEYCHAIN_KESTRIN_PREFIX, NameMatch::Prefix) ? 1 : 0;
}

HRESULT KeyChainDelete_byPrivateKeyName(const char* name)
{
    SECTRACE_Fkt_IMPL<HRESULT> fkt("%8x", "KeyChainDelete_byPrivateKeyName");
    if (name == nullptr)
        return fkt.result = E_INVALIDARG;
    return fkt.result = DeleteByPrintName(name, NameMatch::Exact);
}

HRESULT KeyChainDeleteAllQEVSSO()
{
    SECTRACE_Fkt_IMPL<HRESULT> fkt("%8x", "KeyChainDeleteAllQEVSSO");
    return fkt.result = DeleteByPrintName(KEYCHAIN_KESTRIN_PREFIX, NameMatch::Prefix);
}

HRESULT keychain_api_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = KEYCHAIN_API;
    if (module)
        *module = "zelkbase";
    if (description)
        *description = "";
    return S_OK;
}

KEYCHAIN_API_FUNCTIONS s_keychain_api = {
    {keychain_api_get_info},     KeyChainImportFromP12,           KeyChainDeleteIdentityPref,
    KeyChain_Identity_IsKestrin, KeyChainDelete_byPrivateKeyName, KeyChainDeleteAllQEVSSO,
};

CZELK_API s_register("zelkbase", KEYCHAIN_API, &s_keychain_api);

}  // namespace
}  // namespace kestrin::base
