// Token rows fed arbitrary token names, "EnrollURL0" values and slot names:
// the names are parsed, the rows composed and the enrolment host split
// within the texts' bounds. The runtime, the string module and the crypto
// library's URL table are compiled in; texts of bundle "zelkgui" fall back
// to their defaults. Input: records of a kind byte, a two-byte length and
// that many bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_records.h"
#include "model/model_owncerts.h"
#include "model/model_tokens.h"
#include "qev_tables.h"
#include "qev_url.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_resloader.h"
#include "zelk_strings.h"

// Never bound here: every text falls back to its default.
ZELK_RESLOADER_CLIENT_BINDING();

namespace ZELK::PSESVC {

// No token manager here: rows keep their own verb only.
HRESULT CModelOwnCertsBase::FindToken(const char*, CToken** out)
{
    *out = nullptr;
    return S_FALSE;
}

}  // namespace ZELK::PSESVC

namespace {

using namespace ZELK::PSESVC;

// A profile policy whose only value is the enrolment URL.
class UrlPolicy : public ZELK_IPolicy, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(UrlPolicy)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy)
    ZELK_END_INTMAP()

    std::string url;

    const char* GetName() override { return "p"; }
    const char* GetPath() override { return "profiles/p"; }
    int Bind(const char*) override { return E_NOTIMPL; }
    int Bind(const char*, signed char) override { return E_NOTIMPL; }
    bool IsConfigured(const char* name) override { return std::string(name) == "EnrollURL0"; }
    int EnumSubKey(long, char*, long) override { return 1; }
    int CreateSubKey(const char*, signed char, ZELK_IPolicy**) override { return E_NOTIMPL; }
    int OpenSubKey(long, ZELK_IPolicy**) override { return E_NOTIMPL; }
    bool IsChild(const char*) override { return false; }
    int OpenChild(const char*, unsigned, ZELK_IPolicy**) override { return E_NOTIMPL; }
    bool IsChangeable(const char*) override { return false; }
    bool IsFromPolicy(const char*) override { return true; }
    int GetString(const char* name, char** value) override
    {
        if (!IsConfigured(name))
            return E_FAIL;
        return String_Copy(url.c_str(), value);
    }
    unsigned GetDWORD(const char*) override { return 0; }
    int GetBinary(const char*, OctetString**) override { return E_NOTIMPL; }
    int SetString(const char*, const char*) override { return E_NOTIMPL; }
    int SetDWORD(const char*, unsigned) override { return E_NOTIMPL; }
    int SetBinary(const char*, OctetString*) override { return E_NOTIMPL; }
    int DeleteSubkey(const char*) override { return E_NOTIMPL; }
    int SetConfigPath(const char*) override { return E_NOTIMPL; }
    int RegisterCallback(ZELK::ISignal*) override { return E_NOTIMPL; }
};

bool Bind()
{
    static SEC_FUNCTION_LIST list = {};
    list.malloc = &std::malloc;
    list.calloc = &std::calloc;
    list.realloc = &std::realloc;
    list.free = &std::free;
    sdk_f_list = &list;
    return CZELK_API::GetAPI(ZELK_STRING_API, &STRING_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_STRINGW_API, &STRINGW_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_MULTISTRING_API, &MULTISTRING_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_MULTISTRINGW_API, &MULTISTRINGW_TABLE) == S_OK
           && (CModelToken::s_urlTable = qev_find_table(SEC_URL_API)) != nullptr;
}

void ReadRow(IGUIModelItem* item)
{
    IGUIItem_Icon icon = ICON_NONE;
    char* text = nullptr;
    item->GetItemInfo(&icon, &text);
    sec_free(text);
    item->ItemGetKey();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool bound = Bind();
    if (!bound)
        abort();
    CComObject<CModelToken>* token = nullptr;
    CComObject<CModelToken>::CreateInstance(&token);
    static_cast<IGUIModelToken*>(token)->AddRef();
    CComObject<UrlPolicy>* policy = nullptr;
    CComObject<UrlPolicy>::CreateInstance(&policy);
    policy->AddRef();
    kestrin::fuzz::Record record;
    while (kestrin::fuzz::NextRecord(data, size, record)) {
        const uint8_t kind = record.kind;
        const std::string& bytes = record.bytes;
        // Texts end at their first NUL, as every caller hands them.
        const std::string text(bytes.c_str());
        switch (kind % 3) {
        case 0:  // a token name, and the row's kind from the kind byte
            token->SetTokenName(text.c_str());
            token->SetTokenType(static_cast<IGUIModelToken_Type>((kind >> 2) % 9 - 1));
            break;
        case 1: {  // an enrolment URL of the row's profile
            policy->url = text;
            token->SetKVSPolicy(policy);
            char* host = nullptr;
            token->GetKVSHost(&host);
            sec_free(host);
            break;
        }
        default: {  // a slot name of an own certificate without certificate
            CModelOwnCert* own = nullptr;
            if (CModelOwnCert::New(nullptr, text.c_str(), &own) == S_OK) {
                ReadRow(static_cast<IGUIModelOwnCert*>(own));
                own->GetURI();
                static_cast<IGUIModelOwnCert*>(own)->Release();
            }
            break;
        }
        }
        ReadRow(token);
        token->GetProfileName();
        token->GetPolicyGroup();
    }
    static_cast<IGUIModelToken*>(token)->Release();
    policy->Release();
    return 0;
}
