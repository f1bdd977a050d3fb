// A PSE provider module for the tests of security contexts: its "SEC_PSE_1"
// makes a PSE that answers its type and counts the live ones; "rawpse.1"
// reports that count and the context and provider the last creation saw. A
// chain that carries attribute kRefuseAttribute makes creation fail.
#include <cstring>

#include "qev_pse.h"
#include "raw_pse.h"

namespace {

int s_live = 0;
ASC* s_lastAsc = nullptr;
char s_lastProvider[64];

class RawPse final : public PSE {
public:
    RawPse() { ++s_live; }

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
    const char* getType() override { return RAW_PSE_TYPE; }
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
    HRESULT getTrustedCertList(SET_OF_Certificate**) override { return E_NOTIMPL; }
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
    ~RawPse() override { --s_live; }
    long m_refs = 1;
};

HRESULT rawpse_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "SEC_PSE_1";
    if (module)
        *module = "qevrawpse";
    if (description)
        *description = "test provider";
    return S_OK;
}

HRESULT rawpse_create_PSE(PSE** out, ASC* asc, SECAttribute* chain)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    s_lastAsc = asc;
    s_lastProvider[0] = 0;
    for (SECAttribute* a = chain; a != nullptr; a = a->next) {
        if (a->id == RAW_PSE_REFUSE_ATTRIBUTE)
            return E_ACCESSDENIED;
        if (a->id == 1 && a->value != nullptr && s_lastProvider[0] == 0) {
            std::strncpy(s_lastProvider, static_cast<const char*>(a->value), sizeof s_lastProvider - 1);
            s_lastProvider[sizeof s_lastProvider - 1] = 0;
        }
    }
    *out = new RawPse();
    return S_OK;
}

SEC_PSE_TABLE s_pseTable = {{&rawpse_info}, &rawpse_create_PSE, nullptr, nullptr};

int live()
{
    return s_live;
}
ASC* last_asc()
{
    return s_lastAsc;
}
const char* last_provider()
{
    return s_lastProvider;
}

HRESULT rawpse_probe_info(const char** table, const char** module, const char** description)
{
    if (table)
        *table = "rawpse.1";
    if (module)
        *module = "qevrawpse";
    if (description)
        *description = "test provider probe";
    return S_OK;
}

RAW_PSE_PROBE s_probe = {{&rawpse_probe_info}, &live, &last_asc, &last_provider};

HRESULT get_api(const char*, const char* api, API_COMMON** out)
{
    if (api == nullptr || out == nullptr)
        return ZELK_E_API_NOARG;
    *out = nullptr;
    if (std::strcmp(api, "SEC_PSE_1") == 0)
        *out = &s_pseTable;
    else if (std::strcmp(api, "rawpse.1") == 0)
        *out = &s_probe;
    return *out != nullptr ? S_OK : ZELK_E_API_NOTFOUND;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT module_init(SEC_FUNCTION_LIST*, MODULE_GET_API_FN* getter,
                                                                      void*, void*)
{
    if (getter)
        *getter = &get_api;
    return S_OK;
}
