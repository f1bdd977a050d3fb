// Any bytes as the service's reply to a PSE proxy method, the method chosen
// by the first input byte: the proxy reads only what is there, writes nothing
// past a caller's array or buffer, and every output it hands out is freed.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    remoting_fuzz::Setup();
    auto* tunnel = new ReplyTunnel(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    PSE* pse = PSEProxy::GetInstance(tunnel, 0);
    tunnel->Release();
    Call(pse, data[0]);
    pse->Release();
    return 0;
}
