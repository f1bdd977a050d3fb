// Certificate rules and application-policy patterns fed arbitrary bytes: the
// key-usage and extended-key-usage lists and the name rules go through the
// certificate filter over one fixed certificate, and target names and
// patterns through the search for the best application policy. The runtime,
// the string module and the crypto library's type tables are compiled in.
// Input: records of a kind byte, a two-byte length and that many bytes.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/applications.h"
#include "core/certificate_filter.h"
#include "model/model_owncerts.h"
#include "qev_tables.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_resloader.h"
#include "zelk_strings.h"

ZELK_RESLOADER_CLIENT_BINDING();

namespace ZELK::PSESVC {

HRESULT CModelOwnCertsBase::FindToken(const char*, CToken** out)
{
    *out = nullptr;
    return S_FALSE;
}

}  // namespace ZELK::PSESVC

namespace {

using namespace ZELK::PSESVC;

// An EC certificate with key usage (digitalSignature, keyEncipherment) and
// extended key usage (clientAuth, EFS recovery).
const unsigned char kCertificate[] = {
    0x30, 0x82, 0x01, 0xdb, 0x30, 0x82, 0x01, 0x82, 0xa0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x14, 0x4c, 0x6b, 0x4d, 0x63,
    0x23, 0xfe, 0x69, 0x24, 0xf5, 0x82, 0xf6, 0xaa, 0x0c, 0x94, 0xd4, 0xe9, 0x01, 0x66, 0x24, 0x3b, 0x30, 0x0a, 0x06,
    0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02, 0x30, 0x2b, 0x31, 0x15, 0x30, 0x13, 0x06, 0x03, 0x55, 0x04,
    0x0a, 0x0c, 0x0c, 0x4b, 0x65, 0x73, 0x74, 0x72, 0x69, 0x6e, 0x20, 0x46, 0x75, 0x7a, 0x7a, 0x31, 0x12, 0x30, 0x10,
    0x06, 0x03, 0x55, 0x04, 0x03, 0x0c, 0x09, 0x46, 0x75, 0x7a, 0x7a, 0x20, 0x4c, 0x65, 0x61, 0x66, 0x30, 0x1e, 0x17,
    0x0d, 0x32, 0x36, 0x31, 0x32, 0x31, 0x30, 0x32, 0x30, 0x35, 0x39, 0x33, 0x34, 0x5a, 0x17, 0x0d, 0x33, 0x36, 0x31,
    0x32, 0x30, 0x37, 0x32, 0x30, 0x35, 0x39, 0x33, 0x34, 0x5a, 0x30, 0x2b, 0x31, 0x15, 0x30, 0x13, 0x06, 0x03, 0x55,
    0x04, 0x0a, 0x0c, 0x0c, 0x4b, 0x65, 0x73, 0x74, 0x72, 0x69, 0x6e, 0x20, 0x46, 0x75, 0x7a, 0x7a, 0x31, 0x12, 0x30,
    0x10, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0c, 0x09, 0x46, 0x75, 0x7a, 0x7a, 0x20, 0x4c, 0x65, 0x61, 0x66, 0x30, 0x59,
    0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03,
    0x01, 0x07, 0x03, 0x42, 0x00, 0x04, 0xdc, 0x39, 0x5c, 0x07, 0x71, 0x03, 0xe9, 0x81, 0xb6, 0xd3, 0x9d, 0xcd, 0x5d,
    0x6b, 0xb6, 0x10, 0x5f, 0x7a, 0xb0, 0x8f, 0xe9, 0xae, 0x4a, 0x95, 0x19, 0x25, 0x61, 0x47, 0x03, 0xe7, 0x95, 0xc4,
    0xb7, 0x61, 0x08, 0x73, 0x68, 0x4b, 0xe0, 0x3d, 0x9c, 0x6c, 0x3b, 0x83, 0xf6, 0xf9, 0x37, 0xbd, 0xe4, 0xfc, 0x06,
    0xc1, 0x5e, 0xc4, 0x8d, 0xcf, 0x0a, 0x0c, 0x2c, 0x9f, 0x1d, 0x4c, 0x98, 0x01, 0xa3, 0x81, 0x83, 0x30, 0x81, 0x80,
    0x30, 0x1d, 0x06, 0x03, 0x55, 0x1d, 0x0e, 0x04, 0x16, 0x04, 0x14, 0x12, 0x77, 0x6f, 0x8a, 0xc4, 0x9f, 0x8c, 0x6e,
    0xd7, 0xd5, 0xaf, 0x93, 0x57, 0x49, 0x6d, 0x73, 0xf0, 0xe3, 0x63, 0x26, 0x30, 0x1f, 0x06, 0x03, 0x55, 0x1d, 0x23,
    0x04, 0x18, 0x30, 0x16, 0x80, 0x14, 0x12, 0x77, 0x6f, 0x8a, 0xc4, 0x9f, 0x8c, 0x6e, 0xd7, 0xd5, 0xaf, 0x93, 0x57,
    0x49, 0x6d, 0x73, 0xf0, 0xe3, 0x63, 0x26, 0x30, 0x0f, 0x06, 0x03, 0x55, 0x1d, 0x13, 0x01, 0x01, 0xff, 0x04, 0x05,
    0x30, 0x03, 0x01, 0x01, 0xff, 0x30, 0x0b, 0x06, 0x03, 0x55, 0x1d, 0x0f, 0x04, 0x04, 0x03, 0x02, 0x05, 0xa0, 0x30,
    0x20, 0x06, 0x03, 0x55, 0x1d, 0x25, 0x04, 0x19, 0x30, 0x17, 0x06, 0x08, 0x2b, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03,
    0x02, 0x06, 0x0b, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x0a, 0x03, 0x04, 0x01, 0x30, 0x0a, 0x06, 0x08, 0x2a,
    0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02, 0x03, 0x47, 0x00, 0x30, 0x44, 0x02, 0x20, 0x64, 0x6c, 0x2d, 0x60, 0xf4,
    0x92, 0x6f, 0xcd, 0xfe, 0x53, 0x90, 0x28, 0x19, 0x0f, 0x77, 0x19, 0x20, 0xe8, 0xf7, 0x2a, 0x67, 0xc1, 0x1f, 0x1c,
    0x02, 0xd1, 0xfd, 0x47, 0x52, 0x9c, 0x4c, 0x0a, 0x02, 0x20, 0x79, 0xf2, 0x98, 0xf2, 0x8b, 0xa9, 0x3b, 0x85, 0x0a,
    0xe3, 0xd4, 0xdb, 0xcc, 0xee, 0x68, 0x8e, 0x08, 0x6b, 0x5c, 0x2a, 0x43, 0x21, 0xfd, 0x07, 0x8b, 0x29, 0xff, 0xb3,
    0x2d, 0xb3, 0xb6, 0xb1,
};

// A policy of named texts and, for a list, its entries as sub-keys.
class MemPolicy : public ZELK_IPolicy, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(MemPolicy)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy)
    ZELK_END_INTMAP()

    ~MemPolicy()
    {
        for (ZELK_IPolicy* entry : entries)
            entry->Release();
    }

    std::map<std::string, std::string> texts;
    std::vector<ZELK_IPolicy*> entries;

    const char* GetName() override { return "e"; }
    const char* GetPath() override { return "applications/e"; }
    int Bind(const char*) override { return E_NOTIMPL; }
    int Bind(const char*, signed char) override { return E_NOTIMPL; }
    bool IsConfigured(const char* name) override { return texts.count(name) != 0; }
    int EnumSubKey(long, char*, long) override { return 1; }
    int CreateSubKey(const char*, signed char, ZELK_IPolicy**) override { return E_NOTIMPL; }
    int OpenSubKey(long index, ZELK_IPolicy** out) override
    {
        if (index < 0 || static_cast<size_t>(index) >= entries.size())
            return E_FAIL;
        *out = entries[index];
        (*out)->AddRef();
        return S_OK;
    }
    bool IsChild(const char*) override { return false; }
    int OpenChild(const char*, unsigned, ZELK_IPolicy**) override { return E_NOTIMPL; }
    bool IsChangeable(const char*) override { return false; }
    bool IsFromPolicy(const char*) override { return true; }
    int GetString(const char* name, char** value) override
    {
        auto it = texts.find(name);
        return it == texts.end() ? E_FAIL : String_Copy(it->second.c_str(), value);
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

MemPolicy* NewPolicy()
{
    CComObject<MemPolicy>* policy = nullptr;
    CComObject<MemPolicy>::CreateInstance(&policy);
    policy->AddRef();
    return policy;
}

Certificate* Bind()
{
    static SEC_FUNCTION_LIST list = {};
    list.malloc = &std::malloc;
    list.calloc = &std::calloc;
    list.realloc = &std::realloc;
    list.free = &std::free;
    sdk_f_list = &list;
    fptr__common_types = qev_find_table("SEC_COMMONTYPES_1");
    if (fptr__common_types == nullptr || CZELK_API::GetAPI(ZELK_STRING_API, &STRING_TABLE) != S_OK
        || CZELK_API::GetAPI(ZELK_STRINGW_API, &STRINGW_TABLE) != S_OK
        || CZELK_API::GetAPI(ZELK_MULTISTRING_API, &MULTISTRING_TABLE) != S_OK
        || CZELK_API::GetAPI(ZELK_MULTISTRINGW_API, &MULTISTRINGW_TABLE) != S_OK)
        return nullptr;
    OctetString der {sizeof kCertificate, const_cast<unsigned char*>(kCertificate)};
    void* certificate = nullptr;
    if (FAILED(SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&der, &certificate)))
        return nullptr;
    return static_cast<Certificate*>(certificate);
}

const char* const kRules[] = {"CAPIFilterKeyUsage",  "CAPIFilterExtendedKeyUsage", "CAPIFilterIssuerDN",
                              "CAPIFilterSubjectDN", "CAPIFilterExcludeIssuerDN",  "CAPIFilterExcludeSubjectDN"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Certificate* certificate = Bind();
    if (certificate == nullptr)
        abort();
    MemPolicy* rules = NewPolicy();
    MemPolicy* list = NewPolicy();
    std::string target;
    while (size >= 3) {
        uint8_t kind = data[0];
        size_t length = (size_t {data[1]} << 8) | data[2];
        data += 3;
        size -= 3;
        if (length > size)
            length = size;
        // Texts end at their first NUL, as every caller hands them.
        std::string text(std::string(reinterpret_cast<const char*>(data), length).c_str());
        data += length;
        size -= length;
        switch (kind % 9) {
        case 0:
            target = text;
            break;
        case 1:
        case 2: {  // an application policy with a pattern, or with the older name only
            MemPolicy* entry = NewPolicy();
            entry->texts[kind % 9 == 1 ? "GssTargetName" : "PSEUri"] = text;
            list->entries.push_back(entry);
            break;
        }
        default:
            rules->texts[kRules[kind % 9 - 3]] = text;
            break;
        }
    }
    CCertificateFilter* filter = nullptr;
    if (CCertificateFilter::New(&filter) == S_OK) {
        filter->SetPolicy(rules);
        filter->Match(certificate, nullptr);
        filter->Release();
    }
    CComObject<CApplications>* applications = nullptr;
    CComObject<CApplications>::CreateInstance(&applications);
    static_cast<IUnknown*>(applications)->AddRef();
    ZELK_IPolicy* best = nullptr;
    unsigned quality = 0;
    applications->GetApplPolicyByGssTargetName(target.c_str(), list, &best, &quality);
    if ((best == nullptr) != (quality == 0))
        abort();
    if (best)
        best->Release();
    static_cast<IUnknown*>(applications)->Release();
    rules->Release();
    list->Release();
    return 0;
}
