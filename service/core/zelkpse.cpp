#include "zelkpse.h"

#include "zelk_holders.h"

namespace ZELK::PSESVC {

ZELKPSE::~ZELKPSE()
{
    for (sApplObject* object : m_applObjects) {
        AuxFree(&object->value);
        delete object;
    }
    if (m_ascHeld && m_asc)
        m_asc->Release();
}

HRESULT ZELKPSE::New(ASC* asc, PSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (asc == nullptr)
        return E_INVALIDARG;
    CComObject<ZELKPSE>* object = nullptr;
    HRESULT hr = CComObject<ZELKPSE>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    object->AddRef();
    object->SetASC(asc);
    *out = object;
    return S_OK;
}

HRESULT ZELKPSE::SetASC(ASC* asc)
{
    if (asc == m_asc)
        return S_FALSE;
    // While the creator's is the only reference, the ASC holds this object and
    // a reference back would keep both alive.
    bool hold = m_dwRef > 1;
    if (hold && asc)
        asc->AddRef();
    if (m_ascHeld && m_asc)
        m_asc->Release();
    m_asc = asc;
    m_ascHeld = hold && asc;
    return S_OK;
}

HRESULT ZELKPSE::SetFilterPolicy(ZELK_IPolicy*)
{
    m_tokenFilter.Add("NONE");
    return S_OK;
}

const char* ZELKPSE::getType()
{
    return "PSE";
}

HRESULT ZELKPSE::cpy(PSE**)
{
    return -1;
}

int ZELKPSE::cmp(const PSE*)
{
    return -1;
}

HRESULT ZELKPSE::print(char**, const char*, PRINT_CTX*)
{
    return -1;
}

HRESULT ZELKPSE::getOwnCertificate(const History*, SECAttribute*, SET_OF_PersonalCertificateInfo**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::encryptDigest(const History*, SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                               unsigned long*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::decryptKey(const History*, SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                            unsigned long*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::searchCertificate(SECAttribute*, SET_OF_Certificate**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::listApplObjects(SET_OF_String**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getPrivateKey(const char*, const char*, TokenObjectPrivateKey**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getCertificate(const char*, const char*, const char*, TokenObjectCertificate**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::searchSlotInfos(SET_OF_SecSlotInfo**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::writeSlotInfos(SET_OF_SecSlotInfo*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::readSlotInfos(SET_OF_SecSlotInfo**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getSlotByName(SecSlot**, const char*, unsigned char)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getSlots(SecSlot**, unsigned long*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getTokenByName(SecToken**, const char*, unsigned char)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getSlotEvents(SecSlotEvents**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::isInTrustedCerts(const Certificate*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getAllTrustedCerts(SET_OF_Certificate**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getTrustedCertList(SET_OF_Certificate**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::addTrustedCertListItem(const Certificate*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::deleteTrustedCertListItem(const DName*, unsigned long)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getCertInfoList(SET_OF_PersonalCertificateInfo**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::addCertInfoListItem(const PersonalCertificateInfo*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::deleteCertInfoListItem(const char*, const char*, const char*, unsigned long)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getPasswordList(SET_OF_PIN_Info**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::addPasswordListItem(const char*, const char*, const char*, const char*, const char*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::deletePasswordListItem(const char*, const char*, const char*, const char*, const char*, unsigned long)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::releaseTokenCache(const char*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::getPseFileName(const char**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::cred_list(SET_OF_String**)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::cred_getParameters(const char*, CredType*, unsigned char*, unsigned long*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::cred_initCredUpdate()
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::loginBySystemParameters(const char*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::loginWithPassword(const char*, const unsigned char*, unsigned long)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::cred_delete(const char*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::cred_addPassword(const char*, const unsigned char*, unsigned long, const unsigned char*, unsigned long)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::cred_addSystemParameters(const char*, const char*)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::cred_change(const char*, const unsigned char*, unsigned long, const char*, unsigned long)
{
    return E_NOTIMPL;
}

HRESULT ZELKPSE::cred_finalCredUpdate()
{
    return E_NOTIMPL;
}

}  // namespace ZELK::PSESVC
