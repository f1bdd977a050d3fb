#include "psestub.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "kinds.h"
#include "pse_methods.h"
#include "zelk_alloc.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

namespace {

typedef SECTRACE_Fkt_IMPL<int> Trace;

// Reads the arguments of a call: the readers stop at the first one missing.
class Arguments {
public:
    explicit Arguments(TransactionStub& transaction) : m_transaction(transaction) {}

    Arguments& String(const char** text)
    {
        m_ok = m_ok && m_transaction.ReadString(text);
        return *this;
    }
    Arguments& Number(uint32_t* value)
    {
        m_ok = m_ok && m_transaction.Read32(value);
        return *this;
    }
    Arguments& Boolean(bool* value)
    {
        m_ok = m_ok && m_transaction.ReadBoolean(value);
        return *this;
    }
    Arguments& Octets(OctetString* view)
    {
        m_ok = m_ok && m_transaction.ReadOctetString(*view);
        return *this;
    }
    template <class T>
    Arguments& Object(T** value)
    {
        m_ok = m_ok && m_transaction.ReadObject(value);
        return *this;
    }
    bool Ok() const { return m_ok; }

private:
    TransactionStub& m_transaction;
    bool m_ok = true;
};

// Handlers answer E_FAIL with an empty reply when the request cannot be read.
template <class T>
HRESULT AnswerObject(TransactionStub& transaction, HRESULT rc, T* value)
{
    transaction.WriteRC(rc);
    if (rc >= 0)
        transaction.WriteObject(value);
    return rc;
}

HRESULT AnswerRC(TransactionStub& transaction, HRESULT rc)
{
    transaction.WriteRC(rc);
    return rc;
}

// encryptDigest and decryptKey: the service writes into a 512-byte buffer;
// a length it reports beyond that buffer is never sent.
HRESULT AnswerBuffer(TransactionStub& transaction, HRESULT rc, unsigned char* buffer, unsigned long length)
{
    if (rc >= 0 && length > kPSEOutputBuffer)
        rc = E_PSE_BUFFERTOOSMALL;
    transaction.WriteRC(rc);
    if (rc >= 0)
        transaction.WriteOctetString(buffer, length);
    OPENSSL_cleanse(buffer, kPSEOutputBuffer);
    return rc;
}

}  // namespace

PSEStub::~PSEStub()
{
    if (PSE* pse = m_pse.exchange(nullptr))
        pse->Release();
    for (PSE* retired : m_retired)
        retired->Release();
}

HRESULT PSEStub::QueryInterface(const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    if (iid == IID_ITunnelPSE || iid == IID_ITunnel || iid == IID_IUnknown) {
        AddRef();
        *out = static_cast<ITunnelPSE*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

long PSEStub::Release()
{
    long count = --m_refs;
    if (count == 0)
        delete this;
    return count;
}

HRESULT PSEStub::SetPSE(PSE* pse)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (pse == m_pse)
        return S_OK;
    if (pse != nullptr) {
        pse->AddRef();
        ZELK::CriticalCodeSection cacheLock(m_cache->Lock());
        ITunnel** slot = nullptr;
        if (m_cache->RegisterObject(pse, API_PSE, &m_id, &slot) >= 0 && slot != nullptr) {
            AddRef();
            *slot = this;
        }
    }
    if (PSE* old = m_pse.exchange(pse, std::memory_order_acq_rel))
        m_retired.push_back(old);
    return S_OK;
}

HRESULT PSEStub::Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength)
{
    TransactionStub transaction(in, inLength, out, outLength);
    uint32_t id = 0;
    Method method = 0;
    if (!transaction.ReadIdMsg(id, method))
        return E_FAIL;
    if (method < PSE_getOwnCertificate || method > PSE_control)
        return -1;
    PSE* pse = m_pse.load(std::memory_order_acquire);
    // Without a PSE the root answers that code alone.
    if (pse == nullptr)
        return AnswerRC(transaction, E_FAIL);
    HRESULT rc = Dispatch(method, transaction, pse);
    // An output that cannot be encoded is answered by the encoder's code alone.
    if (transaction.WriteError() < 0) {
        rc = transaction.WriteError();
        transaction.Clear();
        transaction.WriteRC(rc);
    }
    return rc;
}

HRESULT PSEStub::Dispatch(Method method, TransactionStub& transaction, PSE* pse)
{
    Arguments args(transaction);
    switch (method) {
    case PSE_getOwnCertificate: {
        Trace trace("%8x", "PSEStub::getOwnCertificate");
        WireValue<SECAttribute> filter;
        if (!args.Object(&filter).Ok())
            return trace.result = E_FAIL;
        WireValue<SET_OF_PersonalCertificateInfo> list;
        HRESULT rc = pse->getOwnCertificate(nullptr, filter, &list);
        return trace.result = AnswerObject(transaction, rc, list.get());
    }
    case PSE_encryptDigest:
    case PSE_decryptKey: {
        bool encrypt = method == PSE_encryptDigest;
        Trace trace("%8x", encrypt ? "PSEStub::encryptDigest" : "PSEStub::decryptKey");
        WireValue<SECAttribute> attributes;
        OctetString input {};
        if (!args.Object(&attributes).Octets(&input).Ok())
            return trace.result = E_FAIL;
        unsigned char buffer[kPSEOutputBuffer];
        unsigned long length = kPSEOutputBuffer;
        HRESULT rc = encrypt ? pse->encryptDigest(nullptr, attributes, input.data, input.length, buffer, &length)
                             : pse->decryptKey(nullptr, attributes, input.data, input.length, buffer, &length);
        return trace.result = AnswerBuffer(transaction, rc, buffer, length);
    }
    case PSE_searchCertificate: {
        Trace trace("%8x", "PSEStub::searchCertificate");
        WireValue<SECAttribute> filter;
        if (!args.Object(&filter).Ok())
            return trace.result = E_FAIL;
        WireValue<SET_OF_Certificate> list;
        HRESULT rc = pse->searchCertificate(filter, &list);
        return trace.result = AnswerObject(transaction, rc, list.get());
    }
    case PSE_readApplObject: {
        Trace trace("%8x", "PSEStub::readApplObject");
        const char* name = nullptr;
        if (!args.String(&name).Ok())
            return trace.result = E_FAIL;
        WireValue<OctetString> value;
        HRESULT rc = pse->readApplObject(name, &value);
        transaction.WriteRC(rc);
        if (rc >= 0)
            transaction.WriteOctetString(value.get());
        return trace.result = rc;
    }
    case PSE_writeApplObject: {
        Trace trace("%8x", "PSEStub::writeApplObject");
        const char* name = nullptr;
        OctetString value {};
        if (!args.String(&name).Octets(&value).Ok())
            return trace.result = E_FAIL;
        HRESULT rc = pse->writeApplObject(name, value.length != 0 ? &value : nullptr);
        return trace.result = AnswerRC(transaction, rc);
    }
    case PSE_listApplObjects: {
        Trace trace("%8x", "PSEStub::listApplObjects");
        WireValue<SET_OF_String> list;
        HRESULT rc = pse->listApplObjects(&list);
        return trace.result = AnswerObject(transaction, rc, list.get());
    }
    case PSE_getPrivateKey: {
        Trace trace("%8x", "PSEStub::getPrivateKey");
        const char* tokenName = nullptr;
        const char* keyId = nullptr;
        if (!args.String(&tokenName).String(&keyId).Ok())
            return trace.result = E_FAIL;
        TokenObjectPrivateKey* key = nullptr;
        HRESULT rc = pse->getPrivateKey(tokenName, keyId, &key);
        transaction.WriteRC(rc);
        if (rc >= 0 && key != nullptr)
            transaction.Write32(HandOut<TokenObjectPrivateKeyStub>(m_cache, key));
        else if (key != nullptr)
            key->Release();
        return trace.result = rc;
    }
    case PSE_getCertificate: {
        Trace trace("%8x", "PSEStub::getCertificate");
        const char* tokenName = nullptr;
        const char* keyId = nullptr;
        const char* label = nullptr;
        if (!args.String(&tokenName).String(&keyId).String(&label).Ok())
            return trace.result = E_FAIL;
        TokenObjectCertificate* certificate = nullptr;
        HRESULT rc = pse->getCertificate(tokenName, keyId, label, &certificate);
        transaction.WriteRC(rc);
        if (rc >= 0 && certificate != nullptr)
            transaction.Write32(HandOut<TokenObjectCertificateStub>(m_cache, certificate));
        else if (certificate != nullptr)
            certificate->Release();
        return trace.result = rc;
    }
    case PSE_searchSlotInfos:
    case PSE_readSlotInfos: {
        bool search = method == PSE_searchSlotInfos;
        Trace trace("%8x", search ? "PSEStub::searchSlotInfos" : "PSEStub::readSlotInfos");
        WireValue<SET_OF_SecSlotInfo> list;
        HRESULT rc = search ? pse->searchSlotInfos(&list) : pse->readSlotInfos(&list);
        return trace.result = AnswerObject(transaction, rc, list.get());
    }
    case PSE_writeSlotInfos: {
        Trace trace("%8x", "PSEStub::writeSlotInfos");
        WireValue<SET_OF_SecSlotInfo> list;
        if (!args.Object(&list).Ok())
            return trace.result = E_FAIL;
        return trace.result = AnswerRC(transaction, pse->writeSlotInfos(list));
    }
    case PSE_getSlotByName: {
        Trace trace("%8x", "PSEStub::getSlotByName");
        const char* name = nullptr;
        bool flag = false;
        if (!args.String(&name).Boolean(&flag).Ok())
            return trace.result = E_FAIL;
        SecSlot* slot = nullptr;
        HRESULT rc = pse->getSlotByName(&slot, name, flag ? 1 : 0);
        transaction.WriteRC(rc);
        if (slot != nullptr)
            transaction.Write32(HandOut<SlotStub>(m_cache, slot));
        return trace.result = rc;
    }
    case PSE_getSlots: {
        Trace trace("%8x", "PSEStub::getSlots");
        bool slotsGiven = false;
        bool countGiven = false;
        uint32_t capacity = 0;
        if (!args.Boolean(&slotsGiven).Boolean(&countGiven).Ok())
            return trace.result = E_FAIL;
        if (countGiven && !args.Number(&capacity).Ok())
            return trace.result = E_FAIL;
        if (capacity > kMaxWireCount)
            return trace.result = E_FAIL;
        SecSlot** slots = nullptr;
        if (slotsGiven && capacity != 0) {
            slots = static_cast<SecSlot**>(sec_calloc(capacity, sizeof(SecSlot*)));
            if (slots == nullptr)
                return trace.result = E_FAIL;
        }
        unsigned long count = capacity;
        HRESULT rc = pse->getSlots(slots, countGiven ? &count : nullptr);
        transaction.WriteRC(rc);
        if (countGiven)
            transaction.Write32(static_cast<uint32_t>(count));
        if (slots != nullptr) {
            // Numbers only for entries inside the array, as many as the
            // client can store.
            unsigned long n = std::min<unsigned long>(count, capacity);
            for (unsigned long i = 0; i < capacity; ++i) {
                uint32_t number = HandOut<SlotStub>(m_cache, slots[i]);
                if (i < n)
                    transaction.Write32(number);
            }
            sec_free(slots);
        }
        return trace.result = rc;
    }
    case PSE_getTokenByName: {
        Trace trace("%8x", "PSEStub::getTokenByName");
        const char* name = nullptr;
        bool flag = false;
        if (!args.String(&name).Boolean(&flag).Ok())
            return trace.result = E_FAIL;
        SecToken* token = nullptr;
        HRESULT rc = pse->getTokenByName(&token, name, flag ? 1 : 0);
        transaction.WriteRC(rc);
        if (rc >= 0 && token != nullptr)
            transaction.Write32(HandOut<TokenStub>(m_cache, token));
        else if (token != nullptr)
            token->Release();
        return trace.result = rc;
    }
    case PSE_getSlotEvents: {
        Trace trace("%8x", "PSEStub::getSlotEvents");
        SecSlotEvents* events = nullptr;
        HRESULT rc = pse->getSlotEvents(&events);
        transaction.WriteRC(rc);
        transaction.Write32(HandOut<SlotEventsStub>(m_cache, events));
        return trace.result = rc;
    }
    case PSE_isInTrustedCerts:
    case PSE_addTrustedCertListItem: {
        bool add = method == PSE_addTrustedCertListItem;
        Trace trace("%8x", add ? "PSEStub::addTrustedCertListItem" : "PSEStub::isInTrustedCerts");
        WireValue<Certificate> certificate;
        if (!args.Object(&certificate).Ok())
            return trace.result = E_FAIL;
        HRESULT rc = add ? pse->addTrustedCertListItem(certificate) : pse->isInTrustedCerts(certificate);
        return trace.result = AnswerRC(transaction, rc);
    }
    case PSE_getAllTrustedCerts:
    case PSE_getTrustedCertList: {
        bool all = method == PSE_getAllTrustedCerts;
        Trace trace("%8x", all ? "PSEStub::getAllTrustedCerts" : "PSEStub::getTrustedCertList");
        WireValue<SET_OF_Certificate> list;
        HRESULT rc = all ? pse->getAllTrustedCerts(&list) : pse->getTrustedCertList(&list);
        return trace.result = AnswerObject(transaction, rc, list.get());
    }
    case PSE_deleteTrustedCertListItem: {
        Trace trace("%8x", "PSEStub::deleteTrustedCertListItem");
        WireValue<DName> name;
        uint32_t number = 0;
        if (!args.Object(&name).Number(&number).Ok())
            return trace.result = E_FAIL;
        return trace.result = AnswerRC(transaction, pse->deleteTrustedCertListItem(name, number));
    }
    case PSE_getCertInfoList: {
        Trace trace("%8x", "PSEStub::getCertInfoList");
        WireValue<SET_OF_PersonalCertificateInfo> list;
        HRESULT rc = pse->getCertInfoList(&list);
        return trace.result = AnswerObject(transaction, rc, list.get());
    }
    case PSE_addCertInfoListItem: {
        Trace trace("%8x", "PSEStub::addCertInfoListItem");
        WireValue<PersonalCertificateInfo> info;
        if (!args.Object(&info).Ok())
            return trace.result = E_FAIL;
        return trace.result = AnswerRC(transaction, pse->addCertInfoListItem(info));
    }
    case PSE_deleteCertInfoListItem: {
        Trace trace("%8x", "PSEStub::deleteCertInfoListItem");
        const char* tokenName = nullptr;
        const char* keyId = nullptr;
        const char* label = nullptr;
        uint32_t number = 0;
        if (!args.String(&tokenName).String(&keyId).String(&label).Number(&number).Ok())
            return trace.result = E_FAIL;
        return trace.result = AnswerRC(transaction, pse->deleteCertInfoListItem(tokenName, keyId, label, number));
    }
    case PSE_getPasswordList: {
        Trace trace("%8x", "PSEStub::getPasswordList");
        WireValue<SET_OF_PIN_Info> list;
        HRESULT rc = pse->getPasswordList(&list);
        return trace.result = AnswerObject(transaction, rc, list.get());
    }
    case PSE_addPasswordListItem:
    case PSE_deletePasswordListItem: {
        bool add = method == PSE_addPasswordListItem;
        Trace trace("%8x", add ? "PSEStub::addPasswordListItem" : "PSEStub::deletePasswordListItem");
        const char* items[5] = {};
        uint32_t number = 0;
        for (const char*& item : items)
            args.String(&item);
        if (!add)
            args.Number(&number);
        if (!args.Ok()) {
            transaction.WipeRequest();
            return trace.result = E_FAIL;
        }
        HRESULT rc = add ? pse->addPasswordListItem(items[0], items[1], items[2], items[3], items[4])
                         : pse->deletePasswordListItem(items[0], items[1], items[2], items[3], items[4], number);
        // The request carried a password; the reply overwrites only its start.
        transaction.WipeRequest();
        return trace.result = AnswerRC(transaction, rc);
    }
    case PSE_releaseTokenCache: {
        Trace trace("%8x", "PSEStub::releaseTokenCache");
        const char* tokenName = nullptr;
        if (!args.String(&tokenName).Ok())
            return trace.result = E_FAIL;
        return trace.result = AnswerRC(transaction, pse->releaseTokenCache(tokenName));
    }
    case PSE_getPseFileName: {
        Trace trace("%8x", "PSEStub::getPseFileName");
        const char* name = nullptr;
        HRESULT rc = pse->getPseFileName(&name);
        transaction.WriteRC(rc);
        if (rc >= 0)
            transaction.WriteString(name);
        return trace.result = rc;
    }
    case PSE_control: {
        Trace trace("%8x", "PSEStub::control");
        WireValue<SECAttribute> input;
        WireValue<SECAttribute> output;
        if (!args.Object(&input).Object(&output).Ok())
            return trace.result = E_FAIL;
        HRESULT rc = pse->control(input, output);
        transaction.WriteRC(rc);
        transaction.WriteObject(output.get());
        return trace.result = rc;
    }
    default:
        return -1;
    }
}

PSEStubImpl::PSEStubImpl() : m_root(new (std::nothrow) PSEStub(this)) {}

PSEStubImpl::~PSEStubImpl()
{
    UnregisterAll();
    ITunnelCallback* callback = m_callback.exchange(nullptr);
    if (callback != nullptr)
        callback->Release();
}

HRESULT PSEStubImpl::Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength)
{
    HRESULT hr = ObjCache::Transact(in, inLength, out, outLength);
    if (hr == E_BROKEN_PIPE) {
        // Told once, however many connections fail at the same moment.
        ITunnelCallback* callback = m_callback.exchange(nullptr);
        if (callback != nullptr) {
            callback->Reset(static_cast<ITunnelPSE*>(this));
            callback->Release();
        }
    }
    return hr;
}

HRESULT PSEStubImpl::SetPSE(PSE* pse)
{
    if (m_root == nullptr)
        return E_OUTOFMEMORY;
    return m_root->SetPSE(pse);
}

HRESULT PSEStubImpl::SetCallback(ITunnelCallback* callback)
{
    if (callback != nullptr)
        callback->AddRef();
    ITunnelCallback* old = m_callback.exchange(callback);
    if (old != nullptr)
        old->Release();
    return S_OK;
}

HRESULT PSEStubImpl::RegisterFactory(const char* className, IClassFactory* factory)
{
    ObjCache::RegisterFactory(className, factory);
    return S_OK;
}

}  // namespace ZELK::PSESVC
