// The real web adapter facade for the fuzz targets: the real token manager
// with four enrolment profiles of a temporary configuration, each profile
// token on a token double of the crypto library's test doubles, a card
// holding an identity made with OpenSSL, scripted
// credential dialogs, and a scripted enrolment client whose answers the input
// sets, an identity made with OpenSSL among them. The runtime loads the crypto library and the base modules from the
// build's lib folder.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/fake_dialog.h"
#include "fuzz_home.h"
#include "qev_doubles.h"
#include "tokens/token_kv.h"
#include "tokens/token_manager.h"
#include "webadapter/kvc_api_facade.h"
#include "zelk_class.h"
#include "zelk_holders.h"
#include "zelk_kestrin.h"
#include "zelk_module.h"

namespace facade_fuzz {

// Profiles: two of the web adapter (one with a wildcard host and an address
// padded with blanks), one plain profile that shares an origin, and one of
// another origin.
inline constexpr const char* kSettings = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>profiles</key><dict>
<key>webone</key><dict><key>PseType</key><string>webadapter</string>
<key>enrollURL0</key><string>https://enrol.test:8443/kvc?profile=web1</string></dict>
<key>webtwo</key><dict><key>PseType</key><string>webadapter</string>
<key>enrollURL0</key><string>https://*.other.test/x?profile=w2</string>
<key>enrollURL1</key><string> https://enrol.test:8443/y?profile=Shared </string></dict>
<key>plain</key><dict><key>enrollURL0</key><string>https://enrol.test:8443/p?profile=plain</string></dict>
<key>second</key><dict><key>enrollURL0</key><string>https://other.test:8443/p?profile=second</string></dict>
</dict></dict></plist>
)";
inline constexpr const char* kProfiles[] = {"webone", "webtwo", "plain", "second"};
// The profiles' slots and a card reader's, kept for the process (found here
// at exit, not lost).
inline kestrin::qevtest::FakeSlot* s_slots[std::size(kProfiles) + 1] = {};

// An identity made once with OpenSSL: a P-256 key (PKCS#8 DER) and a
// self-signed certificate for it, valid from an hour ago for a day.
struct Identity {
    std::vector<unsigned char> key;
    std::vector<unsigned char> cert;
};

inline std::vector<unsigned char> Der(unsigned char* der, int length)
{
    std::vector<unsigned char> bytes;
    if (der != nullptr && length > 0)
        bytes.assign(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

inline const Identity& MadeIdentity()
{
    static const Identity identity = [] {
        Identity made;
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        X509_NAME* name = X509_NAME_new();
        if (key == nullptr || cert == nullptr || name == nullptr)
            std::abort();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Facade Fuzz"), -1,
                                   -1, 0);
        X509_set_subject_name(cert, name);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        if (X509_sign(cert, key, EVP_sha256()) <= 0)
            std::abort();
        unsigned char* der = nullptr;
        int length = i2d_X509(cert, &der);
        made.cert = Der(der, length);
        PKCS8_PRIV_KEY_INFO* pkcs8 = EVP_PKEY2PKCS8(key);
        der = nullptr;
        length = pkcs8 != nullptr ? i2d_PKCS8_PRIV_KEY_INFO(pkcs8, &der) : 0;
        made.key = Der(der, length);
        PKCS8_PRIV_KEY_INFO_free(pkcs8);
        X509_NAME_free(name);
        X509_free(cert);
        EVP_PKEY_free(key);
        if (made.key.empty() || made.cert.empty())
            std::abort();
        return made;
    }();
    return identity;
}

// A new octet string of the crypto library over a copy of the bytes.
inline OctetString* Octets(const std::vector<unsigned char>& bytes)
{
    OctetString view {bytes.size(), const_cast<unsigned char*>(bytes.data())};
    void* copy = nullptr;
    if (SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString)->copy(&view, &copy) != S_OK)
        return nullptr;
    return static_cast<OctetString*>(copy);
}

// What the scripted enrolment clients answer; set by the input.
struct ClientScript {
    static inline std::atomic<HRESULT> key {S_OK};
    static inline std::atomic<HRESULT> request {S_OK};
    static inline std::atomic<HRESULT> import {S_OK};
    // GetPKCS10 hands out no request at all.
    static inline std::atomic<bool> noRequest {false};
    // Get_Token hands out the identity made here; otherwise it fails.
    static inline std::atomic<bool> identity {false};
    static inline std::atomic<int> alive {0};
    static std::mutex& Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static std::vector<unsigned char>& Pkcs10()
    {
        static std::vector<unsigned char> bytes {0x30, 0x03, 0x02, 0x01, 0x07};
        return bytes;
    }
    static void Reset()
    {
        key = S_OK;
        request = S_OK;
        import = S_OK;
        noRequest = false;
        identity = false;
        std::lock_guard<std::mutex> lock(Lock());
        Pkcs10() = {0x30, 0x03, 0x02, 0x01, 0x07};
    }
};

class ScriptedKestrin : public IKestrin, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(ScriptedKestrin)
    ZELK_INTMAP_ENTRY(IKestrin)
    ZELK_END_INTMAP()

    ScriptedKestrin() { ++ClientScript::alive; }
    ~ScriptedKestrin() override { --ClientScript::alive; }

    HRESULT SetPolicy(ZELK_IPolicy*) override { return S_OK; }
    HRESULT SetASC(ASC*) override { return S_OK; }
    HRESULT Get_Token(OctetString** key, OctetString** cert, OctetString** chain, OctetString** root) override
    {
        if (!ClientScript::identity)
            return E_FAIL;
        *key = Octets(MadeIdentity().key);
        *cert = Octets(MadeIdentity().cert);
        *chain = nullptr;
        *root = nullptr;
        return S_OK;
    }
    HRESULT Send_Init(const wchar_t*) override { return E_NOTIMPL; }
    HRESULT Send_Auth(const wchar_t*, const wchar_t*) override { return E_NOTIMPL; }
    HRESULT Send_Auth_SPNEGO(const char*) override { return E_NOTIMPL; }
    HRESULT Send_ServerPin() override { return E_NOTIMPL; }
    HRESULT Send_NewPin(const wchar_t*) override { return E_NOTIMPL; }
    HRESULT Send_DeleteSession(int) override { return S_OK; }
    HRESULT Send_NextCode(const wchar_t*) override { return E_NOTIMPL; }
    HRESULT Send_PKCS10() override { return E_NOTIMPL; }
    const wchar_t* GetString(unsigned) override { return L""; }
    QM_CLIENT_STATE GetState() override { return static_cast<QM_CLIENT_STATE>(0); }
    unsigned GetType() override { return 0; }
    HRESULT GetPinFormatInfo(int*, int*, signed char*) override { return E_NOTIMPL; }
    HRESULT SetKey(const KeyPair*) override { return E_NOTIMPL; }
    HRESULT CreateKey(unsigned long) override { return m_cancelled ? E_ABORT : ClientScript::key.load(); }
    HRESULT GetPKCS10(OctetString** request) override
    {
        *request = nullptr;
        if (ClientScript::noRequest)
            return S_OK;
        std::lock_guard<std::mutex> lock(ClientScript::Lock());
        *request = Octets(ClientScript::Pkcs10());
        return *request != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT CreatePKCS10(const char*, const char*) override
    {
        return m_cancelled ? E_ABORT : ClientScript::request.load();
    }
    HRESULT ImportPKCS7(const OctetString* reply) override
    {
        if (reply == nullptr)
            std::abort();
        return m_cancelled ? E_ABORT : ClientScript::import.load();
    }
    HRESULT SetSPNegoCB(IKestrin_SPNegoCB*) override { return S_OK; }
    HRESULT SetCertNameRequest(const char*) override { return S_OK; }
    HRESULT GetInputObjects(unsigned long, IKestrinInputField**) override { return E_NOTIMPL; }
    HRESULT Send_Auth() override { return E_NOTIMPL; }
    HRESULT Cancel() override
    {
        m_cancelled = true;
        return S_OK;
    }
    HRESULT SetClientConfig(IJsonObject*) override { return S_OK; }
    HRESULT GetProtocolVersion() override { return 3; }
    HRESULT SetClientCertTemplate(const unsigned char*, unsigned long) override { return S_OK; }

private:
    std::atomic<bool> m_cancelled {false};
};

inline CZELK_CLASS s_client(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, &CFactoryImpl<ScriptedKestrin>::New);

// A card whose token holds the identity's certificate and key, so that the
// profile list has a certificate beside the tokens.
inline bool InsertCard(ZELK::PSESVC::CTokenMgr* manager)
{
    const Identity& identity = MadeIdentity();
    const unsigned char* p = identity.key.data();
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(identity.key.size()));
    OctetString der {identity.cert.size(), const_cast<unsigned char*>(identity.cert.data())};
    void* decoded = nullptr;
    if (key == nullptr || SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&der, &decoded) != S_OK)
        return false;
    auto* cert = new kestrin::qevtest::FakeCertificateObject(static_cast<Certificate*>(decoded), "c1", "card identity");
    static_cast<Certificate*>(decoded)->Release();
    auto* privateKey = new kestrin::qevtest::FakePrivateKeyObject(key, "c1", "card identity");
    EVP_PKEY_free(key);
    privateKey->AddCertificate(cert);
    auto* token = new kestrin::qevtest::FakeToken("pkcs11:card", "card", "serial-2");
    auto* pin = new kestrin::qevtest::FakePIN("PIN", 1, "1234");
    token->AddPIN(pin);
    pin->Release();
    token->AddObject(privateKey);
    token->AddObject(cert);
    privateKey->Release();
    cert->Release();
    auto* slot = s_slots[std::size(kProfiles)] = new kestrin::qevtest::FakeSlot("card reader 1");
    slot->SetToken(token);
    token->Release();
    return manager->CardInsert(slot, false) == S_OK;
}

// Starts the runtime over the configuration, puts a token double in each
// profile's slot and inserts the card, once per process; the token manager and the slots stay.
inline void Setup()
{
    static const bool ready = [] {
        const std::string home = kestrin::fuzz::MakeTemporaryHome("facade");
        if (home.empty())
            return false;
        std::filesystem::create_directories(home + "/config/kestrin");
        std::filesystem::create_directories(home + "/system/kestrin");
        std::ofstream(home + "/config/kestrin/settings.plist") << kSettings;
        // OpenSSL stays up until the process ends, so that the crypto
        // library's own holders still find it when they go at exit.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        if (ZELK_Initialize() != S_OK)
            return false;
        kestrin::service::test::Dialogs::Reset();
        using ZELK::PSESVC::CTokenMgr;
        CTokenMgr::SetProfileTokenCreator(
            static_cast<ZELK::PSESVC::ProfileTokenCreator>(&ZELK::PSESVC::CToken_KV::New));
        CTokenMgr* manager = nullptr;
        if (CSingletonFactoryImpl<CTokenMgr>::New(&manager) != S_OK || manager == nullptr)
            return false;
        for (size_t i = 0; i < std::size(kProfiles); ++i) {
            const std::string uri = std::string("toksw:mem://kestrin/") + kProfiles[i];
            auto* slot = s_slots[i] = new kestrin::qevtest::FakeSlot(uri);
            auto* token = new kestrin::qevtest::FakeToken(uri, std::string("label of ") + kProfiles[i], "serial-1");
            auto* pin = new kestrin::qevtest::FakePIN("PIN", 1, "1234");
            token->AddPIN(pin);
            pin->Release();
            slot->SetToken(token);
            token->Release();
            if (manager->CardInsert(slot, false) != S_OK)
                return false;
        }
        return InsertCard(manager);
    }();
    if (!ready)
        std::abort();
}

// The facade singleton, one reference for the caller.
inline ZELK::PSESVC::CKVCAPIFacade* Facade()
{
    ZELK::PSESVC::CKVCAPIFacade* facade = nullptr;
    if (ZELK_CreateObject("zelk", ZELK::PSESVC::KVC_API_FACADE_CLASS, IID_CKVCAPIFacade,
                          reinterpret_cast<void**>(&facade))
            != S_OK
        || facade == nullptr)
        std::abort();
    return facade;
}

}  // namespace facade_fuzz
