// Any bytes a local process may send into a session component: the input is
// a run of requests (two length bytes, then that many bytes), each handed to
// PSEStubImpl::Transact in a buffer of exactly its length, as the socket
// server does, against a PSE that hands out slots, tokens, slot-event sources
// and key and certificate objects. The session's end must release them all.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "psestub.h"
#include "remoting_fuzz_support.h"

using namespace ZELK::PSESVC;

namespace {

class FuzzPSE : public PSE {
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
    const char* getType() override { return "FuzzPSE"; }
    HRESULT cpy(PSE**) override { return E_NOTIMPL; }
    int cmp(const PSE*) override { return 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT getOwnCertificate(const History*, SECAttribute*, SET_OF_PersonalCertificateInfo** out) override
    {
        return Value(out);
    }
    HRESULT encryptDigest(const History*, SECAttribute*, const unsigned char* in, unsigned long n, unsigned char* out,
                          unsigned long* outLength) override
    {
        return Buffer(in, n, out, outLength);
    }
    HRESULT decryptKey(const History*, SECAttribute*, const unsigned char* in, unsigned long n, unsigned char* out,
                       unsigned long* outLength) override
    {
        return Buffer(in, n, out, outLength);
    }
    HRESULT searchCertificate(SECAttribute*, SET_OF_Certificate** out) override { return Value(out); }
    HRESULT readApplObject(const char* name, OctetString** out) override { return name ? Value(out) : 1; }
    HRESULT writeApplObject(const char*, OctetString*) override { return 0; }
    HRESULT listApplObjects(SET_OF_String** out) override { return Value(out); }
    HRESULT getPrivateKey(const char*, const char*, TokenObjectPrivateKey** out) override
    {
        *out = static_cast<TokenObjectPrivateKey*>(remoting_fuzz::NewObject<TokenObjectProxy>());
        return Code();
    }
    HRESULT getCertificate(const char*, const char*, const char*, TokenObjectCertificate** out) override
    {
        *out = static_cast<TokenObjectCertificate*>(remoting_fuzz::NewObject<TokenObjectProxy>());
        return Code();
    }
    HRESULT searchSlotInfos(SET_OF_SecSlotInfo** out) override { return Value(out); }
    HRESULT writeSlotInfos(SET_OF_SecSlotInfo*) override { return 0; }
    HRESULT readSlotInfos(SET_OF_SecSlotInfo** out) override { return Value(out); }
    HRESULT getSlotByName(SecSlot** out, const char* name, unsigned char) override
    {
        *out = Slot();
        return name ? 0 : -5;
    }
    // Reports more slots than asked for, as a service whose slots grew would.
    HRESULT getSlots(SecSlot** slots, unsigned long* count) override
    {
        if (slots != nullptr && count != nullptr) {
            for (unsigned long i = 0; i < *count && i < 3; ++i)
                slots[i] = Slot();
        }
        if (count != nullptr)
            *count = 5;
        return Code();
    }
    HRESULT getTokenByName(SecToken** out, const char*, unsigned char) override
    {
        *out = remoting_fuzz::NewObject<TokenProxy>();
        return Code();
    }
    HRESULT getSlotEvents(SecSlotEvents** out) override
    {
        *out = (++m_calls & 1) ? remoting_fuzz::NewObject<SlotEventsProxy>() : nullptr;
        return 0;
    }
    HRESULT isInTrustedCerts(const Certificate*) override { return Code(); }
    HRESULT getAllTrustedCerts(SET_OF_Certificate** out) override { return Value(out); }
    HRESULT getTrustedCertList(SET_OF_Certificate** out) override { return Value(out); }
    HRESULT addTrustedCertListItem(const Certificate*) override { return 0; }
    HRESULT deleteTrustedCertListItem(const DName*, unsigned long) override { return 0; }
    HRESULT getCertInfoList(SET_OF_PersonalCertificateInfo** out) override { return Value(out); }
    HRESULT addCertInfoListItem(const PersonalCertificateInfo*) override { return 0; }
    HRESULT deleteCertInfoListItem(const char*, const char*, const char*, unsigned long) override { return 0; }
    HRESULT getPasswordList(SET_OF_PIN_Info** out) override { return Value(out); }
    HRESULT addPasswordListItem(const char*, const char*, const char*, const char*, const char*) override { return 0; }
    HRESULT deletePasswordListItem(const char*, const char*, const char*, const char*, const char*,
                                   unsigned long) override
    {
        return 0;
    }
    HRESULT releaseTokenCache(const char*) override { return Code(); }
    HRESULT getPseFileName(const char** name) override
    {
        *name = (++m_calls & 1) ? "pse.zip" : nullptr;
        return 0;
    }
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
    HRESULT control(SECAttribute*, SECAttribute*) override { return Code(); }

private:
    ~FuzzPSE() = default;

    // The same slot object every second time, so that numbers are reused.
    SecSlot* Slot()
    {
        if (m_slot == nullptr || (++m_calls & 1)) {
            if (m_slot != nullptr)
                m_slot->Release();
            m_slot = remoting_fuzz::NewObject<SlotProxy>();
        }
        m_slot->AddRef();
        return m_slot;
    }
    HRESULT Code() { return (++m_calls % 3 == 0) ? ZELK_RC(0xA1E00202) : 0; }
    template <class T>
    HRESULT Value(T** out)
    {
        OctetString bytes {3, const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>("abc"))};
        void* value = nullptr;
        remoting_fuzz::Copy(&bytes, &value);
        *out = static_cast<T*>(value);
        return Code();
    }
    // The reported length follows the input, past the 512-byte buffer too.
    static HRESULT Buffer(const unsigned char* in, unsigned long n, unsigned char* out, unsigned long* outLength)
    {
        unsigned long length = n != 0 ? in[0] * 4ul : 0;
        std::memset(out, 0x5A, length < *outLength ? length : *outLength);
        *outLength = length;
        return 0;
    }

public:
    void ReleaseSlot()
    {
        if (m_slot != nullptr)
            m_slot->Release();
        m_slot = nullptr;
    }

private:
    long m_refs = 1;
    unsigned m_calls = 0;
    SecSlot* m_slot = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    remoting_fuzz::Setup();
    CComObject<PSEStubImpl>* component = nullptr;
    CComObject<PSEStubImpl>::CreateInstance(&component);
    component->AddRef();
    auto* pse = new FuzzPSE();
    component->SetPSE(pse);
    ITunnel* tunnel = static_cast<ITunnelPSE*>(component);
    while (size >= 2) {
        size_t length = (size_t {data[0]} << 8) | data[1];
        data += 2;
        size -= 2;
        if (length > size)
            length = size;
        unsigned long replyLength = length;
        auto* buffer = static_cast<unsigned char*>(std::malloc(length != 0 ? length : 1));
        std::memcpy(buffer, data, length);
        tunnel->Transact(buffer, length, &buffer, &replyLength);
        std::free(buffer);
        data += length;
        size -= length;
    }
    component->Release();
    pse->ReleaseSlot();
    pse->Release();
    return 0;
}
