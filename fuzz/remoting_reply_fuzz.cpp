// Any bytes as the service's reply to a proxy method (of the PSE or of an
// object of another kind), the method chosen by the first input byte: the proxy reads only what is there, writes
// nothing past a caller's array or buffer, and every output it hands out is freed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pseproxy.h"
#include "remoting_fuzz_support.h"

using namespace ZELK::PSESVC;

namespace {

class ReplyTunnel : public ITunnel {
public:
    explicit ReplyTunnel(std::string reply) : m_reply(std::move(reply)) {}
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
    HRESULT Transact(unsigned char*, unsigned long, unsigned char** out, unsigned long* outLength) override
    {
        if (m_reply.empty())
            return E_BROKEN_PIPE;
        if (*out == nullptr || *outLength < m_reply.size()) {
            auto* grown = static_cast<unsigned char*>(std::realloc(*out, m_reply.size()));
            if (grown == nullptr)
                return E_OUTOFMEMORY;
            *out = grown;
        }
        std::memcpy(*out, m_reply.data(), m_reply.size());
        *outLength = m_reply.size();
        return 0;
    }
    HRESULT Disconnect() override { return 0; }

private:
    ~ReplyTunnel() override = default;
    long m_refs = 1;
    std::string m_reply;
};

template <class T>
void Drop(T*& object)
{
    if (object != nullptr)
        object->Release();
    object = nullptr;
}

void Call(PSE* pse, uint8_t method)
{
    SET_OF_PersonalCertificateInfo* infos = nullptr;
    SET_OF_Certificate* certificates = nullptr;
    SET_OF_String* names = nullptr;
    SET_OF_SecSlotInfo* slotInfos = nullptr;
    SET_OF_PIN_Info* pins = nullptr;
    OctetString* value = nullptr;
    TokenObjectPrivateKey* key = nullptr;
    TokenObjectCertificate* certificate = nullptr;
    SecSlot* slot = nullptr;
    SecSlot* slots[4] = {};
    SecToken* token = nullptr;
    SecSlotEvents* events = nullptr;
    unsigned char buffer[64];
    unsigned long length = sizeof(buffer);
    unsigned long count = 4;
    const char* name = nullptr;
    switch (method % 31) {
    case 0:
        pse->getOwnCertificate(nullptr, nullptr, &infos);
        break;
    case 1:
        pse->encryptDigest(nullptr, nullptr, buffer, 32, buffer, &length);
        break;
    case 2:
        pse->decryptKey(nullptr, nullptr, buffer, 32, buffer, &length);
        break;
    case 3:
        pse->searchCertificate(nullptr, &certificates);
        break;
    case 4:
        pse->readApplObject("n", &value);
        break;
    case 5:
        pse->writeApplObject("n", nullptr);
        break;
    case 6:
        pse->listApplObjects(&names);
        break;
    case 7:
        pse->getPrivateKey("t", "k", &key);
        break;
    case 8:
        pse->getCertificate("t", "k", "l", &certificate);
        break;
    case 9:
        pse->searchSlotInfos(&slotInfos);
        break;
    case 10:
        pse->writeSlotInfos(nullptr);
        break;
    case 11:
        pse->readSlotInfos(&slotInfos);
        break;
    case 12:
        pse->getSlotByName(&slot, "r", 1);
        break;
    case 13:
        pse->getSlots(slots, &count);
        break;
    case 14:
        count = 0;
        pse->getSlots(slots, &count);
        break;
    case 15:
        pse->getTokenByName(&token, "t", 0);
        break;
    case 16:
        pse->getSlotEvents(&events);
        break;
    case 17:
        pse->isInTrustedCerts(nullptr);
        break;
    case 18:
        pse->getAllTrustedCerts(&certificates);
        break;
    case 19:
        pse->getTrustedCertList(&certificates);
        break;
    case 20:
        pse->addTrustedCertListItem(nullptr);
        break;
    case 21:
        pse->deleteTrustedCertListItem(nullptr, 1);
        break;
    case 22:
        pse->getCertInfoList(&infos);
        break;
    case 23:
        pse->addCertInfoListItem(nullptr);
        break;
    case 24:
        pse->deleteCertInfoListItem("a", "b", "c", 1);
        break;
    case 25:
        pse->getPasswordList(&pins);
        break;
    case 26:
        pse->addPasswordListItem("a", "b", "c", "d", "e");
        break;
    case 27:
        pse->deletePasswordListItem("a", "b", "c", "d", "e", 1);
        break;
    case 28:
        pse->releaseTokenCache("t");
        break;
    case 29:
        pse->getPseFileName(&name);
        pse->getPseFileName(&name);
        break;
    default: {
        OctetString bytes {3, const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>("\x00\x01\x02"))};
        void* output = nullptr;
        remoting_fuzz::AttributeDecode(&bytes, &output);
        pse->control(nullptr, static_cast<SECAttribute*>(output));
        remoting_fuzz::AttributeFree(output);
        break;
    }
    }
    WireFree(&infos);
    WireFree(&certificates);
    WireFree(&names);
    WireFree(&slotInfos);
    WireFree(&pins);
    WireFree(&value);
    Drop(key);
    Drop(certificate);
    Drop(slot);
    for (SecSlot*& s : slots)
        Drop(s);
    Drop(token);
    Drop(events);
}

// A proxy of another kind in the root's registry; its calls take the same reply.
template <class P>
auto* Other(PSE* pse, uint32_t number)
{
    auto* root = static_cast<PSEProxy*>(pse);
    return P::GetInstance(root->Registry(), root->Tunnel(), number);
}

void CallSlot(PSE* pse, uint8_t method)
{
    SecSlot* slot = Other<SlotProxy>(pse, 0x440);
    CK_SLOT_INFO info;
    const char* name = nullptr;
    SecToken* token = nullptr;
    switch (method % 4) {
    case 0:
        slot->getP11SlotInfo(&info);
        break;
    case 1:
        slot->getSlotName(&name);
        slot->getSlotName(&name);
        break;
    case 2:
        slot->getToken(&token);
        break;
    default:
        slot->tokenInserted();
    }
    Drop(token);
    Drop(slot);
}

void CallEvents(PSE* pse, uint8_t method)
{
    SecSlotEvents* events = Other<SlotEventsProxy>(pse, 0x680);
    SecSlot* slot = nullptr;
    if (method & 1)
        events->wait(1, &slot);
    else
        events->cancel();
    Drop(slot);
    Drop(events);
}

void CallPIN(PSE* pse, uint8_t method)
{
    TokenPIN* pin = Other<TokenPINProxy>(pse, 0x8C0);
    TokenPIN* other = nullptr;
    const char* name = nullptr;
    int number = 0;
    PIN_CHAR_SET charSet = 0;
    PIN_MODE mode = 0;
    PIN_TYPE type = 0;
    const MIN_MAX* limits = nullptr;
    PUK_MODE puk = 0;
    unsigned int pad = 0;
    switch (method % 8) {
    case 0:
        pin->getName(&name);
        break;
    case 1:
        pin->getId(&number);
        break;
    case 2:
        pin->getInfo(&charSet, &mode, &type, &limits, &puk);
        break;
    case 3:
        pin->getInfo(nullptr, &mode, nullptr, &limits, nullptr);
        break;
    case 4:
        pin->getPINcnt(&number);
        break;
    case 5:
        pin->getPINPadInfo(&pad);
        break;
    case 6:
        pin->getUnblockObject(&other);
        break;
    default:
        pin->login("1234", nullptr);
    }
    Drop(other);
    Drop(pin);
}

void CallToken(PSE* pse, uint8_t method)
{
    SecToken* token = Other<TokenProxy>(pse, 0x880);
    TokenPIN* pins[3] = {};
    TokenObject* objects[3] = {};
    unsigned long count = 3;
    const char* text = nullptr;
    CK_TOKEN_INFO info;
    ProfileInfo* profile = nullptr;
    const AllowedValues* allowed = nullptr;
    TokenObjectPrivateKey* key = nullptr;
    TokenObjectPublicKey* pub = nullptr;
    TokenObjectData* data = nullptr;
    KeyInfo* keyInfo = nullptr;
    unsigned char random[16];
    switch (method % 12) {
    case 0:
        token->getTokenName(&text);
        break;
    case 1:
        token->getP11TokenInfo(&info);
        break;
    case 2:
        token->getCardPIN(&pins[0]);
        break;
    case 3:
        token->getPINs(pins, &count);
        break;
    case 4:
        token->getObjects(objects, &count, TOKEN_OBJECT_PRIVATE_KEY, nullptr, nullptr);
        break;
    case 5:
        token->getObjects(nullptr, &count, TOKEN_OBJECT_NONE, "k", "l");
        break;
    case 6:
        token->getInitInfo("p", &profile);
        token->delInitInfo(&profile);
        break;
    case 7:
        token->isAlgSupported(1, &allowed);
        break;
    case 8:
        token->genKeyPair(nullptr, 256, &key, "a", 0, &pub, "b", &keyInfo, nullptr);
        break;
    case 9:
        token->genKeyPair(nullptr, 256, nullptr, "a", 0, nullptr, "b", nullptr, nullptr);
        break;
    case 10:
        token->createDataObj(&data, nullptr, "d", 1);
        break;
    default:
        token->getRandom(random, sizeof(random));
    }
    for (TokenPIN*& p : pins)
        Drop(p);
    for (TokenObject*& o : objects)
        Drop(o);
    Drop(key);
    Drop(pub);
    Drop(data);
    WireFree(&keyInfo);
    Drop(token);
}

// The one proxy class behind the view of a kind.
TokenObjectProxy* ProxyOf(TokenObject* object, uint32_t kind)
{
    switch (kind) {
    case API_TOKENOBJECT_CERTIFICATE:
        return static_cast<TokenObjectProxy*>(static_cast<TokenObjectCertificate*>(object));
    case API_TOKENOBJECT_PUBLICKEY:
        return static_cast<TokenObjectProxy*>(static_cast<TokenObjectPublicKey*>(object));
    case API_TOKENOBJECT_PRIVATEKEY:
        return static_cast<TokenObjectProxy*>(static_cast<TokenObjectPrivateKey*>(object));
    case API_TOKENOBJECT_SECRETKEY:
        return static_cast<TokenObjectProxy*>(static_cast<TokenObjectSecretKey*>(object));
    default:
        return static_cast<TokenObjectProxy*>(static_cast<TokenObjectData*>(object));
    }
}

void CallTokenObject(PSE* pse, uint8_t method)
{
    auto* root = static_cast<PSEProxy*>(pse);
    const uint32_t kind = 4 + (method >> 4) % 6;
    TokenObject* object = TokenObjectProxy::GetInstance(root->Registry(), root->Tunnel(), 0xC00 | (kind << 6));
    TokenObjectProxy* proxy = ProxyOf(object, kind);
    unsigned char value[8];
    CK_ATTRIBUTE attributes[2] = {{CKA_LABEL, value, sizeof(value)}, {CKA_VALUE, nullptr, 0}};
    OctetString* data = nullptr;
    const char* text = nullptr;
    Certificate* certificate = nullptr;
    SEQUENCE_OF_Certificate* path = nullptr;
    Certificate* pathEnd = nullptr;
    TokenObjectPrivateKey* key = nullptr;
    SEQUENCE_OF_AlgId* algs = nullptr;
    KeyInfo* info = nullptr;
    unsigned int operations = 0;
    TokenPIN* pin = nullptr;
    unsigned char out[16];
    unsigned long length = sizeof(out);
    TokenObjectPublicKey* pub = nullptr;
    TokenObjectCertificate* certificates[2] = {};
    unsigned long count = 2;
    switch (method % 16) {
    case 0:
        proxy->getP11Attributes(attributes, 2);
        break;
    case 1:
        proxy->setP11Attributes(attributes, 1);
        break;
    case 2:
        proxy->getData(&data);
        break;
    case 3:
        proxy->getKeyId(&text);
        break;
    case 4:
        proxy->getCertPath(&certificate, &path, &pathEnd);
        break;
    case 5:
        proxy->getPrivateKeyObj(&key);
        break;
    case 6:
        proxy->getSigAlgs(&algs);
        break;
    case 7:
        proxy->getKeyInfo(&info);
        break;
    case 8:
        proxy->getOps(&operations);
        break;
    case 9:
        proxy->getObjectPIN(&pin);
        break;
    case 10:
        proxy->sign(nullptr, 0, value, sizeof(value), out, &length, nullptr);
        break;
    case 11:
        proxy->decrypt(nullptr, value, sizeof(value), out, &length, nullptr);
        break;
    case 12:
        proxy->getCertObjs(&pub, certificates, &count);
        break;
    case 13:
        proxy->getPublicKeyInfo(&info);
        break;
    case 14:
        proxy->remove();
        break;
    default:
        proxy->getObjectType();
        proxy->cipher_all(nullptr, nullptr, 0, nullptr, nullptr);
    }
    WireFree(&data);
    WireFree(&certificate);
    WireFree(&path);
    WireFree(&pathEnd);
    WireFree(&algs);
    WireFree(&info);
    Drop(key);
    Drop(pin);
    Drop(pub);
    for (TokenObjectCertificate*& c : certificates)
        Drop(c);
    Drop(object);
}

void CallAny(PSE* pse, uint8_t method)
{
    if (method < 32)
        Call(pse, method);
    else if (method < 40)
        CallSlot(pse, method);
    else if (method < 48)
        CallEvents(pse, method);
    else if (method < 64)
        CallPIN(pse, method);
    else if (method < 96)
        CallToken(pse, method);
    else
        CallTokenObject(pse, method);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    remoting_fuzz::Setup();
    auto* tunnel = new ReplyTunnel(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    PSE* pse = PSEProxy::GetInstance(tunnel, 0);
    tunnel->Release();
    CallAny(pse, data[0]);
    pse->Release();
    return 0;
}
