// Slots, slot-event sources and PINs over the wire. Unlike the other kinds,
// their proxies read the outputs whatever the service's code is.
#include <cstring>

#include "kinds.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

namespace {

typedef SECTRACE_Fkt_IMPL<int> Trace;

constexpr Method kSlot = API_SLOT * 64;
constexpr Method kEvents = API_SLOTEVENTS * 64;
constexpr Method kPIN = API_TOKENPIN * 64;

// A request that carries a PIN: its buffer is wiped before it goes.
HRESULT SendSecret(ProxyBase* self, Method method, std::initializer_list<const char*> texts)
{
    Transaction transaction;
    transaction.SetSensitive();
    transaction.Init(self->Number(), method);
    for (const char* text : texts)
        transaction.WriteString(text);
    return CallRemoteRC(self, transaction);
}

HRESULT SendPlain(ProxyBase* self, Method method)
{
    Transaction transaction;
    transaction.Init(self->Number(), method);
    return CallRemoteRC(self, transaction);
}

}  // namespace

// ---- SlotProxy ----

HRESULT SlotProxy::tokenInserted()
{
    Trace trace("%8x", "SlotProxy::tokenInserted");
    return trace.result = SendPlain(this, kSlot + 7);
}

HRESULT SlotProxy::getP11SlotInfo(CK_SLOT_INFO* info)
{
    Trace trace("%8x", "SlotProxy::getP11SlotInfo");
    if (info == nullptr)
        return trace.result = -1;
    std::memset(info, 0, sizeof(*info));
    Transaction transaction;
    transaction.Init(Number(), kSlot + 8);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    unsigned char image[kSlotInfoImage];
    if (!transaction.ReadBuffer(image, sizeof(image)))
        return trace.result = E_FAIL;
    DecodeSlotInfo(image, info);
    return trace.result = rc;
}

HRESULT SlotProxy::getSlotName(const char** name)
{
    Trace trace("%8x", "SlotProxy::getSlotName");
    return trace.result = getStaticString(kSlot + 9, m_name, name);
}

HRESULT SlotProxy::getToken(SecToken** out)
{
    Trace trace("%8x", "SlotProxy::getToken");
    if (out == nullptr)
        return trace.result = -1;
    Transaction transaction;
    transaction.Init(Number(), kSlot + 10);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (transaction.Remaining() == 0) {
        *out = nullptr;
        return trace.result = rc;
    }
    if (!ReadProxy<TokenProxy>(transaction, this, out))
        return trace.result = E_FAIL;
    return trace.result = rc;
}

HRESULT SlotProxy::releaseToken()
{
    Trace trace("%8x", "SlotProxy::releaseToken");
    return trace.result = S_OK;
}

// ---- SlotEventsProxy ----

HRESULT SlotEventsProxy::wait(unsigned long flags, SecSlot** slot)
{
    Trace trace("%8x", "SlotEventsProxy::wait");
    Transaction transaction;
    transaction.Init(Number(), kEvents + 7);
    transaction.Write32(static_cast<uint32_t>(flags));
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (slot == nullptr)
        return trace.result = rc;
    if (transaction.Remaining() == 0) {
        *slot = nullptr;
        return trace.result = rc;
    }
    if (!ReadProxy<SlotProxy>(transaction, this, slot))
        return trace.result = E_FAIL;
    return trace.result = rc;
}

HRESULT SlotEventsProxy::cancel()
{
    Trace trace("%8x", "SlotEventsProxy::cancel");
    return trace.result = SendPlain(this, kEvents + 8);
}

// ---- TokenPINProxy ----

HRESULT TokenPINProxy::getName(const char** name)
{
    Trace trace("%8x", "TokenPINProxy::getName");
    return trace.result = getStaticString(kPIN + 7, m_name, name);
}

HRESULT TokenPINProxy::getId(int* id)
{
    Trace trace("%8x", "TokenPINProxy::getId");
    Transaction transaction;
    transaction.Init(Number(), kPIN + 8);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    uint32_t value = 0;
    const bool read = transaction.Read32(&value);
    if (id != nullptr)
        *id = read ? static_cast<int>(value) : 0;
    return trace.result = read ? rc : E_FAIL;
}

HRESULT TokenPINProxy::isVerified()
{
    Trace trace("%8x", "TokenPINProxy::isVerified");
    return trace.result = SendPlain(this, kPIN + 9);
}

HRESULT TokenPINProxy::getInfo(PIN_CHAR_SET* charSet, PIN_MODE* mode, PIN_TYPE* type, const MIN_MAX** limits,
                               PUK_MODE* pukMode)
{
    Trace trace("%8x", "TokenPINProxy::getInfo");
    Transaction transaction;
    transaction.Init(Number(), kPIN + 10);
    transaction.WriteBoolean(charSet != nullptr);
    transaction.WriteBoolean(mode != nullptr);
    transaction.WriteBoolean(type != nullptr);
    transaction.WriteBoolean(limits != nullptr);
    transaction.WriteBoolean(pukMode != nullptr);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    for (uint32_t* word : {charSet, mode, type}) {
        if (word == nullptr)
            continue;
        *word = 0;
        if (!transaction.Read32(word))
            return trace.result = E_FAIL;
    }
    if (limits != nullptr) {
        bool present = false;
        if (!transaction.ReadBoolean(&present))
            return trace.result = E_FAIL;
        *limits = nullptr;
        if (present) {
            MIN_MAX received {};
            if (!transaction.Read32(&received.min) || !transaction.Read32(&received.max))
                return trace.result = E_FAIL;
            std::lock_guard<std::mutex> lock(m_lock);
            m_limits = received;
            *limits = &m_limits;
        }
    }
    if (pukMode != nullptr) {
        *pukMode = 0;
        if (!transaction.Read32(pukMode))
            return trace.result = E_FAIL;
    }
    return trace.result = rc;
}

HRESULT TokenPINProxy::getPINcnt(int* count)
{
    Trace trace("%8x", "TokenPINProxy::getPINcnt");
    if (count == nullptr)
        return trace.result = -1;
    *count = 0;
    Transaction transaction;
    transaction.Init(Number(), kPIN + 11);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    uint32_t value = 0;
    if (!transaction.Read32(&value))
        return trace.result = E_FAIL;
    *count = static_cast<int>(value);
    return trace.result = rc;
}

HRESULT TokenPINProxy::getPINPadInfo(unsigned int* info)
{
    Trace trace("%8x", "TokenPINProxy::getPINPadInfo");
    Transaction transaction;
    transaction.Init(Number(), kPIN + 12);
    transaction.WriteBoolean(info != nullptr);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (info != nullptr) {
        uint32_t value = 0;
        if (!transaction.Read32(&value))
            return trace.result = E_FAIL;
        *info = value;
    }
    return trace.result = rc;
}

HRESULT TokenPINProxy::getUnblockObject(TokenPIN** out)
{
    Trace trace("%8x", "TokenPINProxy::getUnblockObject");
    Transaction transaction;
    transaction.Init(Number(), kPIN + 13);
    HRESULT rc = S_OK;
    if (!CallRemote(this, transaction, &rc))
        return trace.result = rc;
    if (transaction.Remaining() < 4)
        return trace.result = E_FAIL;
    if (out == nullptr) {
        uint32_t number = 0;
        transaction.Read32(&number);
        DropNumber(this, number);
        return trace.result = rc;
    }
    if (!ReadProxy<TokenPINProxy>(transaction, this, out))
        return trace.result = E_FAIL;
    return trace.result = rc;
}

HRESULT TokenPINProxy::beginUnblock()
{
    Trace trace("%8x", "TokenPINProxy::beginUnblock");
    return trace.result = SendPlain(this, kPIN + 14);
}

HRESULT TokenPINProxy::finishUnblock(const char* pin)
{
    Trace trace("%8x", "TokenPINProxy::finishUnblock");
    return trace.result = SendSecret(this, kPIN + 15, {pin});
}

HRESULT TokenPINProxy::login(const char* pin, const History*)
{
    Trace trace("%8x", "TokenPINProxy::login");
    return trace.result = SendSecret(this, kPIN + 16, {pin});
}

HRESULT TokenPINProxy::logout()
{
    Trace trace("%8x", "TokenPINProxy::logout");
    return trace.result = SendPlain(this, kPIN + 17);
}

HRESULT TokenPINProxy::change(const char* oldPin, const char* newPin)
{
    Trace trace("%8x", "TokenPINProxy::change");
    return trace.result = SendSecret(this, kPIN + 18, {oldPin, newPin});
}

HRESULT TokenPINProxy::set(const char* pin)
{
    Trace trace("%8x", "TokenPINProxy::set");
    return trace.result = SendSecret(this, kPIN + 19, {pin});
}

// ---- Stubs ----

HRESULT SlotStub::Execute(Method method, TransactionStub& transaction)
{
    switch (method) {
    case kSlot + 7: {
        HRESULT rc = m_object->tokenInserted();
        transaction.WriteRC(rc);
        return rc;
    }
    case kSlot + 8: {
        CK_SLOT_INFO info;
        std::memset(&info, 0, sizeof(info));
        HRESULT rc = m_object->getP11SlotInfo(&info);
        unsigned char image[kSlotInfoImage];
        EncodeSlotInfo(info, image);
        transaction.WriteRC(rc);
        transaction.WriteBuffer(image, sizeof(image));
        return rc;
    }
    case kSlot + 9: {
        const char* name = nullptr;
        HRESULT rc = m_object->getSlotName(&name);
        transaction.WriteRC(rc);
        transaction.WriteString(name);
        return rc;
    }
    case kSlot + 10: {
        SecToken* token = nullptr;
        HRESULT rc = m_object->getToken(&token);
        uint32_t number = HandOut<TokenStub>(m_cache, token);
        transaction.WriteRC(rc);
        if (token != nullptr)
            transaction.Write32(number);
        return rc;
    }
    default:
        return -1;
    }
}

HRESULT SlotEventsStub::Execute(Method method, TransactionStub& transaction)
{
    switch (method) {
    case kEvents + 7: {
        Trace trace("%8x", "SlotEventsStub::wait");
        uint32_t flags = 0;
        if (!transaction.Read32(&flags))
            return trace.result = E_FAIL;
        SecSlot* slot = nullptr;
        HRESULT rc = m_object->wait(flags, &slot);
        uint32_t number = HandOut<SlotStub>(m_cache, slot);
        transaction.WriteRC(rc);
        if (slot != nullptr)
            transaction.Write32(number);
        return trace.result = rc;
    }
    case kEvents + 8: {
        Trace trace("%8x", "SlotEventsStub::cancel");
        HRESULT rc = m_object->cancel();
        transaction.WriteRC(rc);
        return trace.result = rc;
    }
    default:
        return -1;
    }
}

HRESULT TokenPINStub::Execute(Method method, TransactionStub& transaction)
{
    TokenPIN* pin = m_object;
    switch (method) {
    case kPIN + 7: {
        const char* name = nullptr;
        HRESULT rc = pin->getName(&name);
        transaction.WriteRC(rc);
        transaction.WriteString(name);
        return rc;
    }
    case kPIN + 8:
    case kPIN + 11: {
        int value = 0;
        HRESULT rc = method == kPIN + 8 ? pin->getId(&value) : pin->getPINcnt(&value);
        transaction.WriteRC(rc);
        transaction.Write32(static_cast<uint32_t>(value));
        return rc;
    }
    case kPIN + 10: {
        bool wanted[5] = {};
        for (bool& w : wanted) {
            if (!transaction.ReadBoolean(&w))
                return E_FAIL;
        }
        PIN_CHAR_SET charSet = 0;
        PIN_MODE mode = 2;
        PIN_TYPE type = 1;
        const MIN_MAX* limits = nullptr;
        PUK_MODE pukMode = 0xFFFFFFFF;
        HRESULT rc =
            pin->getInfo(wanted[0] ? &charSet : nullptr, wanted[1] ? &mode : nullptr, wanted[2] ? &type : nullptr,
                         wanted[3] ? &limits : nullptr, wanted[4] ? &pukMode : nullptr);
        transaction.WriteRC(rc);
        const uint32_t words[] = {charSet, mode, type};
        for (int i = 0; i < 3; ++i) {
            if (wanted[i])
                transaction.Write32(words[i]);
        }
        if (wanted[3]) {
            transaction.WriteBoolean(limits != nullptr);
            if (limits != nullptr) {
                transaction.Write32(limits->min);
                transaction.Write32(limits->max);
            }
        }
        if (wanted[4])
            transaction.Write32(pukMode);
        return rc;
    }
    case kPIN + 12: {
        bool wanted = false;
        if (!transaction.ReadBoolean(&wanted))
            return E_FAIL;
        unsigned int info = 0;
        HRESULT rc = pin->getPINPadInfo(wanted ? &info : nullptr);
        transaction.WriteRC(rc);
        if (wanted)
            transaction.Write32(info);
        return rc;
    }
    case kPIN + 13: {
        TokenPIN* unblock = nullptr;
        HRESULT rc = pin->getUnblockObject(&unblock);
        uint32_t number = HandOut<TokenPINStub>(m_cache, unblock);
        transaction.WriteRC(rc);
        if (unblock != nullptr)
            transaction.Write32(number);
        return rc;
    }
    case kPIN + 9:
    case kPIN + 14:
    case kPIN + 17: {
        HRESULT rc = method == kPIN + 9 ? pin->isVerified() : method == kPIN + 14 ? pin->beginUnblock() : pin->logout();
        transaction.WriteRC(rc);
        return rc;
    }
    case kPIN + 15:
    case kPIN + 16:
    case kPIN + 18:
    case kPIN + 19: {
        const char* first = nullptr;
        const char* second = nullptr;
        bool ok = transaction.ReadString(&first);
        if (ok && method == kPIN + 18)
            ok = transaction.ReadString(&second);
        if (!ok) {
            transaction.WipeRequest();
            return E_FAIL;
        }
        HRESULT rc = S_OK;
        if (method == kPIN + 15)
            rc = pin->finishUnblock(first);
        else if (method == kPIN + 16)
            rc = pin->login(first, nullptr);
        else if (method == kPIN + 18)
            rc = pin->change(first, second);
        else
            rc = pin->set(first);
        transaction.WipeRequest();
        transaction.WriteRC(rc);
        return rc;
    }
    default:
        return -1;
    }
}

}  // namespace ZELK::PSESVC
