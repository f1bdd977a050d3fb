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
#include "unanswered_pse.h"

using namespace ZELK::PSESVC;

namespace {

// Objects of every kind for the token to hand out: proxies of an unconnected
// registry, whose numbers give each its kind; their own calls fail at once.
class Objects {
public:
    Objects() : m_registry(ProxyReg::New()) {}
    ~Objects() { m_registry->Release(); }
    Objects(const Objects&) = delete;
    Objects& operator=(const Objects&) = delete;

    TokenObject* Object(unsigned kind)
    {
        return TokenObjectProxy::GetInstance(m_registry, nullptr, (++m_counter << 10) | (kind << 6));
    }
    TokenPIN* PIN()
    {
        return TokenPINProxy::GetInstance(m_registry, nullptr, (++m_counter << 10) | (API_TOKENPIN << 6));
    }

private:
    ProxyReg* m_registry;
    uint32_t m_counter = 0;
};

// A token whose objects are of all six kinds (types 0 to 4 and one of none).
class FuzzToken : public SecToken {
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
    const char* getType() override { return "FuzzToken"; }
    HRESULT cpy(SecToken**) override { return E_NOTIMPL; }
    int cmp(const SecToken*) override { return 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }

    HRESULT isValid() override { return Code(); }
    HRESULT getTokenProfile(const char** out) override { return Text(out); }
    HRESULT getTokenName(const char** out) override { return Text(out); }
    HRESULT getTokenLabel(const char** out) override { return Text(out); }
    HRESULT getSerialNumber(const char** out) override { return Text(out); }
    HRESULT getP11TokenInfo(CK_TOKEN_INFO* info) override
    {
        info->flags = m_calls;
        return Code();
    }
    HRESULT getCardPIN(TokenPIN** out) override
    {
        if (out != nullptr)
            *out = m_objects.PIN();
        return Code();
    }
    // Reports more than the room it was given.
    HRESULT getPINs(TokenPIN** pins, unsigned long* count) override
    {
        if (pins != nullptr && count != nullptr && *count != 0)
            pins[0] = m_objects.PIN();
        if (count != nullptr)
            *count += 2;
        return Code();
    }
    HRESULT getObjects(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char*,
                       const char*) override
    {
        const unsigned kinds[] = {API_TOKENOBJECT,           API_TOKENOBJECT_DATA,       API_TOKENOBJECT_CERTIFICATE,
                                  API_TOKENOBJECT_PUBLICKEY, API_TOKENOBJECT_PRIVATEKEY, API_TOKENOBJECT_SECRETKEY};
        if (objects != nullptr && count != nullptr) {
            for (unsigned long i = 0; i < *count && i < 6; ++i)
                objects[i] = m_objects.Object(kinds[(i + static_cast<unsigned>(type) + 1) % 6]);
        }
        if (count != nullptr)
            *count = 7;
        return Code();
    }
    HRESULT isInitialized() override { return Code(); }
    HRESULT getWritableProfiles(char*** out) override
    {
        *out = nullptr;
        return Code();
    }
    HRESULT getInitInfo(const char*, ProfileInfo** out) override
    {
        *out = nullptr;
        return Code();
    }
    HRESULT delInitInfo(ProfileInfo** info) override
    {
        *info = nullptr;
        return 0;
    }
    HRESULT initToken(ProfileInfo*) override { return Code(); }
    HRESULT deleteToken() override { return Code(); }
    HRESULT isAlgSupported(AlgEnc, const AllowedValues** out) override
    {
        *out = (m_calls & 1) ? &m_allowed : nullptr;
        return Code();
    }
    HRESULT genKeyPair(AlgId*, unsigned long, TokenObjectPrivateKey** key, const char*, unsigned int,
                       TokenObjectPublicKey** pub, const char*, KeyInfo**, SECAttribute*) override
    {
        *key = static_cast<TokenObjectPrivateKey*>(m_objects.Object(API_TOKENOBJECT_PRIVATEKEY));
        *pub = static_cast<TokenObjectPublicKey*>(m_objects.Object(API_TOKENOBJECT_PUBLICKEY));
        return Code();
    }
    HRESULT createPrivateKeyObj(TokenObjectPrivateKey** out, const KeyInfo*, const char*, const char*,
                                unsigned int) override
    {
        *out = static_cast<TokenObjectPrivateKey*>(m_objects.Object(API_TOKENOBJECT_PRIVATEKEY));
        return Code();
    }
    HRESULT createPublicKeyObj(TokenObjectPublicKey** out, const KeyInfo*, const char*, const char*) override
    {
        *out = nullptr;
        return Code();
    }
    HRESULT createCertificateObj(TokenObjectCertificate** out, const Certificate*, const char*, const char*) override
    {
        *out = static_cast<TokenObjectCertificate*>(m_objects.Object(API_TOKENOBJECT_CERTIFICATE));
        return Code();
    }
    HRESULT createDataObj(TokenObjectData** out, const OctetString*, const char*, unsigned char) override
    {
        *out = static_cast<TokenObjectData*>(m_objects.Object(API_TOKENOBJECT_DATA));
        return Code();
    }
    HRESULT getRandom(unsigned char* buffer, unsigned long length) override
    {
        if (buffer != nullptr)
            std::memset(buffer, 0x11, length);
        return Code();
    }

private:
    ~FuzzToken() = default;
    HRESULT Code() { return (++m_calls % 3 == 0) ? ZELK_RC(0xA1E00202) : 0; }
    HRESULT Text(const char** out)
    {
        *out = (m_calls & 1) ? "text" : nullptr;
        return Code();
    }
    long m_refs = 1;
    unsigned m_calls = 0;
    AllowedValues m_allowed {{1, 2, 3}};
    Objects m_objects;
};

class FuzzPSE : public kestrin::qevtest::UnansweredPSE {
public:
    const char* getType() override { return "FuzzPSE"; }
    int cmp(const PSE*) override { return 1; }

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
        *out = new FuzzToken();
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
    HRESULT control(SECAttribute*, SECAttribute*) override { return Code(); }

private:
    ~FuzzPSE() override = default;

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
