#include "json_values.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "json_reader.h"
#include "zelk_alloc.h"

namespace kestrin::base::json {

namespace {

// A new sec_malloc'd copy of n bytes followed by a NUL.
char* SecCopy(const char* bytes, size_t n)
{
    if (n == static_cast<size_t>(-1))
        return nullptr;
    char* p = static_cast<char*>(sec_malloc(n + 1));
    if (!p)
        return nullptr;
    if (n)
        std::memcpy(p, bytes, n);
    p[n] = 0;
    return p;
}

HRESULT CopyOut(const char* text, char** out)
{
    if (!out)
        return E_POINTER;
    char* copy = SecCopy(text, std::strlen(text));
    if (!copy)
        return E_OUTOFMEMORY;
    *out = copy;
    return S_OK;
}

HRESULT Fresh(JsonValue* made, ValueRef& out)
{
    if (!made)
        return E_OUTOFMEMORY;
    out = ValueRef(made);
    return S_OK;
}

// A malloc'd copy of n bytes followed by a NUL.
char* NameCopy(const char* bytes, size_t n)
{
    if (n == static_cast<size_t>(-1))
        return nullptr;
    char* p = static_cast<char*>(std::malloc(n + 1));
    if (!p)
        return nullptr;
    if (n)
        std::memcpy(p, bytes, n);
    p[n] = 0;
    return p;
}

uint64_t HashName(const char* name, size_t length)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < length; ++i)
        h = (h ^ static_cast<unsigned char>(name[i])) * 1099511628211ull;
    return h;
}

constexpr unsigned long kIndexFrom = 16;

// The output of Dump: one buffer of the crypto library's allocator, grown geometrically.
class SecBufferSink : public JsonSink {
public:
    ~SecBufferSink() override { sec_free(data_); }
    HRESULT write(const char* d, size_t n) override
    {
        if (n > capacity_ - size_) {
            size_t cap = capacity_ ? capacity_ : 1024;
            while (cap - size_ < n) {
                if (cap > static_cast<size_t>(-1) / 2)
                    return E_OUTOFMEMORY;
                cap *= 2;
            }
            void* p = sec_realloc(data_, cap);
            if (!p)
                return E_OUTOFMEMORY;
            data_ = static_cast<unsigned char*>(p);
            capacity_ = cap;
        }
        std::memcpy(data_ + size_, d, n);
        size_ += n;
        return S_OK;
    }
    HRESULT release(OctetString** out)
    {
        OctetString* s = static_cast<OctetString*>(sec_malloc(sizeof(OctetString)));
        if (!s)
            return E_OUTOFMEMORY;
        s->length = size_;
        s->data = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        *out = s;
        return S_OK;
    }

private:
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace

// ---- storage ------------------------------------------------------------------

struct ValueArena::Chunk {
    Chunk* next;
    size_t size;
};

namespace {

constexpr size_t kChunkAlign = 16;
// Below the heap's threshold for mapping blocks of their own.
constexpr size_t kMaxChunk = 64 * 1024;
constexpr size_t kKeptChunks = 16;

// Chunks of the largest size that documents gave back, kept for the next
// ones (up to 1 MiB): parsing document after document then neither hands the
// memory back to the system nor faults it in again.
class KeptChunks {
public:
    ~KeptChunks()
    {
        for (size_t i = 0; i < count_; ++i)
            std::free(chunks_[i]);
    }
    void* take()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return count_ ? chunks_[--count_] : nullptr;
    }
    bool keep(void* chunk)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (count_ == kKeptChunks)
            return false;
        chunks_[count_++] = chunk;
        return true;
    }

private:
    std::mutex lock_;
    void* chunks_[kKeptChunks] = {};
    size_t count_ = 0;
};

KeptChunks s_keptChunks;

}  // namespace

ValueArena* ValueArena::New()
{
    void* place = std::malloc(sizeof(ValueArena));
    return place ? new (place) ValueArena() : nullptr;
}

ValueArena::~ValueArena()
{
    while (chunks_) {
        Chunk* next = chunks_->next;
        if (chunks_->size != kMaxChunk || !s_keptChunks.keep(chunks_))
            std::free(chunks_);
        chunks_ = next;
    }
}

void* ValueArena::allocate(size_t size)
{
    constexpr size_t kHeader = (sizeof(Chunk) + kChunkAlign - 1) / kChunkAlign * kChunkAlign;
    if (size > static_cast<size_t>(-1) / 2)
        return nullptr;
    size = (size + kChunkAlign - 1) / kChunkAlign * kChunkAlign;
    if (size > static_cast<size_t>(end_ - next_)) {
        // A large block gets a chunk of its own; the chunks grow up to a limit.
        size_t want = size > chunkSize_ / 4 ? size : chunkSize_;
        void* kept = want == kMaxChunk ? s_keptChunks.take() : nullptr;
        auto* chunk = static_cast<Chunk*>(kept ? kept : std::malloc(kHeader + want));
        if (!chunk)
            return nullptr;
        chunk->next = chunks_;
        chunk->size = want;
        chunks_ = chunk;
        char* data = reinterpret_cast<char*>(chunk) + kHeader;
        if (want != chunkSize_) {
            ++made_;
            return data;
        }
        next_ = data;
        end_ = data + want;
        if (chunkSize_ < kMaxChunk)
            chunkSize_ *= 2;
    }
    void* place = next_;
    next_ += size;
    ++made_;
    return place;
}

void ValueArena::drop(size_t count)
{
    if (live_.fetch_sub(count, std::memory_order_acq_rel) != count)
        return;
    this->~ValueArena();
    std::free(this);
}

void ValueArena::release()
{
    drop(1);
}

void ValueArena::releaseHold()
{
    drop(kHold - made_);
}

void* JsonValue::Allocate(size_t size, ValueArena* arena)
{
    size_t total = size + sizeof(BlockHeader);
    void* block = arena ? arena->allocate(total) : std::malloc(total);
    if (!block)
        return nullptr;
    static_cast<BlockHeader*>(block)->arena = arena;
    return static_cast<char*>(block) + sizeof(BlockHeader);
}

void JsonValue::operator delete(void* place)
{
    auto* header = reinterpret_cast<BlockHeader*>(static_cast<char*>(place) - sizeof(BlockHeader));
    if (header->arena)
        header->arena->release();
    else
        std::free(header);
}

// ---- JsonValue -------------------------------------------------------------

HRESULT JsonValue::getNumberValue(int*)
{
    return E_FAIL;
}
HRESULT JsonValue::getStringValue(char**)
{
    return E_FAIL;
}
const char* JsonValue::getStringValueStatic()
{
    return nullptr;
}
HRESULT JsonValue::getBoolValue(bool*)
{
    return E_FAIL;
}
HRESULT JsonValue::Dump(JsonWriter&)
{
    return E_NOTIMPL;
}

ValueRef& ValueRef::operator=(ValueRef&& o) noexcept
{
    if (this != &o) {
        if (p_)
            p_->Release();
        p_ = o.p_;
        o.p_ = nullptr;
    }
    return *this;
}

ValueRef::~ValueRef()
{
    if (p_)
        p_->Release();
}

JsonValue* ValueRef::detach()
{
    JsonValue* p = p_;
    p_ = nullptr;
    return p;
}

// ---- scalars -----------------------------------------------------------------

JsonValue* JsonNull::Make(ValueArena* arena)
{
    return JsonValue::Make<JsonNull>(0, arena);
}

HRESULT JsonNumber::getNumberValue(int* out)
{
    if (!out)
        return E_POINTER;
    *out = value_;
    return S_OK;
}

JsonValue* JsonNumber::Make(int value, ValueArena* arena)
{
    CComObject<JsonNumber>* p = JsonValue::Make<JsonNumber>(0, arena);
    if (p)
        p->value_ = value;
    return p;
}

HRESULT JsonBool::getBoolValue(bool* out)
{
    if (!out)
        return E_POINTER;
    *out = value_;
    return S_OK;
}

JsonValue* JsonBool::Make(bool value, ValueArena* arena)
{
    CComObject<JsonBool>* p = JsonValue::Make<JsonBool>(0, arena);
    if (p)
        p->value_ = value;
    return p;
}

JsonValue* JsonString::Make(const char* bytes, size_t length, ValueArena* arena)
{
    if (length == static_cast<size_t>(-1))
        return nullptr;
    CComObject<JsonString>* p = JsonValue::Make<JsonString>(length + 1, arena);
    if (!p)
        return nullptr;
    char* text = Tail(p);
    if (length)
        std::memcpy(text, bytes, length);
    text[length] = 0;
    p->text_ = text;
    p->length_ = length;
    return p;
}

HRESULT JsonString::getStringValue(char** out)
{
    return CopyOut(text_, out);
}

// ---- JsonCollection --------------------------------------------------------------

JsonCollection::~JsonCollection()
{
    for (unsigned long i = 0; i < count_; ++i) {
        if (members_[i].value)
            members_[i].value->Release();
        if (members_[i].name && !inBlock(members_[i].name))
            std::free(const_cast<char*>(members_[i].name));
    }
    if (members_ && !inBlock(members_))
        std::free(members_);
    std::free(index_);
}

namespace {

bool SameName(const JsonMember& a, const JsonMember& b)
{
    return a.nameLength == b.nameLength
           && (a.nameLength == 0 || (a.name[0] == b.name[0] && std::memcmp(a.name, b.name, a.nameLength) == 0));
}

}  // namespace

size_t JsonCollection::KeepFirstOfEachName(JsonMember* members, size_t count)
{
    size_t kept = 0;
    auto keep = [&](size_t i, bool repeated) {
        if (repeated)
            members[i].value->Release();
        else
            members[kept++] = members[i];
    };
    uint32_t* seen = nullptr;
    size_t size = 64;
    if (count >= kIndexFrom && count < UINT32_MAX / 4) {
        while (size < count * 2)
            size *= 2;
        seen = static_cast<uint32_t*>(std::calloc(size, sizeof(uint32_t)));
    }
    if (!seen) {
        // Few members (or no room for a table): each compared with those kept.
        for (size_t i = 0; i < count; ++i) {
            bool repeated = false;
            for (size_t j = 0; j < kept && !repeated; ++j)
                repeated = SameName(members[j], members[i]);
            keep(i, repeated);
        }
        return kept;
    }
    size_t mask = size - 1;
    for (size_t i = 0; i < count; ++i) {
        size_t slot = HashName(members[i].name, members[i].nameLength) & mask;
        bool repeated = false;
        for (; seen[slot] && !repeated; slot = (slot + 1) & mask)
            repeated = SameName(members[seen[slot] - 1], members[i]);
        if (!repeated)
            seen[slot] = static_cast<uint32_t>(kept + 1);
        keep(i, repeated);
    }
    std::free(seen);
    return kept;
}

template <class T>
JsonValue* JsonCollection::Build(JsonMember* members, size_t count, ValueArena* arena)
{
    constexpr bool named = std::is_same_v<T, JsonObject>;
    if (named)
        count = KeepFirstOfEachName(members, count);
    size_t names = 0;
    bool fits = count < UINT32_MAX - 1 && count <= static_cast<size_t>(-1) / 2 / sizeof(JsonMember);
    for (size_t i = 0; named && fits && i < count; ++i) {
        fits = members[i].nameLength < static_cast<size_t>(-1) / 4 - names;
        names += members[i].nameLength + 1;
    }
    CComObject<T>* made = fits ? Make<T>(count * sizeof(JsonMember) + names, arena) : nullptr;
    if (!made) {
        for (size_t i = 0; i < count; ++i)
            members[i].value->Release();
        return nullptr;
    }
    JsonCollection* c = made;
    char* tail = Tail(made);
    auto* own = reinterpret_cast<JsonMember*>(tail);
    char* name = tail + count * sizeof(JsonMember);
    for (size_t i = 0; i < count; ++i) {
        own[i].value = members[i].value;
        own[i].name = nullptr;
        own[i].nameLength = 0;
        if (named) {
            if (members[i].nameLength)
                std::memcpy(name, members[i].name, members[i].nameLength);
            name[members[i].nameLength] = 0;
            own[i].name = name;
            own[i].nameLength = members[i].nameLength;
            name += members[i].nameLength + 1;
        }
    }
    c->block_ = tail;
    c->blockEnd_ = name;
    c->members_ = count ? own : nullptr;
    c->count_ = c->capacity_ = static_cast<unsigned long>(count);
    if (named && count >= kIndexFrom && FAILED(c->indexRebuild())) {
        made->Release();
        return nullptr;
    }
    return made;
}

template JsonValue* JsonCollection::Build<JsonObject>(JsonMember*, size_t, ValueArena*);
template JsonValue* JsonCollection::Build<JsonArray>(JsonMember*, size_t, ValueArena*);

HRESULT JsonCollection::reserve(unsigned long need)
{
    if (need <= capacity_)
        return S_OK;
    unsigned long cap = capacity_ ? capacity_ * 2 : 4;
    if (cap < need)
        cap = need;
    if (cap > static_cast<unsigned long>(-1) / sizeof(JsonMember))
        return E_OUTOFMEMORY;
    JsonMember* fresh;
    if (members_ && inBlock(members_)) {
        // The members made with the collection stay in its block; they move out.
        fresh = static_cast<JsonMember*>(std::malloc(cap * sizeof(JsonMember)));
        if (fresh)
            std::memcpy(fresh, members_, count_ * sizeof(JsonMember));
    } else {
        fresh = static_cast<JsonMember*>(std::realloc(members_, cap * sizeof(JsonMember)));
    }
    if (!fresh)
        return E_OUTOFMEMORY;
    members_ = fresh;
    capacity_ = cap;
    return S_OK;
}

long JsonCollection::find(const char* name, size_t length) const
{
    if (index_) {
        size_t mask = indexSize_ - 1;
        for (size_t slot = HashName(name, length) & mask; index_[slot]; slot = (slot + 1) & mask) {
            const JsonMember& m = members_[index_[slot] - 1];
            if (m.name && m.nameLength == length && std::memcmp(m.name, name, length) == 0)
                return static_cast<long>(index_[slot] - 1);
        }
        return -1;
    }
    for (unsigned long i = 0; i < count_; ++i) {
        const JsonMember& m = members_[i];
        if (m.name && m.nameLength == length && std::memcmp(m.name, name, length) == 0)
            return static_cast<long>(i);
    }
    return -1;
}

void JsonCollection::indexInsert(unsigned long position)
{
    const JsonMember& m = members_[position];
    if (!m.name)
        return;
    size_t mask = indexSize_ - 1;
    size_t slot = HashName(m.name, m.nameLength) & mask;
    while (index_[slot])
        slot = (slot + 1) & mask;
    index_[slot] = static_cast<uint32_t>(position + 1);
}

HRESULT JsonCollection::indexRebuild()
{
    size_t size = 64;
    while (size < static_cast<size_t>(count_) * 2 + 2)
        size *= 2;
    uint32_t* fresh = static_cast<uint32_t*>(std::calloc(size, sizeof(uint32_t)));
    if (!fresh)
        return E_OUTOFMEMORY;
    std::free(index_);
    index_ = fresh;
    indexSize_ = size;
    for (unsigned long i = 0; i < count_; ++i)
        indexInsert(i);
    return S_OK;
}

// Takes over the reference on success; the name is copied.
HRESULT JsonCollection::append(JsonValue* value, const char* name, size_t length)
{
    if (count_ >= UINT32_MAX - 1)
        return E_OUTOFMEMORY;
    HRESULT hr = reserve(count_ + 1);
    if (FAILED(hr))
        return hr;
    char* copy = nullptr;
    if (name) {
        copy = NameCopy(name, length);
        if (!copy)
            return E_OUTOFMEMORY;
    }
    members_[count_++] = {value, copy, length};
    if (copy) {
        if (index_ && (count_ + 1) * 2 <= indexSize_) {
            indexInsert(count_ - 1);
        } else if (index_ || count_ >= kIndexFrom) {
            hr = indexRebuild();
            if (FAILED(hr)) {
                --count_;
                std::free(copy);
                return hr;
            }
        }
    }
    return S_OK;
}

JsonValue* JsonCollection::getMember(const char* name) const
{
    if (!name)
        return nullptr;
    long i = find(name, std::strlen(name));
    return i < 0 ? nullptr : members_[i].value;
}

HRESULT JsonCollection::setMember(const char* name, JsonValue* value)
{
    if (!name)
        return E_FAIL;
    size_t length = std::strlen(name);
    long i = find(name, length);
    value->AddRef();
    if (i < 0) {
        HRESULT hr = append(value, name, length);
        if (FAILED(hr))
            value->Release();
        return hr;
    }
    JsonValue* old = members_[i].value;
    members_[i].value = value;
    old->Release();
    return S_OK;
}

HRESULT JsonCollection::setItemOrRelease(unsigned long index, JsonValue* value)
{
    if (index == static_cast<unsigned long>(-1))
        index = count_;
    if (index > count_) {
        value->Release();
        return E_FAIL;
    }
    if (index == count_) {
        HRESULT hr = append(value, nullptr, 0);
        if (FAILED(hr))
            value->Release();
        return hr;
    }
    JsonValue* old = members_[index].value;
    members_[index].value = value;
    if (old)
        old->Release();
    return S_OK;
}

HRESULT JsonCollection::DumpChildren(JsonWriter& w, bool named)
{
    HRESULT hr = named ? w.beginObject() : w.beginArray();
    for (unsigned long i = 0; i < count_ && SUCCEEDED(hr); ++i) {
        const JsonMember& m = members_[i];
        if (named)
            hr = w.memberName(i, m.name ? m.name : "", m.nameLength);
        else
            hr = w.itemSeparator(i);
        if (SUCCEEDED(hr))
            hr = m.value->Dump(w);
    }
    if (FAILED(hr))
        return hr;
    return named ? w.endObject() : w.endArray();
}

// ---- JsonObject -----------------------------------------------------------------

HRESULT JsonObject::New(ValueRef& out)
{
    return Fresh(Make<JsonObject>(0), out);
}

HRESULT JsonObject::Dump(JsonWriter& w)
{
    return DumpChildren(w, true);
}

HRESULT JsonObject::Dump(OctetString** out)
{
    if (!out)
        return E_POINTER;
    SecBufferSink sink;
    JsonWriter w(sink);
    HRESULT hr = Dump(w);
    if (SUCCEEDED(hr))
        hr = w.flush();
    if (FAILED(hr))
        return hr;
    return sink.release(out);
}

HRESULT JsonObject::getMemberName(unsigned long index, char** out)
{
    const char* name = getMemberNameStatic(index);
    if (!name)
        return E_FAIL;
    return CopyOut(name, out);
}

const char* JsonObject::getMemberNameStatic(unsigned long index)
{
    return memberName(index);
}

int JsonObject::getMemberType(const char* name)
{
    JsonValue* c = getMember(name);
    return c ? c->getType() : JSON_TYPE_NONE;
}

HRESULT JsonObject::getMemberStringValue(const char* name, char** out)
{
    JsonValue* c = getMember(name);
    return c ? c->getStringValue(out) : E_FAIL;
}

const char* JsonObject::getMemberStringValueStatic(const char* name)
{
    JsonValue* c = getMember(name);
    return c ? c->getStringValueStatic() : nullptr;
}

HRESULT JsonObject::getMemberNumberValue(const char* name, int* out)
{
    JsonValue* c = getMember(name);
    return c ? c->getNumberValue(out) : E_FAIL;
}

HRESULT JsonObject::getMemberBoolValue(const char* name, bool* out)
{
    JsonValue* c = getMember(name);
    return c ? c->getBoolValue(out) : E_FAIL;
}

namespace {

template <class Wanted, class Iface>
HRESULT HandOut(JsonValue* c, int type, Iface** out)
{
    if (!out)
        return E_POINTER;
    if (!c)
        return E_FAIL;
    if (c->getType() != type)
        return E_NOINTERFACE;
    c->AddRef();
    *out = static_cast<Wanted*>(c);
    return S_OK;
}

}  // namespace

HRESULT JsonObject::getMemberObjectValue(const char* name, IJsonObject** out)
{
    return HandOut<JsonObject>(getMember(name), JSON_TYPE_OBJECT, out);
}

HRESULT JsonObject::getMemberArrayValue(const char* name, IJsonArray** out)
{
    return HandOut<JsonArray>(getMember(name), JSON_TYPE_ARRAY, out);
}

HRESULT JsonObject::store(const char* name, ValueRef& value)
{
    return setMember(name, value.get());
}

HRESULT JsonObject::setMemberStringValue(const char* name, const char* text)
{
    if (!name)
        return E_FAIL;
    if (!text)
        return E_INVALIDARG;
    ValueRef v;
    HRESULT hr = Fresh(JsonString::Make(text, std::strlen(text)), v);
    return SUCCEEDED(hr) ? store(name, v) : hr;
}

HRESULT JsonObject::setMemberNumberValue(const char* name, int value)
{
    if (!name)
        return E_FAIL;
    ValueRef v;
    HRESULT hr = Fresh(JsonNumber::Make(value), v);
    return SUCCEEDED(hr) ? store(name, v) : hr;
}

HRESULT JsonObject::setMemberBoolValue(const char* name, bool value)
{
    if (!name)
        return E_FAIL;
    ValueRef v;
    HRESULT hr = Fresh(JsonBool::Make(value), v);
    return SUCCEEDED(hr) ? store(name, v) : hr;
}

HRESULT JsonObject::setMemberNullValue(const char* name)
{
    if (!name)
        return E_FAIL;
    ValueRef v;
    HRESULT hr = Fresh(JsonNull::Make(), v);
    return SUCCEEDED(hr) ? store(name, v) : hr;
}

HRESULT JsonObject::createMemberObjectValue(const char* name, IJsonObject** out)
{
    if (!name)
        return E_FAIL;
    if (!out)
        return E_POINTER;
    ValueRef v;
    HRESULT hr = JsonObject::New(v);
    if (SUCCEEDED(hr))
        hr = store(name, v);
    if (FAILED(hr))
        return hr;
    *out = static_cast<JsonObject*>(v.detach());
    return S_OK;
}

HRESULT JsonObject::createMemberArrayValue(const char* name, IJsonArray** out)
{
    if (!name)
        return E_FAIL;
    if (!out)
        return E_POINTER;
    ValueRef v;
    HRESULT hr = JsonArray::New(v);
    if (SUCCEEDED(hr))
        hr = store(name, v);
    if (FAILED(hr))
        return hr;
    *out = static_cast<JsonArray*>(v.detach());
    return S_OK;
}

// ---- JsonArray --------------------------------------------------------------------

HRESULT JsonArray::New(ValueRef& out)
{
    return Fresh(Make<JsonArray>(0), out);
}

HRESULT JsonArray::Dump(JsonWriter& w)
{
    return DumpChildren(w, false);
}

int JsonArray::getItemType(unsigned long index)
{
    JsonValue* c = getMember(index);
    return c ? c->getType() : JSON_TYPE_NONE;
}

HRESULT JsonArray::getItemStringValue(unsigned long index, char** out)
{
    JsonValue* c = getMember(index);
    return c ? c->getStringValue(out) : E_FAIL;
}

const char* JsonArray::getItemStringValueStatic(unsigned long index)
{
    JsonValue* c = getMember(index);
    return c ? c->getStringValueStatic() : nullptr;
}

HRESULT JsonArray::getItemNumberValue(unsigned long index, int* out)
{
    JsonValue* c = getMember(index);
    return c ? c->getNumberValue(out) : E_FAIL;
}

HRESULT JsonArray::getItemBoolValue(unsigned long index, bool* out)
{
    JsonValue* c = getMember(index);
    return c ? c->getBoolValue(out) : E_FAIL;
}

HRESULT JsonArray::getItemObjectValue(unsigned long index, IJsonObject** out)
{
    return HandOut<JsonObject>(getMember(index), JSON_TYPE_OBJECT, out);
}

HRESULT JsonArray::getItemArrayValue(unsigned long index, IJsonArray** out)
{
    return HandOut<JsonArray>(getMember(index), JSON_TYPE_ARRAY, out);
}

HRESULT JsonArray::setItemStringValue(unsigned long index, const char* text)
{
    if (!text)
        return E_INVALIDARG;
    ValueRef v;
    HRESULT hr = Fresh(JsonString::Make(text, std::strlen(text)), v);
    return SUCCEEDED(hr) ? setItemOrRelease(index, v.detach()) : hr;
}

HRESULT JsonArray::setItemNumberValue(unsigned long index, int value)
{
    ValueRef v;
    HRESULT hr = Fresh(JsonNumber::Make(value), v);
    return SUCCEEDED(hr) ? setItemOrRelease(index, v.detach()) : hr;
}

HRESULT JsonArray::setItemBoolValue(unsigned long index, bool value)
{
    ValueRef v;
    HRESULT hr = Fresh(JsonBool::Make(value), v);
    return SUCCEEDED(hr) ? setItemOrRelease(index, v.detach()) : hr;
}

HRESULT JsonArray::setItemNullValue(unsigned long index)
{
    ValueRef v;
    HRESULT hr = Fresh(JsonNull::Make(), v);
    return SUCCEEDED(hr) ? setItemOrRelease(index, v.detach()) : hr;
}

HRESULT JsonArray::createItemObjectValue(unsigned long index, IJsonObject** out)
{
    if (!out)
        return E_POINTER;
    ValueRef v;
    HRESULT hr = JsonObject::New(v);
    if (FAILED(hr))
        return hr;
    JsonValue* object = v.get();
    object->AddRef();
    hr = setItemOrRelease(index, v.detach());
    if (FAILED(hr)) {
        object->Release();
        return hr;
    }
    *out = static_cast<JsonObject*>(object);
    return S_OK;
}

HRESULT JsonArray::createItemArrayValue(unsigned long index, IJsonArray** out)
{
    if (!out)
        return E_POINTER;
    ValueRef v;
    HRESULT hr = JsonArray::New(v);
    if (FAILED(hr))
        return hr;
    JsonValue* array = v.get();
    array->AddRef();
    hr = setItemOrRelease(index, v.detach());
    if (FAILED(hr)) {
        array->Release();
        return hr;
    }
    *out = static_cast<JsonArray*>(array);
    return S_OK;
}

// ---- reading -----------------------------------------------------------------------

// A decoded name, kept until the builder goes.
struct ValueBuilder::KeptName {
    KeptName* next;
    char text[1];
};

ValueBuilder::Value& ValueBuilder::Value::operator=(Value&& o) noexcept
{
    if (this != &o) {
        if (value_)
            value_->Release();
        take(o);
    }
    return *this;
}

ValueBuilder::Value::~Value()
{
    if (value_)
        value_->Release();
}

void ValueBuilder::Value::take(Value& o) noexcept
{
    value_ = o.value_;
    pendingType_ = o.pendingType_;
    from_ = o.from_;
    o.value_ = nullptr;
    o.pendingType_ = JSON_TYPE_NONE;
}

ValueBuilder::ValueBuilder(const void* text, size_t length)
    : text_(static_cast<const char*>(text))
    , textEnd_(static_cast<const char*>(text) + length)
    , arena_(ValueArena::New())
{}

ValueBuilder::~ValueBuilder()
{
    for (size_t i = 0; i < size_; ++i)
        stack_[i].value->Release();
    std::free(stack_);
    while (kept_) {
        KeptName* next = kept_->next;
        std::free(kept_);
        kept_ = next;
    }
    // The values made go on holding the arena; it goes with the last of them.
    if (arena_)
        arena_->releaseHold();
}

HRESULT ValueBuilder::made(JsonValue* value, Value& v)
{
    if (!value)
        return E_OUTOFMEMORY;
    v = Value();
    v.value_ = value;
    return S_OK;
}

HRESULT ValueBuilder::makeObject(Value& v)
{
    v = Value();
    v.pendingType_ = JSON_TYPE_OBJECT;
    v.from_ = size_;
    return S_OK;
}

HRESULT ValueBuilder::makeArray(Value& v)
{
    v = Value();
    v.pendingType_ = JSON_TYPE_ARRAY;
    v.from_ = size_;
    return S_OK;
}

HRESULT ValueBuilder::complete(Value& v)
{
    if (v.pendingType_ == JSON_TYPE_NONE)
        return S_OK;
    // The members above its mark are its own: every collection inside it was
    // made, and its members taken off the stack, before it.
    JsonMember* members = stack_ + v.from_;
    size_t count = size_ - v.from_;
    size_ = v.from_;
    JsonValue* made = v.pendingType_ == JSON_TYPE_OBJECT ? JsonCollection::Build<JsonObject>(members, count, arena_)
                                                         : JsonCollection::Build<JsonArray>(members, count, arena_);
    v.pendingType_ = JSON_TYPE_NONE;
    if (!made)
        return E_OUTOFMEMORY;
    v.value_ = made;
    return S_OK;
}

HRESULT ValueBuilder::grow()
{
    size_t cap = capacity_ ? capacity_ * 2 : 64;
    void* p =
        cap <= static_cast<size_t>(-1) / sizeof(JsonMember) ? std::realloc(stack_, cap * sizeof(JsonMember)) : nullptr;
    if (!p)
        return E_OUTOFMEMORY;
    stack_ = static_cast<JsonMember*>(p);
    capacity_ = cap;
    return S_OK;
}

HRESULT ValueBuilder::addMember(Value&, const char* name, size_t n, Value&& v)
{
    HRESULT hr = complete(v);
    if (FAILED(hr))
        return hr;
    JsonValue* value = v.value_;
    v.value_ = nullptr;
    // A decoded name lives in the reader's scratch buffer, which the next one
    // overwrites: it is kept aside until its object is made.
    if (name < text_ || name > textEnd_ || n > static_cast<size_t>(textEnd_ - name)) {
        if (n > static_cast<size_t>(-1) - sizeof(KeptName)) {
            value->Release();
            return E_OUTOFMEMORY;
        }
        auto* kept = static_cast<KeptName*>(std::malloc(sizeof(KeptName) + n));
        if (!kept) {
            value->Release();
            return E_OUTOFMEMORY;
        }
        if (n)
            std::memcpy(kept->text, name, n);
        kept->text[n] = 0;
        kept->next = kept_;
        kept_ = kept;
        name = kept->text;
    }
    return push(value, name, n);
}

HRESULT ValueBuilder::appendItem(Value&, Value&& v)
{
    HRESULT hr = complete(v);
    if (FAILED(hr))
        return hr;
    JsonValue* value = v.value_;
    v.value_ = nullptr;
    return push(value, nullptr, 0);
}

HRESULT ValueBuilder::finish(Value& v, JsonValue** out)
{
    HRESULT hr = complete(v);
    if (FAILED(hr))
        return hr;
    *out = v.value_;
    v.value_ = nullptr;
    return S_OK;
}

HRESULT ParseDocument(const void* text, size_t length, IJsonObject** out)
{
    ValueBuilder builder(text, length);
    JsonReader<ValueBuilder> reader(builder);
    ValueBuilder::Value top;
    HRESULT hr = reader.read(text, length, top);
    JsonValue* value = nullptr;
    if (SUCCEEDED(hr))
        hr = builder.finish(top, &value);
    if (FAILED(hr))
        return hr;
    *out = static_cast<JsonObject*>(value);
    return S_OK;
}

}  // namespace kestrin::base::json
