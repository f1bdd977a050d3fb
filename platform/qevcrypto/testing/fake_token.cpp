// Doubles of PINs, tokens, slots and slot events.
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "qev_doubles.h"

namespace kestrin::qevtest {

// PIN

FakePIN::FakePIN(std::string name, int id, std::string value)
    : Fake<TokenPIN>("FakePIN"), pin(std::move(value)), m_name(std::move(name)), m_id(id)
{}

FakePIN::~FakePIN()
{
    if (unblock != nullptr)
        unblock->Release();
}

HRESULT FakePIN::getName(const char** name)
{
    HRESULT hr = Answer("getName");
    if (name != nullptr)
        *name = m_name.c_str();
    return hr;
}

HRESULT FakePIN::getId(int* id)
{
    HRESULT hr = Answer("getId");
    if (id != nullptr)
        *id = m_id;
    return hr;
}

HRESULT FakePIN::isVerified()
{
    return Answer("isVerified", verified ? S_OK : S_FALSE);
}

HRESULT FakePIN::getInfo(PIN_CHAR_SET* charSet, PIN_MODE* mode, PIN_TYPE* type, const MIN_MAX** limitsOut,
                         PUK_MODE* pukMode)
{
    if (charSet != nullptr)
        *charSet = 0;
    if (mode != nullptr)
        *mode = 2;
    if (type != nullptr)
        *type = 1;
    if (limitsOut != nullptr)
        *limitsOut = &limits;
    if (pukMode != nullptr)
        *pukMode = 0;
    return Answer("getInfo");
}

HRESULT FakePIN::getPINcnt(int* count)
{
    HRESULT hr = Answer("getPINcnt");
    if (count != nullptr)
        *count = tries;
    return hr;
}

HRESULT FakePIN::getPINPadInfo(unsigned int* info)
{
    if (info != nullptr)
        *info = 0;
    return Answer("getPINPadInfo");
}

HRESULT FakePIN::getUnblockObject(TokenPIN** out)
{
    if (out == nullptr)
        return Answer("getUnblockObject", E_POINTER);
    *out = nullptr;
    HRESULT hr = Answer("getUnblockObject", unblock != nullptr ? S_OK : S_FALSE);
    if (SUCCEEDED(hr) && unblock != nullptr) {
        unblock->AddRef();
        *out = unblock;
    }
    return hr;
}

HRESULT FakePIN::beginUnblock()
{
    return Answer("beginUnblock");
}

HRESULT FakePIN::finishUnblock(const char* value)
{
    HRESULT hr = S_OK;
    if (Scripted("finishUnblock", hr))
        return hr;
    if (value == nullptr)
        return E_INVALIDARG;
    pin = value;
    tries = 3;
    return S_OK;
}

HRESULT FakePIN::login(const char* value, const History*)
{
    HRESULT hr = S_OK;
    if (Scripted("login", hr))
        return hr;
    if (tries <= 0)
        return E_TOKEN_PINBLOCKED;
    if (value == nullptr || pin != value) {
        --tries;
        return tries <= 0 ? E_TOKEN_PINBLOCKED : E_TOKEN_PINWRONG;
    }
    verified = true;
    tries = 3;
    return S_OK;
}

HRESULT FakePIN::logout()
{
    verified = false;
    return Answer("logout");
}

HRESULT FakePIN::change(const char* oldValue, const char* newValue)
{
    HRESULT hr = S_OK;
    if (Scripted("change", hr))
        return hr;
    if (oldValue == nullptr || newValue == nullptr || pin != oldValue)
        return E_TOKEN_PINWRONG;
    pin = newValue;
    return S_OK;
}

HRESULT FakePIN::set(const char* value)
{
    HRESULT hr = S_OK;
    if (Scripted("set", hr))
        return hr;
    if (value == nullptr)
        return E_INVALIDARG;
    pin = value;
    return S_OK;
}

// Token

FakeToken::FakeToken(std::string name, std::string label, std::string serial)
    : Fake<SecToken>("FakeToken"), m_name(std::move(name)), m_label(std::move(label)), m_serial(std::move(serial))
{
    SetResult("getInitInfo", E_NOTIMPL);
    SetResult("initToken", E_NOTIMPL);
    SetResult("genKeyPair", E_NOTIMPL);
    SetResult("createPrivateKeyObj", E_NOTIMPL);
    SetResult("createPublicKeyObj", E_NOTIMPL);
    SetResult("createCertificateObj", E_NOTIMPL);
    SetResult("createDataObj", E_NOTIMPL);
}

FakeToken::~FakeToken()
{
    for (TokenObjectDouble* object : m_objects)
        object->AsTokenObject()->Release();
    for (TokenPIN* p : m_pins)
        p->Release();
}

void FakeToken::Keep(TokenObjectDouble* object)
{
    object->AsTokenObject()->AddRef();
    m_objects.push_back(object);
}

void FakeToken::AddObject(FakeDataObject* object)
{
    Keep(object);
}
void FakeToken::AddObject(FakeCertificateObject* object)
{
    Keep(object);
}
void FakeToken::AddObject(FakePublicKeyObject* object)
{
    Keep(object);
}
void FakeToken::AddObject(FakePrivateKeyObject* object)
{
    Keep(object);
}
void FakeToken::AddObject(FakeSecretKeyObject* object)
{
    Keep(object);
}

void FakeToken::AddPIN(TokenPIN* pinObject)
{
    pinObject->AddRef();
    m_pins.push_back(pinObject);
}

HRESULT FakeToken::isValid()
{
    return Answer("isValid");
}

namespace {

HRESULT Text(const std::string& value, const char** out, HRESULT hr)
{
    if (out != nullptr)
        *out = value.c_str();
    return hr;
}

}  // namespace

HRESULT FakeToken::getTokenProfile(const char** out)
{
    return Text(profile, out, Answer("getTokenProfile"));
}

HRESULT FakeToken::getTokenName(const char** name)
{
    return Text(m_name, name, Answer("getTokenName"));
}

HRESULT FakeToken::getTokenLabel(const char** label)
{
    return Text(m_label, label, Answer("getTokenLabel"));
}

HRESULT FakeToken::getSerialNumber(const char** serial)
{
    return Text(m_serial, serial, Answer("getSerialNumber"));
}

HRESULT FakeToken::getP11TokenInfo(CK_TOKEN_INFO* out)
{
    if (out != nullptr)
        *out = info;
    return Answer("getP11TokenInfo");
}

HRESULT FakeToken::getCardPIN(TokenPIN** out)
{
    if (out == nullptr)
        return Answer("getCardPIN", E_POINTER);
    *out = nullptr;
    HRESULT hr = Answer("getCardPIN", m_pins.empty() ? S_FALSE : S_OK);
    if (SUCCEEDED(hr) && !m_pins.empty()) {
        m_pins.front()->AddRef();
        *out = m_pins.front();
    }
    return hr;
}

HRESULT FakeToken::getPINs(TokenPIN** pins, unsigned long* count)
{
    HRESULT hr = S_OK;
    if (Scripted("getPINs", hr))
        return hr;
    if (count == nullptr)
        return E_POINTER;
    const unsigned long room = *count;
    for (unsigned long i = 0; pins != nullptr && i < room; ++i) {
        pins[i] = i < m_pins.size() ? m_pins[i] : nullptr;
        if (pins[i] != nullptr)
            pins[i]->AddRef();
    }
    *count = m_pins.size();
    return S_OK;
}

HRESULT FakeToken::getObjects(TokenObject** objects, unsigned long* count, TOKEN_OBJECT_TYPE type, const char* keyId,
                              const char* label)
{
    HRESULT hr = S_OK;
    if (Scripted("getObjects", hr))
        return hr;
    if (count == nullptr)
        return E_POINTER;
    const unsigned long room = *count;
    if (objects != nullptr)
        std::fill(objects, objects + room, nullptr);
    unsigned long found = 0;
    for (TokenObjectDouble* object : m_objects) {
        if ((type != TOKEN_OBJECT_NONE && object->ObjectType() != type)
            || (keyId != nullptr && object->KeyId() != keyId) || (label != nullptr && object->Label() != label))
            continue;
        if (objects != nullptr && found < room) {
            objects[found] = object->AsTokenObject();
            objects[found]->AddRef();
        }
        ++found;
    }
    *count = found;
    return S_OK;
}

HRESULT FakeToken::isInitialized()
{
    return Answer("isInitialized");
}

HRESULT FakeToken::getWritableProfiles(char*** profiles)
{
    if (profiles != nullptr)
        *profiles = nullptr;
    return Answer("getWritableProfiles");
}

HRESULT FakeToken::getInitInfo(const char*, ProfileInfo** out)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("getInitInfo");
}

HRESULT FakeToken::delInitInfo(ProfileInfo** infoOut)
{
    if (infoOut != nullptr)
        *infoOut = nullptr;
    return Answer("delInitInfo");
}

HRESULT FakeToken::initToken(ProfileInfo*)
{
    return Answer("initToken");
}

HRESULT FakeToken::deleteToken()
{
    return Answer("deleteToken");
}

HRESULT FakeToken::isAlgSupported(AlgEnc, const AllowedValues** out)
{
    if (out != nullptr)
        *out = &allowed;
    return Answer("isAlgSupported");
}

HRESULT FakeToken::genKeyPair(AlgId*, unsigned long, TokenObjectPrivateKey** privateKey, const char*, unsigned int,
                              TokenObjectPublicKey** publicKey, const char*, KeyInfo** publicKeyInfo, SECAttribute*)
{
    if (privateKey != nullptr)
        *privateKey = nullptr;
    if (publicKey != nullptr)
        *publicKey = nullptr;
    if (publicKeyInfo != nullptr)
        *publicKeyInfo = nullptr;
    return Answer("genKeyPair");
}

HRESULT FakeToken::createPrivateKeyObj(TokenObjectPrivateKey** out, const KeyInfo*, const char*, const char*,
                                       unsigned int)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("createPrivateKeyObj");
}

HRESULT FakeToken::createPublicKeyObj(TokenObjectPublicKey** out, const KeyInfo*, const char*, const char*)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("createPublicKeyObj");
}

HRESULT FakeToken::createCertificateObj(TokenObjectCertificate** out, const Certificate*, const char*, const char*)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("createCertificateObj");
}

HRESULT FakeToken::createDataObj(TokenObjectData** out, const OctetString*, const char*, unsigned char)
{
    if (out != nullptr)
        *out = nullptr;
    return Answer("createDataObj");
}

HRESULT FakeToken::getRandom(unsigned char* buffer, unsigned long length)
{
    HRESULT hr = S_OK;
    if (Scripted("getRandom", hr))
        return hr;
    if (length == 0)
        return S_OK;
    if (buffer == nullptr || length > INT_MAX)
        return E_INVALIDARG;
    return RAND_bytes(buffer, static_cast<int>(length)) == 1 ? S_OK : E_FAIL;
}

// Slot

FakeSlot::FakeSlot(std::string name) : Fake<SecSlot>("FakeSlot"), m_name(std::move(name))
{
    std::memset(info.slotDescription, ' ', sizeof info.slotDescription);
    std::memcpy(info.slotDescription, m_name.data(), std::min(m_name.size(), sizeof info.slotDescription));
}

FakeSlot::~FakeSlot()
{
    SetToken(nullptr);
}

void FakeSlot::SetToken(SecToken* token)
{
    if (token != nullptr)
        token->AddRef();
    if (m_token != nullptr)
        m_token->Release();
    m_token = token;
}

HRESULT FakeSlot::tokenInserted()
{
    return Answer("tokenInserted", m_token != nullptr ? S_OK : S_FALSE);
}

HRESULT FakeSlot::getP11SlotInfo(CK_SLOT_INFO* out)
{
    if (out == nullptr)
        return Answer("getP11SlotInfo", E_POINTER);
    *out = info;
    return Answer("getP11SlotInfo");
}

HRESULT FakeSlot::getSlotName(const char** name)
{
    return Text(m_name, name, Answer("getSlotName"));
}

HRESULT FakeSlot::getToken(SecToken** out)
{
    if (out == nullptr)
        return Answer("getToken", E_POINTER);
    *out = nullptr;
    HRESULT hr = Answer("getToken", m_token != nullptr ? S_OK : S_FALSE);
    if (SUCCEEDED(hr) && m_token != nullptr) {
        m_token->AddRef();
        *out = m_token;
    }
    return hr;
}

HRESULT FakeSlot::releaseToken()
{
    return Answer("releaseToken");
}

// Slot events

FakeSlotEvents::FakeSlotEvents() : Fake<SecSlotEvents>("FakeSlotEvents") {}

FakeSlotEvents::~FakeSlotEvents()
{
    for (SecSlot* slot : m_queue)
        slot->Release();
}

void FakeSlotEvents::Post(SecSlot* slot)
{
    slot->AddRef();
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_queue.push_back(slot);
    }
    m_changed.notify_one();
}

int FakeSlotEvents::Waiters() const
{
    std::lock_guard<std::mutex> lock(m_queueLock);
    return m_waiters;
}

HRESULT FakeSlotEvents::wait(unsigned long flags, SecSlot** slot)
{
    HRESULT hr = S_OK;
    if (slot != nullptr)
        *slot = nullptr;
    if (Scripted("wait", hr))
        return hr;
    std::unique_lock<std::mutex> lock(m_queueLock);
    ++m_waiters;
    for (;;) {
        if (m_cancelled) {
            hr = SLOT_EVENT_CANCELLED;
            break;
        }
        if (!m_queue.empty()) {
            SecSlot* next = m_queue.front();
            m_queue.pop_front();
            if (slot != nullptr)
                *slot = next;
            else
                next->Release();
            hr = S_OK;
            break;
        }
        if (flags & SLOT_EVENT_DONT_BLOCK) {
            hr = SLOT_EVENT_NONE;
            break;
        }
        m_changed.wait(lock);
    }
    --m_waiters;
    return hr;
}

HRESULT FakeSlotEvents::cancel()
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_cancelled = true;
    }
    m_changed.notify_all();
    return Answer("cancel");
}

}  // namespace kestrin::qevtest
