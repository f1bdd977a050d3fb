#include "objcache.h"

#include <mutex>

#include "gssauth.h"
#include "zelk_module.h"
#include "zelk_ptr.h"

namespace ZELK::PSESVC {

namespace {

// "zelk.misc.base.hashtable.1", bound on the first factory registration.
API_COMMON* s_hashTables = nullptr;
std::mutex s_hashTablesLock;
CUnloadAPI s_unloadHashTables(&s_hashTables);

HRESULT NewFactoryTable(HashTable_void** out)
{
    std::lock_guard<std::mutex> lock(s_hashTablesLock);
    if (s_hashTables == nullptr) {
        HRESULT hr = ZELK_GetAPI("zelkbase", ZELKBASE_HASHTABLE_API, &s_hashTables);
        if (hr < 0 || s_hashTables == nullptr)
            return hr < 0 ? hr : E_FAIL;
    }
    return ZELK_ApiCast<ZELKBASE_HASHTABLE_TABLE>(s_hashTables)
        ->HashTable_CreateCommon(out, HASHTABLE_STRING_TO_IUNKNOWN, 0);
}

uint32_t ReadHeader(const unsigned char* in)
{
    return (uint32_t {in[0]} << 24) | (uint32_t {in[1]} << 16) | (uint32_t {in[2]} << 8) | in[3];
}

}  // namespace

void ObjCache::CacheElement::Release()
{
    if (--refs != 0)
        return;
    if (stub != nullptr && !released)
        stub->Release();
    delete this;
}

ObjCache::~ObjCache()
{
    UnregisterAll();
    if (m_factories != nullptr)
        m_factories->Release();
}

HRESULT ObjCache::QueryInterface(const GUID&, void** out)
{
    if (out != nullptr)
        *out = nullptr;
    return E_NOINTERFACE;
}

// The exclusive-or of the number's four bytes; the method bits of a header
// lie in the low byte's six low bits and never change the bucket.
uint8_t ObjCache::BucketOfNumber(uint32_t number)
{
    number &= kNumberMask;
    return static_cast<uint8_t>(number ^ (number >> 8) ^ (number >> 16) ^ (number >> 24));
}

uint8_t ObjCache::BucketOfObject(const void* object)
{
    auto low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object));
    return static_cast<uint8_t>(low ^ (low >> 8) ^ (low >> 16) ^ (low >> 24));
}

void ObjCache::Remove(std::vector<CacheElement*>& bucket, CacheElement* element)
{
    for (CacheElement*& slot : bucket) {
        if (slot == element)
            slot = nullptr;
    }
}

ObjCache::CacheElement* ObjCache::SearchByID(uint32_t number, ITunnel** stub)
{
    ZELK::CriticalCodeSection lock(&m_cs);
    for (CacheElement* element : m_byNumber[BucketOfNumber(number)]) {
        if (element != nullptr && element->number == number) {
            element->AddRef();
            if (stub != nullptr && element->stub != nullptr) {
                element->stub->AddRef();
                *stub = element->stub;
            }
            return element;
        }
    }
    return nullptr;
}

ObjCache::CacheElement* ObjCache::SearchByObj(void* object)
{
    ZELK::CriticalCodeSection lock(&m_cs);
    for (CacheElement* element : m_byObject[BucketOfObject(object)]) {
        if (element != nullptr && element->object == object) {
            element->AddRef();
            return element;
        }
    }
    return nullptr;
}

size_t ObjCache::Count()
{
    ZELK::CriticalCodeSection lock(&m_cs);
    size_t count = 0;
    for (const auto& bucket : m_byNumber) {
        for (CacheElement* element : bucket)
            count += element != nullptr ? 1 : 0;
    }
    return count;
}

HRESULT ObjCache::RegisterObject(void* object, ApiType kind, uint32_t* number, ITunnel*** stubSlot)
{
    if (stubSlot == nullptr || number == nullptr)
        return E_INVALIDARG;
    ZELK::CriticalCodeSection lock(&m_cs);
    *stubSlot = nullptr;
    if (CacheElement* known = SearchByObj(object)) {
        *number = known->number;
        known->Release();
        return S_OK;
    }
    uint32_t candidate = 0;
    for (;;) {
        candidate = (m_counter << 10) | (static_cast<uint32_t>(kind) << 6);
        ++m_counter;
        CacheElement* taken = SearchByID(candidate, nullptr);
        if (taken == nullptr)
            break;
        taken->Release();
    }
    auto* element = new (std::nothrow) CacheElement();
    if (element == nullptr)
        return E_OUTOFMEMORY;
    element->number = candidate;
    element->object = object;
    auto place = [element](std::vector<CacheElement*>& bucket) {
        for (CacheElement*& slot : bucket) {
            if (slot == nullptr) {
                slot = element;
                return;
            }
        }
        bucket.resize(bucket.size() + 16, nullptr);
        bucket[bucket.size() - 16] = element;
    };
    place(m_byNumber[BucketOfNumber(candidate)]);
    place(m_byObject[BucketOfObject(object)]);
    *number = candidate;
    *stubSlot = &element->stub;
    return S_OK;
}

HRESULT ObjCache::UnregisterObject(uint32_t number)
{
    CacheElement* noted = nullptr;
    {
        ZELK::CriticalCodeSection lock(&m_cs);
        for (CacheElement*& slot : m_byNumber[BucketOfNumber(number)]) {
            if (slot != nullptr && slot->number == number) {
                noted = slot;
                slot = nullptr;
            }
        }
        if (noted == nullptr)
            return S_OK;
        if (noted->object != nullptr) {
            Remove(m_byObject[BucketOfObject(noted->object)], noted);
            // The caller is the stub's own last Release.
            noted->released = true;
        }
    }
    noted->Release();
    return S_OK;
}

// Every element leaves the tables first and is released after the lock is
// left, also one that never got its stub: the stubs' ends release the
// session's objects, which may call back into the service.
HRESULT ObjCache::UnregisterAll()
{
    std::vector<CacheElement*> elements;
    {
        ZELK::CriticalCodeSection lock(&m_cs);
        for (int i = 0; i < 256; ++i) {
            for (CacheElement*& slot : m_byNumber[i]) {
                if (slot != nullptr)
                    elements.push_back(slot);
                slot = nullptr;
            }
            for (CacheElement*& slot : m_byObject[i])
                slot = nullptr;
        }
    }
    for (CacheElement* element : elements)
        element->Release();
    return S_OK;
}

HRESULT ObjCache::RegisterFactory(const char* className, IClassFactory* factory)
{
    ZELK::CriticalCodeSection lock(&m_cs);
    if (m_factories == nullptr) {
        HRESULT hr = NewFactoryTable(&m_factories);
        if (hr < 0 || m_factories == nullptr)
            return hr < 0 ? hr : E_FAIL;
    }
    m_factories->Add(const_cast<char*>(className), static_cast<IUnknown*>(factory));
    return S_OK;
}

HRESULT ObjCache::Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength)
{
    // Under four bytes there is no number to route by.
    if (in == nullptr || inLength < 4) {
        if (outLength != nullptr)
            *outLength = 0;
        return -1;
    }
    uint32_t header = ReadHeader(in);
    if (KindOfNumber(header) != API_FUNCTION) {
        ITunnel* stub = nullptr;
        CacheElement* element = SearchByID(header & kNumberMask, &stub);
        HRESULT hr = -1;
        if (stub != nullptr) {
            hr = stub->Transact(in, inLength, out, outLength);
            stub->Release();
        } else if (outLength != nullptr) {
            *outLength = 0;
        }
        if (element != nullptr)
            element->Release();
        return hr;
    }
    HRESULT hr = -1;
    TransactionStub transaction(in, inLength, out, outLength);
    CreateByName(transaction, &hr);
    return hr;
}

void ObjCache::CreateByName(TransactionStub& transaction, HRESULT* result)
{
    *result = -1;
    Function function = 0;
    const char* className = nullptr;
    GUID iid {};
    if (!transaction.ReadFunction(function) || function != FUNCTION_CREATE_BY_NAME
        || !transaction.ReadString(&className) || !transaction.ReadGUID(&iid))
        return;
    ZELK_PTR(IClassFactory) factory;
    if (className != nullptr) {
        ZELK::CriticalCodeSection lock(&m_cs);
        IUnknown* value = nullptr;
        if (m_factories != nullptr
            && m_factories->Get(const_cast<char*>(className), reinterpret_cast<void**>(&value)) == 0
            && value != nullptr) {
            factory = value;
            value->Release();
        }
    }
    if (factory == nullptr) {
        transaction.WriteRC(-1);
        return;
    }
    *result = S_OK;
    if (!(iid == IID_IGssAuth))
        return;
    IGssAuth* object = nullptr;
    factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&object));
    transaction.WriteRC(S_OK);
    transaction.Write32(GssAuthServerStub::GetID(this, object));
    if (object != nullptr)
        object->Release();
}

HRESULT StubBase::QueryInterface(const GUID&, void** out)
{
    if (out != nullptr)
        *out = nullptr;
    return E_NOINTERFACE;
}

long StubBase::Release()
{
    long count = --m_refs;
    if (count == 0) {
        if (m_cache != nullptr)
            m_cache->UnregisterObject(m_number);
        delete this;
    }
    return count;
}

HRESULT StubBase::Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength)
{
    TransactionStub transaction(in, inLength, out, outLength);
    uint32_t id = 0;
    Method method = 0;
    if (!transaction.ReadIdMsg(id, method))
        return -1;
    if ((method & kMethodIndexMask) != METHOD_RELEASE)
        return Execute(method, transaction);
    // One Release request ends the stub however often its number was handed
    // out; a second one finds nothing to release.
    if (m_clientReleased.exchange(true))
        return -1;
    if (m_cache != nullptr)
        m_cache->UnregisterObject(m_number);
    long count = Release();
    transaction.Write32(static_cast<uint32_t>(count));
    return static_cast<HRESULT>(count);
}

}  // namespace ZELK::PSESVC
