// Group-list replies into the policy-server settings: a status line and a
// body through a scripted URL connection into GetPolicyGroups, then a group
// chosen by the input into SetPolicyGroup. The names form a well-made
// multi-string, an error status or a reply that is no JSON object leaves no
// valid list. Input: one selector byte, the status line up to the first
// newline, the body. The runtime loads the crypto library (URL splitter) and
// the base module (JSON) from the build's lib folder.
#include <stdlib.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_home.h"
#include "model/model_cfg_policy.h"
#include "pse_factory.h"
#include "qev_ssl.h"
#include "zelk_alloc.h"
#include "zelk_module.h"

namespace {

using namespace ZELK::PSESVC;

std::string s_status;
std::string s_body;

// One reference count for the scripted objects.
template <class I>
class Counted : public I {
public:
    HRESULT QueryInterface(const GUID&, void** out) override
    {
        if (out != nullptr)
            *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return ++m_refs; }
    long Release() override
    {
        const long left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT cpy(I** out) override
    {
        AddRef();
        *out = this;
        return S_OK;
    }
    int cmp(const I* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

protected:
    virtual ~Counted() = default;

private:
    std::atomic<long> m_refs {1};
};

class ScriptedConnection final : public Counted<url_connection> {
public:
    const char* getType() override { return "url_connection"; }
    HRESULT setNameChecks(unsigned int) override { return S_OK; }
    HRESULT open(const char* url, const char*) override
    {
        if (url == nullptr || std::strstr(url, CFGPOLICY_GROUPS_PATH) == nullptr)
            std::abort();
        return S_OK;
    }
    HRESULT addRequestHeader(const char*, const char*) override { return S_OK; }
    HRESULT setRequestHeader(const char*, const char*) override { return S_OK; }
    HRESULT setProxy(const char*, const char*, unsigned long, unsigned long) override { return S_OK; }
    HRESULT getHost(SET_OF_String**) override { return E_NOTIMPL; }
    HRESULT sendRequest(const OctetString* body, OctetString** response) override
    {
        if (body != nullptr || response == nullptr)
            std::abort();
        auto* out = static_cast<OctetString*>(sec_calloc(1, sizeof(OctetString)));
        if (out == nullptr)
            return E_OUTOFMEMORY;
        out->length = s_body.size();
        out->data = static_cast<unsigned char*>(sec_malloc(s_body.size() + 1));
        if (out->data == nullptr) {
            sec_free(out);
            return E_OUTOFMEMORY;
        }
        std::memcpy(out->data, s_body.data(), s_body.size());
        *response = out;
        m_sent = true;
        return S_OK;
    }
    const char* getStatusLine() override { return m_sent ? s_status.c_str() : nullptr; }
    const char* const* getResponseHeaderLines(unsigned long* count) override
    {
        *count = 0;
        return nullptr;
    }
    const char* getResponseHeader(const char*) override { return nullptr; }

private:
    bool m_sent = false;
};

class ScriptedUrlContext final : public Counted<url_context> {
public:
    const char* getType() override { return "url_context"; }
    HRESULT setTimeout(unsigned long, unsigned long) override { return S_OK; }
    HRESULT createConnection(url_connection** out, unsigned long) override
    {
        *out = new ScriptedConnection();
        return S_OK;
    }
};

class ScriptedAsc final : public Counted<ASC> {
public:
    const char* getType() override { return "ASC"; }
    HRESULT getPSE(PSE**) override { return E_NOTIMPL; }
    HRESULT getOwnPSE(PSE**) override { return E_NOTIMPL; }
    HRESULT getCertDB(void*) override { return E_NOTIMPL; }
    HRESULT getVerificationContext(void*) override { return E_NOTIMPL; }
    HRESULT createURLContext(url_context** out) override
    {
        *out = new ScriptedUrlContext();
        return S_OK;
    }
    HRESULT getSSLContext(ssl_context**) override { return E_NOTIMPL; }
};

void StartRuntime()
{
    static const bool started = [] {
        const std::string home = kestrin::fuzz::MakeTemporaryHome("cfgpolicy");
        if (home.empty())
            return false;
        return ZELK_Initialize() == S_OK;
    }();
    if (!started)
        std::abort();
}

std::vector<std::string> Names(const char* multi)
{
    std::vector<std::string> out;
    for (const char* p = multi; p != nullptr && *p != '\0'; p += std::strlen(p) + 1)
        out.emplace_back(p);
    return out;
}

}  // namespace

namespace ZELK::PSESVC {

HRESULT CPSEFactory::GetASC(ASC** out)
{
    *out = new ScriptedAsc();
    return S_OK;
}

}  // namespace ZELK::PSESVC

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    StartRuntime();
    if (size < 1)
        return 0;
    const uint8_t selector = data[0];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t newline = rest.find('\n');
    s_status = rest.substr(0, newline);
    s_body = newline == std::string::npos ? std::string() : rest.substr(newline + 1);

    // A model of its own per input, so that the texts it keeps go with it.
    CComObject<CModelCfgPolicy>* model = nullptr;
    if (CComObject<CModelCfgPolicy>::CreateInstance(&model) != S_OK)
        std::abort();
    model->AddRef();
    model->Initialize();
    model->SetPolicyHost("fuzz.invalid:8443");
    const char* list = model->GetPolicyGroups();
    const std::vector<std::string> names = Names(list);
    if (list != nullptr && (names.empty() || Names(model->GetString(CFGPOLICY_GROUP_NAMES)) != names))
        std::abort();
    if (std::strcmp(model->GetPolicyHost(), "https://fuzz.invalid:8443") != 0)
        std::abort();
    const bool ok = s_status.compare(0, 3, "200") == 0;
    if (!ok && (list != nullptr || model->GetDWORD(CFGPOLICY_STATUS) != 0xA2500202u))
        std::abort();
    if (list != nullptr && model->GetDWORD(CFGPOLICY_STATUS) != 0)
        std::abort();

    // A listed group, or the body's first text as a name the reply may lack.
    const std::string chosen = names.empty() ? s_body.substr(0, s_body.find('\0')) : names[selector % names.size()];
    model->SetPolicyGroup(chosen.c_str());
    if (model->GetPolicyGroup() == nullptr ? !chosen.empty() : chosen != model->GetPolicyGroup())
        std::abort();
    model->SetPolicyGroup(nullptr);

    model->Finalize();
    model->Release();
    return 0;
}
