// Link-time stand-in for the Kerberos token: a new token for every request,
// tickets for any principal, and the re-authentication verb's scripted answer.
#include "fake_kerberos.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "tokens/token_kerberos.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_object.h"

namespace kestrin::service::test {
namespace {

std::mutex s_mutex;
std::vector<std::string> s_calls;
bool s_enabled = true;
HRESULT s_ticketResult = S_OK;
HRESULT s_reauthResult = S_OK;

void Record(const std::string& call)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_calls.push_back(call);
}

OctetString* NewOctets(const char* text)
{
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString);
    OctetString source {std::strlen(text), reinterpret_cast<unsigned char*>(const_cast<char*>(text))};
    void* copy = nullptr;
    table->copy(&source, &copy);
    return static_cast<OctetString*>(copy);
}

class ScriptedKerberos : public ZELK::PSESVC::CToken_Kerberos {
public:
    ZELK_BEGIN_INTMAP(ScriptedKerberos)
    ZELK_INTMAP_ENTRY_CLASS(IID_CToken_Kerberos)
    ZELK_END_INTMAP()

    // The verb runs nowhere: its name is recorded and the script answers.
    HRESULT DoVerb(ZELK::PSESVC::IGUIVerb* verb) override
    {
        Record(verb->GetVerbName());
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_reauthResult;
    }
    HRESULT Impersonate_End(bool) override
    {
        Record("impersonate end");
        return S_OK;
    }
};

}  // namespace

void FakeKerberos::Reset()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_calls.clear();
    s_enabled = true;
    s_ticketResult = S_OK;
    s_reauthResult = S_OK;
}

void FakeKerberos::Enabled(bool on)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_enabled = on;
}

void FakeKerberos::TicketResult(HRESULT result)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_ticketResult = result;
}

void FakeKerberos::ReauthResult(HRESULT result)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_reauthResult = result;
}

std::vector<std::string> FakeKerberos::Calls()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_calls;
}

size_t FakeKerberos::Count(const std::string& call)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return static_cast<size_t>(std::count(s_calls.begin(), s_calls.end(), call));
}

}  // namespace kestrin::service::test

namespace ZELK::PSESVC {

using kestrin::service::test::Record;

CToken_Kerberos::CToken_Kerberos()
{
    InitVerbs();
}

CToken_Kerberos::~CToken_Kerberos() = default;

HRESULT CToken_Kerberos::InitVerbs()
{
    static const VerbTableRow<CToken_Kerberos> s_aVerbs[] = {
        {"verb.reauth", 0x10, &CToken_Kerberos::Reauth},
        {nullptr, 0, nullptr},
    };
    return CreateVerbs(this, s_aVerbs);
}

HRESULT CToken_Kerberos::Refresh()
{
    return S_OK;
}

HRESULT CToken_Kerberos::Reauth(ICredUI* dialog)
{
    return CKerberos::Reauth(dialog);
}

HRESULT CToken_Kerberos::New(const GUID& iid, void** out)
{
    *out = nullptr;
    {
        std::lock_guard<std::mutex> lock(kestrin::service::test::s_mutex);
        if (!kestrin::service::test::s_enabled)
            return E_NOTIMPL;
    }
    CComObject<kestrin::service::test::ScriptedKerberos>* token = nullptr;
    HRESULT hr = CComObject<kestrin::service::test::ScriptedKerberos>::CreateInstance(&token);
    if (FAILED(hr))
        return hr;
    token->AddRef();
    hr = token->QueryInterface(iid, out);
    token->Release();
    return hr;
}

HRESULT CToken_Kerberos::New(CToken_Kerberos** out)
{
    return New(IID_CToken_Kerberos, reinterpret_cast<void**>(out));
}

HRESULT CToken_Kerberos::CreateTicket(const char* principal, OctetString** ticket, OctetString** sessionKey,
                                      KerberosAlgorithmIdentifier* algorithm)
{
    Record(std::string("ticket ") + (principal != nullptr ? principal : ""));
    HRESULT result = S_OK;
    {
        std::lock_guard<std::mutex> lock(kestrin::service::test::s_mutex);
        result = kestrin::service::test::s_ticketResult;
    }
    if (FAILED(result))
        return result;
    *ticket = kestrin::service::test::NewOctets(kestrin::service::test::kFakeTicket);
    *sessionKey = kestrin::service::test::NewOctets(kestrin::service::test::kFakeSessionKey);
    *algorithm = kestrin::service::test::kFakeKeyAlgorithm;
    return S_OK;
}

}  // namespace ZELK::PSESVC
