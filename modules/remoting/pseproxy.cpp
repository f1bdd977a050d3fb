#include "pseproxy.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "gssauth.h"
#include "pse_methods.h"
#include "zelk_class.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

namespace {

typedef SECTRACE_Fkt_IMPL<int> Trace;

constexpr char kApplFlagPrefix[] = "!applflag.";

// The returned list's values move into the caller's output list element by
// element: an owned old value is freed through its type first, value, type
// and answered flag move, and a pair whose ids differ is skipped.
void MoveAttributes(SECAttribute* returned, SECAttribute* output)
{
    for (; returned != nullptr && output != nullptr; returned = returned->next, output = output->next) {
        if (returned->id != output->id)
            continue;
        if (output->owned && output->value != nullptr && output->type != nullptr && output->type->free != nullptr)
            output->type->free(output->value);
        output->value = returned->value;
        output->type = returned->type;
        output->answered = returned->answered;
        output->owned = returned->owned;
        returned->value = nullptr;
        returned->type = nullptr;
        returned->owned = 0;
    }
}

}  // namespace

PSE* PSEProxy::GetInstance(ITunnel* tunnel, uint32_t number)
{
    ProxyReg* registry = ProxyReg::New();
    if (registry == nullptr)
        return nullptr;
    PSE* root = Proxy<PSEProxy, PSE>::GetInstance(registry, tunnel, number);
    registry->Release();
    return root;
}

void PSEProxy::SetOwner(PSEProxyImpl* owner)
{
    std::lock_guard<std::mutex> lock(m_ownerLock);
    m_owner = owner;
}

HRESULT PSEProxy::Execute(Transaction* transaction)
{
    // The tunnel may receive the reply into the request's buffer; a resend
    // carries the request as it was written.
    Transaction request;
    request.CopyRequest(*transaction);
    ITunnel* used = Tunnel();
    HRESULT rc = ExecuteOn(transaction, used);
    if (rc != E_BROKEN_PIPE)
        return rc;
    ITunnel* current = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_ownerLock);
        if (m_owner == nullptr)
            return rc;
        // Reconnects are serialised: a thread that finds the tunnel already
        // replaced by another one's reconnect only sends again.
        if (IsBroken() || Tunnel() == used) {
            ZELK_PTR(ITunnel) fresh;
            SetTunnel(nullptr);
            m_owner->Reconnect(&fresh);
            if (fresh == nullptr)
                return rc;
            m_owner->ReplaceTunnel(fresh);
            SetTunnel(fresh);
            Registry()->ClearCarried();
            SetBroken(false);
        }
        current = Tunnel();
    }
    transaction->CopyRequest(request);
    return ExecuteOn(transaction, current);
}

bool PSEProxy::Call(Transaction& transaction, HRESULT* rc)
{
    *rc = Execute(&transaction);
    if (*rc < 0)
        return false;
    if (!transaction.ReadRC(rc)) {
        *rc = E_FAIL;
        return false;
    }
    return true;
}

HRESULT PSEProxy::CallRC(Transaction& transaction)
{
    HRESULT rc = S_OK;
    Call(transaction, &rc);
    return rc;
}

template <class T>
HRESULT PSEProxy::CallObject(Transaction& transaction, T** out, bool clearOnFailure)
{
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc))
        return rc;
    if (rc < 0) {
        if (clearOnFailure && out != nullptr)
            *out = nullptr;
        return rc;
    }
    if (!transaction.ReadObject(out))
        return E_FAIL;
    return rc;
}

// The service's bytes go to the caller only when they fit the caller's buffer.
HRESULT PSEProxy::CallBuffer(Transaction& transaction, unsigned char* out, unsigned long* outLength)
{
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc) || rc < 0)
        return rc;
    const unsigned char* data = nullptr;
    size_t n = 0;
    if (!transaction.ReadOctetString(&data, &n))
        return E_FAIL;
    if (outLength == nullptr || *outLength < n || (out == nullptr && n != 0))
        return E_PSE_BUFFERTOOSMALL;
    if (n != 0)
        std::memcpy(out, data, n);
    *outLength = n;
    return rc;
}

HRESULT PSEProxy::getOwnCertificate(const History*, SECAttribute* filter, SET_OF_PersonalCertificateInfo** out)
{
    Trace trace("%8x", "PSEProxy::getOwnCertificate");
    Transaction transaction;
    transaction.Init(Number(), PSE_getOwnCertificate);
    transaction.WriteObject(filter);
    return trace.result = CallObject(transaction, out, true);
}

HRESULT PSEProxy::encryptDigest(const History*, SECAttribute* attributes, const unsigned char* digest,
                                unsigned long digestLength, unsigned char* out, unsigned long* outLength)
{
    Trace trace("%8x", "PSEProxy::encryptDigest");
    Transaction transaction;
    transaction.Init(Number(), PSE_encryptDigest);
    transaction.WriteObject(attributes);
    transaction.WriteOctetString(digest, digest != nullptr ? digestLength : 0);
    return trace.result = CallBuffer(transaction, out, outLength);
}

HRESULT PSEProxy::decryptKey(const History*, SECAttribute* attributes, const unsigned char* in, unsigned long inLength,
                             unsigned char* out, unsigned long* outLength)
{
    Trace trace("%8x", "PSEProxy::decrypt_key");
    Transaction transaction;
    // The reply carries the decrypted key.
    transaction.SetSensitive();
    transaction.Init(Number(), PSE_decryptKey);
    transaction.WriteObject(attributes);
    transaction.WriteOctetString(in, in != nullptr ? inLength : 0);
    return trace.result = CallBuffer(transaction, out, outLength);
}

HRESULT PSEProxy::searchCertificate(SECAttribute* filter, SET_OF_Certificate** out)
{
    Trace trace("%8x", "PSEProxy::searchCertificate");
    Transaction transaction;
    transaction.Init(Number(), PSE_searchCertificate);
    transaction.WriteObject(filter);
    return trace.result = CallObject(transaction, out, false);
}

HRESULT PSEProxy::readApplObject(const char* name, OctetString** out)
{
    Trace trace("%8x", "PSEProxy::readApplObject");
    Transaction transaction;
    transaction.Init(Number(), PSE_readApplObject);
    transaction.WriteString(name);
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc) || rc < 0)
        return trace.result = rc;
    if (!transaction.ReadOctetString(out))
        return trace.result = E_FAIL;
    return trace.result = rc;
}

HRESULT PSEProxy::writeApplObject(const char* name, OctetString* value)
{
    Trace trace("%8x", "PSEProxy::writeApplObject");
    if (name != nullptr && std::strncmp(name, kApplFlagPrefix, sizeof(kApplFlagPrefix) - 1) == 0)
        return trace.result = S_OK;
    Transaction transaction;
    transaction.Init(Number(), PSE_writeApplObject);
    transaction.WriteString(name);
    transaction.WriteOctetString(value);
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::listApplObjects(SET_OF_String** out)
{
    Trace trace("%8x", "PSEProxy::listApplObjects");
    Transaction transaction;
    transaction.Init(Number(), PSE_listApplObjects);
    return trace.result = CallObject(transaction, out, false);
}

HRESULT PSEProxy::getPrivateKey(const char* tokenName, const char* keyId, TokenObjectPrivateKey** out)
{
    Trace trace("%8x", "PSEProxy::getPrivateKey");
    Transaction transaction;
    transaction.Init(Number(), PSE_getPrivateKey);
    transaction.WriteString(tokenName);
    transaction.WriteString(keyId);
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc) || rc < 0)
        return trace.result = rc;
    TokenObjectPrivateKey* key = nullptr;
    if (!ReadTokenObject(transaction, this, &key))
        return trace.result = E_FAIL;
    if (out != nullptr)
        *out = key;
    else if (key != nullptr)
        key->Release();
    return trace.result = rc;
}

HRESULT PSEProxy::getCertificate(const char* tokenName, const char* keyId, const char* label,
                                 TokenObjectCertificate** out)
{
    Trace trace("%8x", "PSEProxy::getCertificate");
    Transaction transaction;
    transaction.Init(Number(), PSE_getCertificate);
    transaction.WriteString(tokenName);
    transaction.WriteString(keyId);
    transaction.WriteString(label);
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc) || rc < 0)
        return trace.result = rc;
    TokenObjectCertificate* certificate = nullptr;
    if (transaction.Remaining() != 0 && !ReadTokenObject(transaction, this, &certificate))
        return trace.result = E_FAIL;
    if (out != nullptr)
        *out = certificate;
    else if (certificate != nullptr)
        certificate->Release();
    return trace.result = rc;
}

HRESULT PSEProxy::searchSlotInfos(SET_OF_SecSlotInfo** out)
{
    Trace trace("%8x", "PSEProxy::searchSlotInfos");
    SECTRACE_WriteLn(nullptr, 1, "not implemented");
    Transaction transaction;
    transaction.Init(Number(), PSE_searchSlotInfos);
    return trace.result = CallObject(transaction, out, false);
}

HRESULT PSEProxy::writeSlotInfos(SET_OF_SecSlotInfo* infos)
{
    Trace trace("%8x", "PSEProxy::writeSlotInfos");
    SECTRACE_WriteLn(nullptr, 1, "not implemented");
    Transaction transaction;
    transaction.Init(Number(), PSE_writeSlotInfos);
    transaction.WriteObject(infos);
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::readSlotInfos(SET_OF_SecSlotInfo** out)
{
    Trace trace("%8x", "PSEProxy::readSlotInfos");
    Transaction transaction;
    transaction.Init(Number(), PSE_readSlotInfos);
    return trace.result = CallObject(transaction, out, false);
}

HRESULT PSEProxy::getSlotByName(SecSlot** out, const char* name, unsigned char flag)
{
    Trace trace("%8x", "PSEProxy::getSlotByName");
    if (out == nullptr)
        return trace.result = -1;
    Transaction transaction;
    transaction.Init(Number(), PSE_getSlotByName);
    transaction.WriteString(name);
    transaction.WriteBoolean(flag != 0);
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc))
        return trace.result = rc;
    // The slot's number comes whenever the service had a slot, whatever its code.
    SecSlot* slot = nullptr;
    if (transaction.Remaining() != 0 && !ReadProxy<SlotProxy>(transaction, this, &slot))
        return trace.result = E_FAIL;
    *out = slot;
    return trace.result = rc;
}

HRESULT PSEProxy::getSlots(SecSlot** slots, unsigned long* count)
{
    Trace trace("%8x", "PSEProxy::getSlots");
    if (count != nullptr && *count > kMaxWireCount)
        return trace.result = E_INVALIDARG;
    unsigned long capacity = count != nullptr ? *count : 0;
    Transaction transaction;
    transaction.Init(Number(), PSE_getSlots);
    transaction.WriteBoolean(slots != nullptr);
    transaction.WriteBoolean(count != nullptr);
    if (count != nullptr)
        transaction.Write32(static_cast<uint32_t>(capacity));
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc))
        return trace.result = rc;
    if (count == nullptr)
        return trace.result = rc;
    uint32_t reported = 0;
    if (!transaction.Read32(&reported))
        return trace.result = E_FAIL;
    // Numbers come only for the slots that fit the array the request offered.
    if (slots != nullptr && capacity != 0) {
        unsigned long n = std::min<unsigned long>(reported, capacity);
        for (unsigned long i = 0; i < n; ++i) {
            if (!ReadProxy<SlotProxy>(transaction, this, &slots[i])) {
                for (unsigned long j = 0; j < i; ++j) {
                    if (slots[j] != nullptr)
                        slots[j]->Release();
                    slots[j] = nullptr;
                }
                return trace.result = E_FAIL;
            }
        }
    }
    *count = reported;
    return trace.result = rc;
}

HRESULT PSEProxy::getTokenByName(SecToken** out, const char* name, unsigned char flag)
{
    Trace trace("%8x", "PSEProxy::getTokenByName");
    if (out == nullptr)
        return trace.result = -1;
    *out = nullptr;
    Transaction transaction;
    transaction.Init(Number(), PSE_getTokenByName);
    transaction.WriteString(name);
    transaction.WriteBoolean(flag != 0);
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc) || rc < 0)
        return trace.result = rc;
    if (transaction.Remaining() != 0 && !ReadProxy<TokenProxy>(transaction, this, out))
        return trace.result = E_FAIL;
    return trace.result = rc;
}

HRESULT PSEProxy::getSlotEvents(SecSlotEvents** out)
{
    Trace trace("%8x", "PSEProxy::getSlotEvents");
    if (out == nullptr)
        return trace.result = -1;
    *out = nullptr;
    Transaction transaction;
    transaction.Init(Number(), PSE_getSlotEvents);
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc))
        return trace.result = rc;
    if (!ReadProxy<SlotEventsProxy>(transaction, this, out))
        return trace.result = E_FAIL;
    return trace.result = rc;
}

HRESULT PSEProxy::isInTrustedCerts(const Certificate* certificate)
{
    Trace trace("%8x", "PSEProxy::isInTrustedCerts");
    Transaction transaction;
    transaction.Init(Number(), PSE_isInTrustedCerts);
    transaction.WriteObject(certificate);
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::getAllTrustedCerts(SET_OF_Certificate** out)
{
    Trace trace("%8x", "PSEProxy::getAllTrustedCerts");
    Transaction transaction;
    transaction.Init(Number(), PSE_getAllTrustedCerts);
    return trace.result = CallObject(transaction, out, false);
}

HRESULT PSEProxy::getTrustedCertList(SET_OF_Certificate** out)
{
    Trace trace("%8x", "PSEProxy::getTrustedCertList");
    Transaction transaction;
    transaction.Init(Number(), PSE_getTrustedCertList);
    return trace.result = CallObject(transaction, out, false);
}

HRESULT PSEProxy::addTrustedCertListItem(const Certificate* certificate)
{
    Trace trace("%8x", "PSEProxy::addTrustedCertListItem");
    Transaction transaction;
    transaction.Init(Number(), PSE_addTrustedCertListItem);
    transaction.WriteObject(certificate);
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::deleteTrustedCertListItem(const DName* name, unsigned long number)
{
    Trace trace("%8x", "PSEProxy::deleteTrustedCertListItem");
    Transaction transaction;
    transaction.Init(Number(), PSE_deleteTrustedCertListItem);
    transaction.WriteObject(name);
    transaction.Write32(static_cast<uint32_t>(number));
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::getCertInfoList(SET_OF_PersonalCertificateInfo** out)
{
    Trace trace("%8x", "PSEProxy::getCertInfoList");
    Transaction transaction;
    transaction.Init(Number(), PSE_getCertInfoList);
    return trace.result = CallObject(transaction, out, true);
}

HRESULT PSEProxy::addCertInfoListItem(const PersonalCertificateInfo* info)
{
    Trace trace("%8x", "PSEProxy::addCertInfoListItem");
    Transaction transaction;
    transaction.Init(Number(), PSE_addCertInfoListItem);
    transaction.WriteObject(info);
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::deleteCertInfoListItem(const char* tokenName, const char* keyId, const char* label,
                                         unsigned long number)
{
    Trace trace("%8x", "PSEProxy::deleteCertInfoListItem");
    Transaction transaction;
    transaction.Init(Number(), PSE_deleteCertInfoListItem);
    transaction.WriteString(tokenName);
    transaction.WriteString(keyId);
    transaction.WriteString(label);
    transaction.Write32(static_cast<uint32_t>(number));
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::getPasswordList(SET_OF_PIN_Info** out)
{
    Trace trace("%8x", "PSEProxy::getPasswordList");
    Transaction transaction;
    transaction.Init(Number(), PSE_getPasswordList);
    return trace.result = CallObject(transaction, out, false);
}

HRESULT PSEProxy::addPasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                      const char* item4)
{
    Trace trace("%8x", "PSEProxy::addPasswordListItem");
    Transaction transaction;
    transaction.SetSensitive();
    transaction.Init(Number(), PSE_addPasswordListItem);
    for (const char* item : {item0, item1, item2, item3, item4})
        transaction.WriteString(item);
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::deletePasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                         const char* item4, unsigned long number)
{
    Trace trace("%8x", "PSEProxy::deletePasswordListItem");
    Transaction transaction;
    transaction.SetSensitive();
    transaction.Init(Number(), PSE_deletePasswordListItem);
    for (const char* item : {item0, item1, item2, item3, item4})
        transaction.WriteString(item);
    transaction.Write32(static_cast<uint32_t>(number));
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::releaseTokenCache(const char* tokenName)
{
    Trace trace("%8x", "PSEProxy::releaseTokenCache");
    Transaction transaction;
    transaction.Init(Number(), PSE_releaseTokenCache);
    transaction.WriteString(tokenName);
    return trace.result = CallRC(transaction);
}

HRESULT PSEProxy::getPseFileName(const char** name)
{
    Trace trace("%8x", "PSEProxy::getPseFileName");
    return trace.result = getStaticString(PSE_getPseFileName, m_fileName, name);
}

HRESULT PSEProxy::cred_list(SET_OF_String**)
{
    Trace trace("%8x", "PSEProxy::cred_list");
    return trace.result = E_NOTIMPL;
}

HRESULT PSEProxy::cred_getParameters(const char*, CredType*, unsigned char*, unsigned long*)
{
    Trace trace("%8x", "PSEProxy::cred_getParameters");
    return trace.result = E_NOTIMPL;
}

HRESULT PSEProxy::cred_initCredUpdate()
{
    Trace trace("%8x", "PSEProxy::credcred_initCredUpdate_list");
    return trace.result = E_NOTIMPL;
}

HRESULT PSEProxy::loginBySystemParameters(const char*)
{
    Trace trace("%8x", "PSEProxy::loginBySystemParameters");
    return trace.result = S_OK;
}

HRESULT PSEProxy::loginWithPassword(const char*, const unsigned char*, unsigned long)
{
    Trace trace("%8x", "PSEProxy::loginWithPassword");
    return trace.result = S_OK;
}

HRESULT PSEProxy::cred_delete(const char*)
{
    Trace trace("%8x", "PSEProxy::cred_delete");
    return trace.result = E_NOTIMPL;
}

HRESULT PSEProxy::cred_addPassword(const char*, const unsigned char*, unsigned long, const unsigned char*,
                                   unsigned long)
{
    Trace trace("%8x", "PSEProxy::cred_addPassword");
    return trace.result = E_NOTIMPL;
}

HRESULT PSEProxy::cred_addSystemParameters(const char*, const char*)
{
    Trace trace("%8x", "PSEProxy::cred_addSystemParameters");
    return trace.result = E_NOTIMPL;
}

HRESULT PSEProxy::cred_change(const char*, const unsigned char*, unsigned long, const char*, unsigned long)
{
    Trace trace("%8x", "PSEProxy::cred_change");
    return trace.result = E_NOTIMPL;
}

HRESULT PSEProxy::cred_finalCredUpdate()
{
    Trace trace("%8x", "PSEProxy::cred_finalCredUpdate");
    return trace.result = E_NOTIMPL;
}

HRESULT PSEProxy::control(SECAttribute* in, SECAttribute* out)
{
    Trace trace("%8x", "PSEProxy::control");
    Transaction transaction;
    transaction.Init(Number(), PSE_control);
    transaction.WriteObject(in);
    transaction.WriteObject(out);
    HRESULT rc = S_OK;
    if (!Call(transaction, &rc))
        return trace.result = rc;
    WireValue<SECAttribute> returned;
    if (!transaction.ReadObject(&returned))
        return trace.result = E_FAIL;
    MoveAttributes(returned, out);
    return trace.result = rc;
}

PSEProxyImpl::~PSEProxyImpl()
{
    Disconnect(nullptr);
}

ZELK_PTR(ITunnel) PSEProxyImpl::CurrentTunnel()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_tunnel;
}

void PSEProxyImpl::ReplaceTunnel(ITunnel* tunnel)
{
    ZELK_PTR(ITunnel) old;
    std::lock_guard<std::mutex> lock(m_lock);
    old = m_tunnel;
    m_tunnel = tunnel;
}

void PSEProxyImpl::MakeRoot(ITunnel* tunnel)
{
    auto* root = static_cast<PSEProxy*>(PSEProxy::GetInstance(tunnel, 0));
    if (root == nullptr)
        return;
    root->SetOwner(this);
    PSEProxy* old = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        old = m_root;
        m_root = root;
    }
    if (old != nullptr) {
        old->SetOwner(nullptr);
        old->Release();
    }
}

HRESULT PSEProxyImpl::SetTunnel(const char* module, const char* className)
{
    if (module == nullptr || className == nullptr)
        return E_INVALIDARG;
    ZELK_PTR(ITunnel) tunnel;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_module = module;
        m_className = className;
    }
    if (Reconnect(&tunnel) < 0 || tunnel == nullptr)
        return E_FAIL;
    ReplaceTunnel(tunnel);
    MakeRoot(tunnel);
    return S_OK;
}

HRESULT PSEProxyImpl::Connect(IUnknown* source)
{
    ZELK_PTR(ITunnel) tunnel;
    if (source != nullptr) {
        tunnel = source;
        if (tunnel == nullptr)
            return E_INVALIDARG;
    } else if (Reconnect(&tunnel) < 0 || tunnel == nullptr) {
        return S_OK;
    }
    ReplaceTunnel(tunnel);
    MakeRoot(tunnel);
    return S_OK;
}

HRESULT PSEProxyImpl::Disconnect(IUnknown*)
{
    PSEProxy* root = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        root = m_root;
        m_root = nullptr;
    }
    if (root != nullptr) {
        root->SetOwner(nullptr);
        root->Release();
    }
    ZELK_PTR(ITunnel) tunnel = CurrentTunnel();
    if (tunnel != nullptr)
        tunnel->Disconnect();
    return S_OK;
}

HRESULT PSEProxyImpl::GetPSE(PSE** out)
{
    if (out == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_lock);
    *out = m_root;
    if (m_root != nullptr)
        m_root->AddRef();
    return S_OK;
}

HRESULT PSEProxyImpl::Reconnect(ITunnel** out)
{
    std::string module;
    std::string className;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        module = m_module;
        className = m_className;
    }
    if (module.empty() || className.empty())
        return E_FAIL;
    return ZELK_CreateObject(module.c_str(), className.c_str(), IID_ITunnel, reinterpret_cast<void**>(out));
}

HRESULT PSEProxyImpl::CreateObject(const char* className, const GUID& iid, void** out)
{
    Transaction transaction;
    transaction.InitFunction(FUNCTION_CREATE_BY_NAME);
    transaction.WriteString(className);
    transaction.WriteGUID(iid);
    ZELK_PTR(ITunnel) tunnel = CurrentTunnel();
    HRESULT rc = transaction.Execute(tunnel);
    if (rc < 0)
        return rc;
    uint32_t number = 0;
    if (!transaction.ReadRC(&rc))
        return E_FAIL;
    if (rc < 0)
        return rc;
    if (!transaction.Read32(&number))
        return E_FAIL;
    if (number == 0)
        return -1;
    if (!(iid == IID_IGssAuth) || (number & kMethodIndexMask) != 0 || KindOfNumber(number) != API_IUNKNOWN)
        return E_FAIL;
    ProxyReg* registry = ProxyReg::New();
    if (registry == nullptr)
        return E_FAIL;
    IGssAuth* proxy = GssAuthServerProxy::GetInstance(registry, tunnel, number);
    registry->Release();
    if (proxy == nullptr)
        return E_FAIL;
    if (out != nullptr)
        *out = proxy;
    else
        proxy->Release();
    return rc;
}

HRESULT PSEProxyImpl::GetType(char** type)
{
    if (type == nullptr)
        return -1;
    ZELK_PTR(ITunnelInfo) info = CurrentTunnel().getObject();
    if (info == nullptr)
        return -1;
    return info->GetType(type);
}

}  // namespace ZELK::PSESVC
