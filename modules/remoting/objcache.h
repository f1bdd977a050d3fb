// The service side of the remoting: the object table of one client session,
// which numbers every object handed to that client and routes each request
// to the stub of the addressed number, and the stub bases.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <vector>

#include "qev_pse.h"
#include "transaction.h"
#include "zelk_classfactory.h"
#include "zelk_hashtable.h"
#include "zelk_sync.h"
#include "zelk_tunnel.h"

namespace ZELK::PSESVC {

class ObjCache : public ITunnel {
public:
    ObjCache() = default;
    ~ObjCache() override;
    ObjCache(const ObjCache&) = delete;
    ObjCache& operator=(const ObjCache&) = delete;

    // The table is not reference-counted; it answers no queries.
    HRESULT QueryInterface(const GUID& iid, void** out) override;
    long AddRef() override { return 0; }
    long Release() override { return 0; }
    // One request: to the stub of the addressed number, or create-by-name.
    // Anything that cannot be served gets an empty reply.
    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override;
    HRESULT Disconnect() override { return S_OK; }

    virtual HRESULT RegisterFactory(const char* className, IClassFactory* factory);
    // The object's number; *stubSlot receives the new element's stub field
    // to fill, or NULL when the object already had a number. The caller
    // holds Lock() from here until the stub is stored.
    virtual HRESULT RegisterObject(void* object, ApiType kind, uint32_t* number, ITunnel*** stubSlot);
    virtual HRESULT UnregisterObject(uint32_t number);
    // Empties the table, releasing every element (and so every stub and
    // every object that the session still held).
    virtual HRESULT UnregisterAll();

    ZELK::CriticalSection* Lock() { return &m_cs; }
    // Registered numbers (for tests and the session's accounting).
    size_t Count();

    static uint8_t BucketOfNumber(uint32_t number);

private:
    struct CacheElement {
        std::atomic<long> refs {1};
        uint32_t number = 0;
        ITunnel* stub = nullptr;  // one counted reference
        void* object = nullptr;
        bool released = false;

        void AddRef() { ++refs; }
        void Release();
    };

    CacheElement* SearchByID(uint32_t number, ITunnel** stub);
    CacheElement* SearchByObj(void* object);
    static uint8_t BucketOfObject(const void* object);
    static void Remove(std::vector<CacheElement*>& bucket, CacheElement* element);
    void CreateByName(TransactionStub& transaction, HRESULT* result);

    ZELK::CriticalSection m_cs;
    std::vector<CacheElement*> m_byNumber[256];
    std::vector<CacheElement*> m_byObject[256];
    uint32_t m_counter = 0;
    HashTable_void* m_factories = nullptr;
};

// The base of every per-object stub: answers Release (method index 2)
// itself and hands every other method to Execute.
class StubBase : public ITunnel {
public:
    StubBase() = default;
    ~StubBase() override = default;
    StubBase(const StubBase&) = delete;
    StubBase& operator=(const StubBase&) = delete;

    HRESULT QueryInterface(const GUID& iid, void** out) override;
    long AddRef() override { return ++m_refs; }
    // At 0 the stub leaves its table and ends (releasing its object).
    long Release() override;
    HRESULT Transact(unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) override;
    HRESULT Disconnect() override { return S_OK; }
    // The stub's dispatcher; anything it cannot serve leaves an empty reply.
    virtual HRESULT Execute(Method method, TransactionStub& transaction) = 0;

    uint32_t Number() const { return m_number; }

protected:
    std::atomic<long> m_refs {0};
    uint32_t m_number = 0;
    ObjCache* m_cache = nullptr;
    // The client's Release request consumes the table's reference once.
    std::atomic<bool> m_clientReleased {false};
};

// The stub class S of the crypto-library interface T; holds one reference
// on the served object.
template <class S, class T>
class Stub : public StubBase {
public:
    ~Stub() override
    {
        if (m_object != nullptr)
            m_object->Release();
    }

    // The number under which `object` travels to the session's client (0 for
    // NULL). A new number gets its stub at once, made and stored under the
    // table's lock, so that no request can find the number without it.
    static uint32_t GetID(ObjCache* cache, T* object)
    {
        if (object == nullptr)
            return 0;
        ZELK::CriticalCodeSection lock(cache->Lock());
        uint32_t number = 0;
        ITunnel** slot = nullptr;
        if (cache->RegisterObject(object, S::kKind, &number, &slot) < 0)
            return 0;
        if (slot == nullptr)
            return number;
        S* stub = new (std::nothrow) S();
        if (stub == nullptr) {
            cache->UnregisterObject(number);
            return 0;
        }
        stub->m_cache = cache;
        stub->m_object = object;
        object->AddRef();
        stub->m_number = number;
        stub->AddRef();
        *slot = stub;
        return number;
    }

protected:
    T* m_object = nullptr;
};

}  // namespace ZELK::PSESVC
