// The real web adapter facade for the fuzz targets: the real token manager
// with four enrolment profiles of a temporary configuration, each profile
// token on a token double of the crypto library's test doubles, scripted
// credential dialogs, and a scripted enrolment client whose answers the input
// sets. The runtime loads the crypto library and the base modules from the
// build's lib folder.
#pragma once

#include <openssl/crypto.h>
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
// The profiles' slots, kept for the process (found here at exit, not lost).
inline kestrin::qevtest::FakeSlot* s_slots[std::size(kProfiles)] = {};

// What the scripted enrolment clients answer; set by the input.
struct ClientScript {
    static inline std::atomic<HRESULT> key {S_OK};
    static inline std::atomic<HRESULT> request {S_OK};
    static inline std::atomic<HRESULT> import {S_OK};
    // GetPKCS10 hands out no request at all.
    static inline std::atomic<bool> noRequest {false};
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
    // No identity: a login from this client installs nothing.
    HRESULT Get_Token(OctetString**, OctetString**, OctetString**, OctetString**) override { return E_FAIL; }
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
        std::vector<unsigned char>& bytes = ClientScript::Pkcs10();
        OctetString view {bytes.size(), bytes.data()};
        void* copy = nullptr;
        HRESULT hr = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString)->copy(&view, &copy);
        *request = static_cast<OctetString*>(copy);
        return hr;
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

// Starts the runtime over the configuration and puts a token double in each
// profile's slot, once per process; the token manager and the slots stay.
inline void Setup()
{
    static const bool ready = [] {
        char folder[] = "/tmp/kestrin-fuzz-facade-XXXXXX";
        if (mkdtemp(folder) == nullptr)
            return false;
        static const std::string home = folder;
        std::atexit([] { std::filesystem::remove_all(home); });
        setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (home + "/system").c_str(), 1);
        setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
        setenv("KRB5CCNAME", ("FILE:" + home + "/no-tickets").c_str(), 1);
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
        return true;
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
