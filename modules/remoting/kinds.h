// The kinds of objects that the PSE's methods hand out (slots, slot-event
// sources, tokens, private-key and certificate objects), each with a proxy
// and a stub that so far know only their lifetime: Release travels, every
// other call answers 0x80000001 in the client, and a stub leaves any other
// request unanswered.
#pragma once

#include "objcache.h"
#include "proxy.h"
#include "qev_token.h"

namespace ZELK::PSESVC {

template <class S, class T, ApiType K>
class LifetimeStub : public Stub<S, T> {
public:
    static constexpr ApiType kKind = K;

    HRESULT Execute(Method, TransactionStub&) override { return -1; }
};

class SlotStub : public LifetimeStub<SlotStub, SecSlot, API_SLOT> {};
class SlotEventsStub : public LifetimeStub<SlotEventsStub, SecSlotEvents, API_SLOTEVENTS> {};
class TokenStub : public LifetimeStub<TokenStub, SecToken, API_TOKEN> {};
class TokenObjectPrivateKeyStub
    : public LifetimeStub<TokenObjectPrivateKeyStub, TokenObjectPrivateKey, API_TOKENOBJECT_PRIVATEKEY> {};
class TokenObjectCertificateStub
    : public LifetimeStub<TokenObjectCertificateStub, TokenObjectCertificate, API_TOKENOBJECT_CERTIFICATE> {};

class SlotProxy : public Proxy<SlotProxy, SecSlot> {
public:
    static constexpr ApiType kKind = API_SLOT;

    HRESULT tokenInserted() override { return E_NOTIMPL; }
    HRESULT getP11SlotInfo(CK_SLOT_INFO*) override { return E_NOTIMPL; }
    HRESULT getSlotName(const char**) override { return E_NOTIMPL; }
    HRESULT getToken(SecToken**) override { return E_NOTIMPL; }
    HRESULT releaseToken() override { return E_NOTIMPL; }
};

class SlotEventsProxy : public Proxy<SlotEventsProxy, SecSlotEvents> {
public:
    static constexpr ApiType kKind = API_SLOTEVENTS;

    HRESULT wait(unsigned long, SecSlot**) override { return E_NOTIMPL; }
    HRESULT cancel() override { return E_NOTIMPL; }
};

class TokenProxy : public Proxy<TokenProxy, SecToken> {
public:
    static constexpr ApiType kKind = API_TOKEN;

    HRESULT isValid() override { return E_NOTIMPL; }
    HRESULT getTokenProfile(const char**) override { return E_NOTIMPL; }
    HRESULT getTokenName(const char**) override { return E_NOTIMPL; }
    HRESULT getTokenLabel(const char**) override { return E_NOTIMPL; }
    HRESULT getSerialNumber(const char**) override { return E_NOTIMPL; }
    HRESULT getP11TokenInfo(CK_TOKEN_INFO*) override { return E_NOTIMPL; }
    HRESULT getCardPIN(TokenPIN**) override { return E_NOTIMPL; }
    HRESULT getPINs(TokenPIN**, unsigned long*) override { return E_NOTIMPL; }
    HRESULT getObjects(TokenObject**, unsigned long*, TOKEN_OBJECT_TYPE, const char*, const char*) override
    {
        return E_NOTIMPL;
    }
    HRESULT isInitialized() override { return E_NOTIMPL; }
    HRESULT getWritableProfiles(char***) override { return E_NOTIMPL; }
    HRESULT getInitInfo(const char*, ProfileInfo**) override { return E_NOTIMPL; }
    HRESULT delInitInfo(ProfileInfo**) override { return E_NOTIMPL; }
    HRESULT initToken(ProfileInfo*) override { return E_NOTIMPL; }
    HRESULT deleteToken() override { return E_NOTIMPL; }
    HRESULT isAlgSupported(AlgEnc, const AllowedValues**) override { return E_NOTIMPL; }
    HRESULT genKeyPair(AlgId*, unsigned long, TokenObjectPrivateKey**, const char*, unsigned int,
                       TokenObjectPublicKey**, const char*, KeyInfo**, SECAttribute*) override
    {
        return E_NOTIMPL;
    }
    HRESULT createPrivateKeyObj(TokenObjectPrivateKey**, const KeyInfo*, const char*, const char*,
                                unsigned int) override
    {
        return E_NOTIMPL;
    }
    HRESULT createPublicKeyObj(TokenObjectPublicKey**, const KeyInfo*, const char*, const char*) override
    {
        return E_NOTIMPL;
    }
    HRESULT createCertificateObj(TokenObjectCertificate**, const Certificate*, const char*, const char*) override
    {
        return E_NOTIMPL;
    }
    HRESULT createDataObj(TokenObjectData**, const OctetString*, const char*, unsigned char) override
    {
        return E_NOTIMPL;
    }
    HRESULT getRandom(unsigned char*, unsigned long) override { return E_NOTIMPL; }
};

class TokenObjectPrivateKeyProxy : public Proxy<TokenObjectPrivateKeyProxy, TokenObjectPrivateKey> {
public:
    static constexpr ApiType kKind = API_TOKENOBJECT_PRIVATEKEY;

    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_PRIVATE_KEY; }
    HRESULT getP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT remove() override { return E_NOTIMPL; }
    HRESULT getKeyId(const char**) override { return E_NOTIMPL; }
    HRESULT getOps(unsigned int*) override { return E_NOTIMPL; }
    HRESULT getObjectPIN(TokenPIN**) override { return E_NOTIMPL; }
    HRESULT sign(const AlgId*, unsigned char, const unsigned char*, unsigned long, unsigned char*, unsigned long*,
                 SECAttribute*) override
    {
        return E_NOTIMPL;
    }
    HRESULT decrypt(const AlgId*, const unsigned char*, unsigned long, unsigned char*, unsigned long*,
                    SECAttribute*) override
    {
        return E_NOTIMPL;
    }
    HRESULT getCertObjs(TokenObjectPublicKey**, TokenObjectCertificate**, unsigned long*) override { return E_NOTIMPL; }
    HRESULT getPublicKeyInfo(KeyInfo**) override { return E_NOTIMPL; }
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId**) override { return E_NOTIMPL; }
};

class TokenObjectCertificateProxy : public Proxy<TokenObjectCertificateProxy, TokenObjectCertificate> {
public:
    static constexpr ApiType kKind = API_TOKENOBJECT_CERTIFICATE;

    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_CERTIFICATE; }
    HRESULT getP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT remove() override { return E_NOTIMPL; }
    HRESULT getKeyId(const char**) override { return E_NOTIMPL; }
    HRESULT getCertPath(Certificate**, SEQUENCE_OF_Certificate**, Certificate**) override { return E_NOTIMPL; }
    HRESULT getPrivateKeyObj(TokenObjectPrivateKey**) override { return E_NOTIMPL; }
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId**) override { return E_NOTIMPL; }
};

}  // namespace ZELK::PSESVC
