#include "json_values.h"

#include <cstdlib>
#include <cstring>

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

template <class T>
HRESULT Create(T** object, ValueRef& out)
{
    CComObject<T>* p = nullptr;
    HRESULT hr = CComObject<T>::CreateInstance(&p);
    if (FAILED(hr))
        return hr;
    p->AddRef();
    *object = p;
    out = ValueRef(p);
    return S_OK;
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

// ---- JsonValue -------------------------------------------------------------

JsonValue::~JsonValue()
{
    if (name_) {
        sec_free(name_->data);
        sec_free(name_);
    }
}

HRESULT JsonValue::setName(const char* bytes, size_t length)
{
    OctetString* s = static_cast<OctetString*>(sec_malloc(sizeof(OctetString)));
    char* copy = SecCopy(bytes, length);
    if (!s || !copy) {
        sec_free(s);
        sec_free(copy);
        return E_OUTOFMEMORY;
    }
    s->length = length;
    s->data = reinterpret_cast<unsigned char*>(copy);
    if (name_) {
        sec_free(name_->data);
        sec_free(name_);
    }
    name_ = s;
    return S_OK;
}

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

HRESULT JsonNull::New(ValueRef& out)
{
    JsonNull* p;
    return Create(&p, out);
}

HRESULT JsonNumber::getNumberValue(int* out)
{
    if (!out)
        return E_POINTER;
    *out = value_;
    return S_OK;
}

HRESULT JsonNumber::New(int value, ValueRef& out)
{
    JsonNumber* p;
    HRESULT hr = Create(&p, out);
    if (SUCCEEDED(hr))
        p->setValue(value);
    return hr;
}

HRESULT JsonBool::getBoolValue(bool* out)
{
    if (!out)
        return E_POINTER;
    *out = value_;
    return S_OK;
}

HRESULT JsonBool::New(bool value, ValueRef& out)
{
    JsonBool* p;
    HRESULT hr = Create(&p, out);
    if (SUCCEEDED(hr))
        p->setValue(value);
    return hr;
}

JsonString::~JsonString()
{
    sec_free(value_.data);
}

HRESULT JsonString::setValue(const char* bytes, size_t length)
{
    char* copy = SecCopy(bytes, length);
    if (!copy)
        return E_OUTOFMEMORY;
    sec_free(value_.data);
    value_.data = reinterpret_cast<unsigned char*>(copy);
    value_.length = length;
    return S_OK;
}

HRESULT JsonString::getStringValue(char** out)
{
    return CopyOut(getStringValueStatic(), out);
}

const char* JsonString::getStringValueStatic()
{
    return value_.data ? reinterpret_cast<const char*>(value_.data) : "";
}

HRESULT JsonString::Dump(JsonWriter& w)
{
    return w.string(reinterpret_cast<const char*>(value_.data), static_cast<size_t>(value_.length));
}

HRESULT JsonString::New(const char* bytes, size_t length, ValueRef& out)
{
    JsonString* p;
    HRESULT hr = Create(&p, out);
    if (SUCCEEDED(hr))
        hr = p->setValue(bytes, length);
    if (FAILED(hr))
        out = ValueRef();
    return hr;
}

// ---- JsonCollection --------------------------------------------------------------

JsonCollection::~JsonCollection()
{
    for (unsigned long i = 0; i < count_; ++i)
        if (children_[i])
            children_[i]->Release();
    std::free(children_);
    std::free(index_);
}

HRESULT JsonCollection::reserve(unsigned long need)
{
    if (need <= capacity_)
        return S_OK;
    unsigned long cap = capacity_ ? capacity_ * 2 : 4;
    if (cap < need)
        cap = need;
    if (cap > static_cast<unsigned long>(-1) / sizeof(JsonValue*))
        return E_OUTOFMEMORY;
    void* p = std::realloc(children_, cap * sizeof(JsonValue*));
    if (!p)
        return E_OUTOFMEMORY;
    children_ = static_cast<JsonValue**>(p);
    capacity_ = cap;
    return S_OK;
}

long JsonCollection::find(const char* name, size_t length) const
{
    if (index_) {
        size_t mask = indexSize_ - 1;
        for (size_t slot = HashName(name, length) & mask; index_[slot]; slot = (slot + 1) & mask) {
            const OctetString* n = children_[index_[slot] - 1]->getName();
            if (n && n->length == length && std::memcmp(n->data, name, length) == 0)
                return static_cast<long>(index_[slot] - 1);
        }
        return -1;
    }
    for (unsigned long i = 0; i < count_; ++i) {
        const OctetString* n = children_[i] ? children_[i]->getName() : nullptr;
        if (n && n->length == length && std::memcmp(n->data, name, length) == 0)
            return static_cast<long>(i);
    }
    return -1;
}

void JsonCollection::indexInsert(unsigned long position)
{
    const OctetString* n = children_[position]->getName();
    if (!n)
        return;
    size_t mask = indexSize_ - 1;
    size_t slot = HashName(reinterpret_cast<const char*>(n->data), n->length) & mask;
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
        if (children_[i])
            indexInsert(i);
    return S_OK;
}

// Appends without adding a reference.
HRESULT JsonCollection::append(JsonValue* value)
{
    if (count_ >= UINT32_MAX - 1)
        return E_OUTOFMEMORY;
    HRESULT hr = reserve(count_ + 1);
    if (FAILED(hr))
        return hr;
    children_[count_++] = value;
    if (value && value->getName()) {
        if (index_ && (count_ + 1) * 2 <= indexSize_) {
            indexInsert(count_ - 1);
        } else if (index_ || count_ >= kIndexFrom) {
            hr = indexRebuild();
            if (FAILED(hr)) {
                --count_;
                return hr;
            }
        }
    }
    return S_OK;
}

JsonValue* JsonCollection::getMember(const char* name, size_t length) const
{
    long i = find(name, length);
    return i < 0 ? nullptr : children_[i];
}

JsonValue* JsonCollection::getMember(const char* name) const
{
    return name ? getMember(name, std::strlen(name)) : nullptr;
}

HRESULT JsonCollection::addMember(JsonValue* value)
{
    HRESULT hr = append(value);
    if (SUCCEEDED(hr) && value)
        value->AddRef();
    return hr;
}

HRESULT JsonCollection::addMember(const char* name, size_t length, JsonValue* value)
{
    if (name) {
        if (find(name, length) >= 0)
            return E_FAIL;
        HRESULT hr = value->setName(name, length);
        if (FAILED(hr))
            return hr;
    }
    return addMember(value);
}

HRESULT JsonCollection::setMember(const char* name, JsonValue* value)
{
    if (!name)
        return E_FAIL;
    size_t length = std::strlen(name);
    HRESULT hr = value->setName(name, length);
    if (FAILED(hr))
        return hr;
    long i = find(name, length);
    if (i < 0)
        return addMember(value);
    value->AddRef();
    JsonValue* old = children_[i];
    children_[i] = value;
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
        HRESULT hr = append(nullptr);
        if (FAILED(hr)) {
            value->Release();
            return hr;
        }
    }
    JsonValue* old = children_[index];
    children_[index] = value;
    if (old)
        old->Release();
    return S_OK;
}

HRESULT JsonCollection::DumpChildren(JsonWriter& w, bool named)
{
    HRESULT hr = named ? w.beginObject() : w.beginArray();
    for (unsigned long i = 0; i < count_ && SUCCEEDED(hr); ++i) {
        JsonValue* c = children_[i];
        if (named) {
            const OctetString* n = c->getName();
            hr = w.memberName(i, n ? reinterpret_cast<const char*>(n->data) : "", n ? n->length : 0);
        } else {
            hr = w.itemSeparator(i);
        }
        if (SUCCEEDED(hr))
            hr = c->Dump(w);
    }
    if (FAILED(hr))
        return hr;
    return named ? w.endObject() : w.endArray();
}

// ---- JsonObject -----------------------------------------------------------------

HRESULT JsonObject::New(ValueRef& out)
{
    JsonObject* p;
    return Create(&p, out);
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
    JsonValue* c = getMember(index);
    const OctetString* n = c ? c->getName() : nullptr;
    return n ? reinterpret_cast<const char*>(n->data) : nullptr;
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
    HRESULT hr = JsonString::New(text, std::strlen(text), v);
    return SUCCEEDED(hr) ? store(name, v) : hr;
}

HRESULT JsonObject::setMemberNumberValue(const char* name, int value)
{
    if (!name)
        return E_FAIL;
    ValueRef v;
    HRESULT hr = JsonNumber::New(value, v);
    return SUCCEEDED(hr) ? store(name, v) : hr;
}

HRESULT JsonObject::setMemberBoolValue(const char* name, bool value)
{
    if (!name)
        return E_FAIL;
    ValueRef v;
    HRESULT hr = JsonBool::New(value, v);
    return SUCCEEDED(hr) ? store(name, v) : hr;
}

HRESULT JsonObject::setMemberNullValue(const char* name)
{
    if (!name)
        return E_FAIL;
    ValueRef v;
    HRESULT hr = JsonNull::New(v);
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
    JsonArray* p;
    return Create(&p, out);
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
    HRESULT hr = JsonString::New(text, std::strlen(text), v);
    return SUCCEEDED(hr) ? setItemOrRelease(index, v.detach()) : hr;
}

HRESULT JsonArray::setItemNumberValue(unsigned long index, int value)
{
    ValueRef v;
    HRESULT hr = JsonNumber::New(value, v);
    return SUCCEEDED(hr) ? setItemOrRelease(index, v.detach()) : hr;
}

HRESULT JsonArray::setItemBoolValue(unsigned long index, bool value)
{
    ValueRef v;
    HRESULT hr = JsonBool::New(value, v);
    return SUCCEEDED(hr) ? setItemOrRelease(index, v.detach()) : hr;
}

HRESULT JsonArray::setItemNullValue(unsigned long index)
{
    ValueRef v;
    HRESULT hr = JsonNull::New(v);
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

HRESULT ValueBuilder::addMember(Value& object, const char* name, size_t n, Value&& v)
{
    HRESULT hr = static_cast<JsonCollection*>(object.get())->addMember(name, n, v.get());
    // A repeated name keeps its first value; the new one is dropped.
    return hr == E_FAIL ? S_OK : hr;
}

HRESULT ValueBuilder::appendItem(Value& array, Value&& v)
{
    return static_cast<JsonCollection*>(array.get())->addMember(v.get());
}

HRESULT ParseDocument(const void* text, size_t length, IJsonObject** out)
{
    ValueBuilder builder;
    JsonReader<ValueBuilder> reader(builder);
    ValueRef top;
    HRESULT hr = reader.read(text, length, top);
    if (FAILED(hr))
        return hr;
    *out = static_cast<JsonObject*>(top.detach());
    return S_OK;
}

}  // namespace kestrin::base::json
