// A PSE provider module for the tests of HTTPS: its PSE's trusted list is
// the DER certificate files named, ":"-separated, by QEV_TRUSTPSE_FILES, read
// through the library's certificate type on each call. Everything else
// answers 0x80000001.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "qev_pse.h"
#include "qev_values.h"

namespace {

SEC_FUNCTION_LIST* s_list = nullptr;

HRESULT ReadTrustedList(SET_OF_Certificate** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    API_COMMON* types = nullptr;
    const char* files = std::getenv("QEV_TRUSTPSE_FILES");
    if (s_list == nullptr || files == nullptr || s_list->get_api(nullptr, "SEC_COMMONTYPES_1", &types) != S_OK)
        return S_OK;
    const SEC_TYPE_TABLE* certificate = SEC_TypeTable(types, SEC_TYPE_Certificate);
    const SEC_TYPE_TABLE* list = SEC_TypeTable(types, SEC_TYPE_SET_OF_Certificate);
    std::stringstream names(files);
    std::string name;
    // Nodes come from the list type, newest first: the files' order is kept
    // by adding them from the last.
    std::vector<std::string> all;
    while (std::getline(names, name, ':'))
        all.push_back(name);
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        std::ifstream in(*it, std::ios::binary);
        std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        OctetString bytes {der.size(), der.data()};
        void* cert = nullptr;
        if (der.empty() || certificate->decode(&bytes, &cert) != S_OK)
            continue;
        void* cursor = *out;
        if (list->new_node(&cursor) != S_OK) {
            certificate->free(cert);
            break;
        }
        *out = static_cast<SET_OF_Certificate*>(cursor);
        (*out)->element = static_cast<Certificate*>(cert);
    }
    s_list->release_api(&types);
    return S_OK;
}

class TrustPse final : public PSE {
public:
    HRESULT QueryInterface(const GUID&, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return ++m_refs; }
    long Release() override
    {
        long n = --m_refs;
        if (n == 0)
            delete this;
        return n;
    }
    const char* getType() override { return "trustpse"; }
    HRESULT cpy(PSE**) override { return E_NOTIMPL; }
    int cmp(const PSE* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT getOwnCertificate(const History*, SECAttribute*, SET_OF_PersonalCertificateInfo**) override
    {
        return E_NOTIMPL;
    }
    HRESULT encryptDigest(const History*, SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                          unsigned long*) override
    {
        return E_NOTIMPL;
    }
    HRESULT decryptKey(const History*, SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                       unsigned long*) override
    {
        return E_NOTIMPL;
    }
    HRESULT searchCertificate(SECAttribute*, SET_OF_Certificate**) override { return E_NOTIMPL; }
    HRESULT readApplObject(const char*, OctetString**) override { return E_NOTIMPL; }
    HRESULT writeApplObject(const char*, OctetString*) override { return E_NOTIMPL; }
    HRESULT listApplObjects(SET_OF_String**) override { return E_NOTIMPL; }
    HRESULT getPrivateKey(const char*, const char*, TokenObjectPrivateKey**) override { return E_NOTIMPL; }
    HRESULT getCertificate(const char*, const char*, const char*, TokenObjectCertificate**) override
    {
        return E_NOTIMPL;
    }
    HRESULT searchSlotInfos(SET_OF_SecSlotInfo**) override { return E_NOTIMPL; }
    HRESULT writeSlotInfos(SET_OF_SecSlotInfo*) override { return E_NOTIMPL; }
    HRESULT readSlotInfos(SET_OF_SecSlotInfo**) override { return E_NOTIMPL; }
    HRESULT getSlotByName(SecSlot**, const char*, unsigned char) override { return E_NOTIMPL; }
    HRESULT getSlots(SecSlot**, unsigned long*) override { return E_NOTIMPL; }
    HRESULT getTokenByName(SecToken**, const char*, unsigned char) override { return E_NOTIMPL; }
    HRESULT getSlotEvents(SecSlotEvents**) override { return E_NOTIMPL; }
    HRESULT isInTrustedCerts(const Certificate*) override { return E_NOTIMPL; }
    HRESULT getAllTrustedCerts(SET_OF_Certificate**) override { return E_NOTIMPL; }
    HRESULT getTrustedCertList(SET_OF_Certificate** out) override { return ReadTrustedList(out); }
    HRESULT addTrustedCertListItem(const Certificate*) override { return E_NOTIMPL; }
    HRESULT deleteTrustedCertListItem(const DName*, unsigned long) override { return E_NOTIMPL; }
    HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo**) override { return E_NOTIMPL; }
    HRESULT addCertInfoListItem(const PersonalCertificateInfo*) override { return E_NOTIMPL; }
    HRESULT deleteCertInfoListItem(const char*, const char*, const char*, unsigned long) override { return E_NOTIMPL; }
    HRESULT getPasswordList(SET_OF_PIN_Info**) override { return E_NOTIMPL; }
    HRESULT addPasswordListItem(const char*, const char*, const char*, const char*, const char*) override
    {
        return E_NOTIMPL;
    }
    HRESULT deletePasswordListItem(const char*, const char*, const char*, const char*, const char*,
                                   unsigned long) override
    {
        return E_NOTIMPL;
    }
    HRESULT releaseTokenCache(const char*) override { return E_NOTIMPL; }
    HRESULT getPseFileName(const char**) override { return E_NOTIMPL; }
    HRESULT cred_list(SET_OF_String**) override { return E_NOTIMPL; }
    HRESULT cred_getParameters(const char*, CredType*, unsigned char*, unsigned long*) override { return E_NOTIMPL; }
    HRESULT cred_initCredUpdate() override { return E_NOTIMPL; }
    HRESULT loginBySystemParameters(const char*) override { return E_NOTIMPL; }
    HRESULT loginWithPassword(const char*, const unsigned char*, unsigned long) override { return E_NOTIMPL; }
    HRESULT cred_delete(const char*) override { return E_NOTIMPL; }
    HRESULT cred_addPassword(const char*, const unsigned char*, unsigned long, const unsigned char*,
                             unsigned long) override
    {
        return E_NOTIMPL;
    }
    HRESULT cred_addSystemParameters(const char*, const char*) override { return E_NOTIMPL; }
    HRESULT cred_change(const char*, const unsigned char*, unsigned long, const char*, unsigned long) override
    {
        return E_NOTIMPL;
    }
    HRESULT cred_finalCredUpdate() override { return E_NOTIMPL; }
    HRESULT control(SECAttribute*, SECAttribute*) override { return E_NOTIMPL; }

private:
    ~TrustPse() = default;
    long m_refs = 1;
};

HRESULT trustpse_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "SEC_PSE_1";
    if (module)
        *module = "qevtrustpse";
    if (description)
        *description = "test provider with a trusted list";
    return S_OK;
}

HRESULT trustpse_create_PSE(PSE** out, ASC*, SECAttribute*)
{
    if (out == nullptr)
        return E_POINTER;
    *out = new TrustPse();
    return S_OK;
}

SEC_PSE_TABLE s_pseTable = {{&trustpse_info}, &trustpse_create_PSE, nullptr, nullptr};

HRESULT get_api(const char*, const char* api, API_COMMON** out)
{
    if (api == nullptr || out == nullptr)
        return ZELK_E_API_NOARG;
    *out = std::strcmp(api, "SEC_PSE_1") == 0 ? &s_pseTable : nullptr;
    return *out != nullptr ? S_OK : ZELK_E_API_NOTFOUND;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT module_init(SEC_FUNCTION_LIST* list,
                                                                      MODULE_GET_API_FN* getter, void*, void*)
{
    s_list = list;
    if (getter)
        *getter = &get_api;
    return S_OK;
}
