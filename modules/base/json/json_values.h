// The value classes of JSON documents: reference-counted objects of the
// framework; a collection holds one reference per member.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "json_writer.h"
#include "qevcrypto.h"
#include "zelk_json.h"
#include "zelk_object.h"

namespace kestrin::base::json {

// The storage of the values of one parsed document: blocks handed out in
// order from a few large chunks, all freed together when the last value made
// in them has gone. Values of one document may be released on any thread.
class ValueArena {
public:
    // A new arena held by its creator; NULL when memory runs out.
    static ValueArena* New();
    // Room for one more value (16-byte aligned); only the creator allocates,
    // on its own thread, while it holds the arena. NULL when memory runs out.
    void* allocate(size_t size);
    // One value less; the last one after the creator's hold frees the arena.
    void release();
    // The creator lets go: from now on the values made hold the arena.
    void releaseHold();

private:
    struct Chunk;
    // The creator's hold: more than the values that can be made, so that the
    // values released while it holds never bring the count to 0.
    static constexpr size_t kHold = static_cast<size_t>(-1) / 2;

    ValueArena() = default;
    ~ValueArena();
    void drop(size_t count);

    std::atomic<size_t> live_ {kHold};
    size_t made_ = 0;  // counted by the creator alone, added when it lets go
    Chunk* chunks_ = nullptr;
    char* next_ = nullptr;
    char* end_ = nullptr;
    size_t chunkSize_ = 4096;
};

class JsonValue : public IUnknown, public CComObjectRoot {
public:
    int getType() const { return type_; }

    virtual HRESULT getNumberValue(int* out);
    virtual HRESULT getStringValue(char** out);
    virtual const char* getStringValueStatic();
    virtual HRESULT getBoolValue(bool* out);
    virtual HRESULT Dump(JsonWriter& writer);

    ZELK_BEGIN_INTMAP(JsonValue)
    ZELK_INTMAP_ENTRY_IID(IID_IUnknown, IUnknown)
    ZELK_END_INTMAP()

    // A new value in one block with `extra` more bytes after it (Tail),
    // from `arena` or else from the heap, holding its creator's one
    // reference; NULL when memory runs out. No other thread can see it yet,
    // so its first count is set without the counting lock.
    template <class T>
    static CComObject<T>* Make(size_t extra, ValueArena* arena = nullptr)
    {
        if (extra > static_cast<size_t>(-1) - sizeof(CComObject<T>) - sizeof(BlockHeader))
            return nullptr;
        void* place = Allocate(sizeof(CComObject<T>) + extra, arena);
        if (!place)
            return nullptr;
        CComObject<T>* value = new (place) CComObject<T>();
        value->setFirstReference();
        return value;
    }
    template <class T>
    static char* Tail(CComObject<T>* value)
    {
        return reinterpret_cast<char*>(value) + sizeof(CComObject<T>);
    }

    // Values live in the blocks of Make and go back to the heap or their
    // arena when their count reaches 0.
    static void* operator new(size_t, void* place) noexcept { return place; }
    static void operator delete(void* place);
    static void operator delete(void*, void*) noexcept {}

protected:
    explicit JsonValue(int type) : type_(type) {}
    ~JsonValue() override = default;

private:
    // Before every value: where its block came from (NULL: the heap).
    struct alignas(16) BlockHeader {
        ValueArena* arena;
    };
    static void* Allocate(size_t size, ValueArena* arena);
    void setFirstReference() { m_dwRef = 1; }

    int type_;
};

// A held reference to a value, released on scope exit.
class ValueRef {
public:
    ValueRef() = default;
    explicit ValueRef(JsonValue* adopted) : p_(adopted) {}
    ValueRef(ValueRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ValueRef& operator=(ValueRef&& o) noexcept;
    ValueRef(const ValueRef&) = delete;
    ValueRef& operator=(const ValueRef&) = delete;
    ~ValueRef();

    JsonValue* get() const { return p_; }
    JsonValue* operator->() const { return p_; }
    JsonValue* detach();

private:
    JsonValue* p_ = nullptr;
};

class JsonNull : public JsonValue {
public:
    JsonNull() : JsonValue(JSON_TYPE_NULL) {}
    HRESULT Dump(JsonWriter& w) override { return w.null(); }
    static JsonValue* Make(ValueArena* arena = nullptr);
};

class JsonNumber : public JsonValue {
public:
    JsonNumber() : JsonValue(JSON_TYPE_NUMBER) {}
    HRESULT getNumberValue(int* out) override;
    HRESULT Dump(JsonWriter& w) override { return w.number(value_); }
    static JsonValue* Make(int value, ValueArena* arena = nullptr);

private:
    int value_ = 0;
};

class JsonBool : public JsonValue {
public:
    JsonBool() : JsonValue(JSON_TYPE_BOOL) {}
    HRESULT getBoolValue(bool* out) override;
    HRESULT Dump(JsonWriter& w) override { return w.boolean(value_); }
    static JsonValue* Make(bool value, ValueArena* arena = nullptr);

private:
    bool value_ = false;
};

// The text lives in the value's own block, followed by a NUL.
class JsonString : public JsonValue {
public:
    JsonString() : JsonValue(JSON_TYPE_STRING) {}
    // A copy of the text up to its first NUL (sec_free).
    HRESULT getStringValue(char** out) override;
    const char* getStringValueStatic() override { return text_; }
    HRESULT Dump(JsonWriter& w) override { return w.string(text_, length_); }
    static JsonValue* Make(const char* bytes, size_t length, ValueArena* arena = nullptr);

private:
    const char* text_ = "";
    size_t length_ = 0;
};

// A member of a collection: its value (one reference) and, in an object, its
// name (NUL-terminated; NULL in an array).
struct JsonMember {
    JsonValue* value;
    const char* name;
    size_t nameLength;
};

// Objects and arrays. A parsed collection is one block: the collection, its
// members and their names; what is added later gets storage of its own.
class JsonCollection : public JsonValue {
public:
    unsigned long childcount() const { return count_; }
    JsonValue* getMember(unsigned long index) const { return index < count_ ? members_[index].value : nullptr; }
    JsonValue* getMember(const char* name) const;
    const char* memberName(unsigned long index) const { return index < count_ ? members_[index].name : nullptr; }
    // Replaces the value of that name in its place, or appends; a reference is added.
    HRESULT setMember(const char* name, JsonValue* value);
    // Takes over the caller's reference: the index with all bits set or the
    // count appends, a lower index replaces; a higher one releases `value`.
    HRESULT setItemOrRelease(unsigned long index, JsonValue* value);

    // A collection that takes over `count` members (their references, and for
    // an object their names, copied into its block). A name given twice keeps
    // its first value; the later ones are released. NULL when memory runs
    // out, every value released then.
    template <class T>
    static JsonValue* Build(JsonMember* members, size_t count, ValueArena* arena);

protected:
    explicit JsonCollection(int type) : JsonValue(type) {}
    ~JsonCollection() override;
    HRESULT DumpChildren(JsonWriter& w, bool named);

private:
    static size_t KeepFirstOfEachName(JsonMember* members, size_t count);
    HRESULT reserve(unsigned long need);
    HRESULT append(JsonValue* value, const char* name, size_t length);
    long find(const char* name, size_t length) const;
    void indexInsert(unsigned long position);
    HRESULT indexRebuild();
    bool inBlock(const void* p) const { return p >= block_ && p < blockEnd_; }

    JsonMember* members_ = nullptr;
    unsigned long count_ = 0;
    unsigned long capacity_ = 0;
    // The collection's own block: members and names inside it are not freed apart.
    const char* block_ = nullptr;
    const char* blockEnd_ = nullptr;
    // Name index of large objects, so that member look-ups stay fast.
    uint32_t* index_ = nullptr;
    size_t indexSize_ = 0;
};

class JsonArray;

class JsonObject : public JsonCollection, public IJsonObject {
public:
    JsonObject() : JsonCollection(JSON_TYPE_OBJECT) {}

    int getType() override { return JSON_TYPE_OBJECT; }
    HRESULT Dump(OctetString** out) override;
    unsigned long getMemberCount() override { return childcount(); }
    HRESULT getMemberName(unsigned long index, char** out) override;
    const char* getMemberNameStatic(unsigned long index) override;
    int getMemberType(const char* name) override;
    HRESULT getMemberStringValue(const char* name, char** out) override;
    const char* getMemberStringValueStatic(const char* name) override;
    HRESULT getMemberNumberValue(const char* name, int* out) override;
    HRESULT getMemberObjectValue(const char* name, IJsonObject** out) override;
    HRESULT getMemberArrayValue(const char* name, IJsonArray** out) override;
    HRESULT getMemberBoolValue(const char* name, bool* out) override;
    HRESULT setMemberStringValue(const char* name, const char* text) override;
    HRESULT setMemberNumberValue(const char* name, int value) override;
    HRESULT createMemberObjectValue(const char* name, IJsonObject** out) override;
    HRESULT createMemberArrayValue(const char* name, IJsonArray** out) override;
    HRESULT setMemberBoolValue(const char* name, bool value) override;
    HRESULT setMemberNullValue(const char* name) override;

    HRESULT Dump(JsonWriter& w) override;
    static HRESULT New(ValueRef& out);

    ZELK_BEGIN_INTMAP(JsonObject)
    ZELK_INTMAP_ENTRY(IJsonObject)
    ZELK_END_INTMAP()

private:
    HRESULT store(const char* name, ValueRef& value);
};

class JsonArray : public JsonCollection, public IJsonArray {
public:
    JsonArray() : JsonCollection(JSON_TYPE_ARRAY) {}

    int getType() override { return JSON_TYPE_ARRAY; }
    unsigned long getItemCount() override { return childcount(); }
    int getItemType(unsigned long index) override;
    HRESULT getItemStringValue(unsigned long index, char** out) override;
    const char* getItemStringValueStatic(unsigned long index) override;
    HRESULT getItemNumberValue(unsigned long index, int* out) override;
    HRESULT getItemObjectValue(unsigned long index, IJsonObject** out) override;
    HRESULT getItemArrayValue(unsigned long index, IJsonArray** out) override;
    HRESULT getItemBoolValue(unsigned long index, bool* out) override;
    HRESULT setItemStringValue(unsigned long index, const char* text) override;
    HRESULT setItemNumberValue(unsigned long index, int value) override;
    HRESULT createItemObjectValue(unsigned long index, IJsonObject** out) override;
    HRESULT createItemArrayValue(unsigned long index, IJsonArray** out) override;
    HRESULT setItemBoolValue(unsigned long index, bool value) override;
    HRESULT setItemNullValue(unsigned long index) override;

    HRESULT Dump(JsonWriter& w) override;
    static HRESULT New(ValueRef& out);

    ZELK_BEGIN_INTMAP(JsonArray)
    ZELK_INTMAP_ENTRY(IJsonArray)
    ZELK_END_INTMAP()
};

// The reader's builder over these classes. A collection is made once it is
// complete, in one block with its members: until then its members wait on the
// builder's stack, and the reader's value for it only marks where they begin.
class ValueBuilder {
public:
    class Value {
    public:
        Value() = default;
        Value(Value&& o) noexcept { take(o); }
        Value& operator=(Value&& o) noexcept;
        Value(const Value&) = delete;
        Value& operator=(const Value&) = delete;
        ~Value();

    private:
        friend class ValueBuilder;
        void take(Value& o) noexcept;

        JsonValue* value_ = nullptr;
        int pendingType_ = JSON_TYPE_NONE;  // object or array while its members are read
        size_t from_ = 0;                   // its first member on the stack
    };

    // `text` is the document: names inside it are read from there; decoded
    // names are kept aside until their object is made.
    ValueBuilder(const void* text, size_t length);
    ~ValueBuilder();
    ValueBuilder(const ValueBuilder&) = delete;
    ValueBuilder& operator=(const ValueBuilder&) = delete;

    HRESULT makeObject(Value& v);
    HRESULT makeArray(Value& v);
    HRESULT makeNull(Value& v) { return made(JsonNull::Make(arena_), v); }
    HRESULT makeBool(bool b, Value& v) { return made(JsonBool::Make(b, arena_), v); }
    HRESULT makeNumber(int32_t n, Value& v) { return made(JsonNumber::Make(n, arena_), v); }
    HRESULT makeString(const char* s, size_t n, Value& v) { return made(JsonString::Make(s, n, arena_), v); }
    HRESULT addMember(Value& object, const char* name, size_t n, Value&& v);
    HRESULT appendItem(Value& array, Value&& v);
    // The finished value with its one reference, the collection made if pending.
    HRESULT finish(Value& v, JsonValue** out);

private:
    static HRESULT made(JsonValue* value, Value& v);
    HRESULT complete(Value& v);
    HRESULT grow();
    HRESULT push(JsonValue* value, const char* name, size_t length)
    {
        if (size_ == capacity_ && FAILED(grow())) {
            value->Release();
            return E_OUTOFMEMORY;
        }
        stack_[size_++] = {value, name, length};
        return S_OK;
    }

    const char* text_;
    const char* textEnd_;
    ValueArena* arena_;
    struct KeptName;

    JsonMember* stack_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    KeptName* kept_ = nullptr;
};

// Parses a document; on success *out holds the top-level object with one reference.
HRESULT ParseDocument(const void* text, size_t length, IJsonObject** out);

}  // namespace kestrin::base::json
