// The value classes of JSON documents: reference-counted objects of the
// framework; a collection holds one reference per child.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json_writer.h"
#include "qevcrypto.h"
#include "zelk_json.h"
#include "zelk_object.h"

namespace kestrin::base::json {

class JsonValue : public IUnknown, public CComObjectRoot {
public:
    ~JsonValue() override;

    // Stores a copy of the bytes, followed by a NUL the length does not count.
    HRESULT setName(const char* bytes, size_t length);
    const OctetString* getName() const { return name_; }
    int getType() const { return type_; }

    virtual HRESULT getNumberValue(int* out);
    virtual HRESULT getStringValue(char** out);
    virtual const char* getStringValueStatic();
    virtual HRESULT getBoolValue(bool* out);
    virtual HRESULT Dump(JsonWriter& writer);

    ZELK_BEGIN_INTMAP(JsonValue)
    ZELK_INTMAP_ENTRY_IID(IID_IUnknown, IUnknown)
    ZELK_END_INTMAP()

protected:
    explicit JsonValue(int type) : type_(type) {}

private:
    OctetString* name_ = nullptr;
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
    static HRESULT New(ValueRef& out);
};

class JsonNumber : public JsonValue {
public:
    JsonNumber() : JsonValue(JSON_TYPE_NUMBER) {}
    void setValue(int value) { value_ = value; }
    HRESULT getNumberValue(int* out) override;
    HRESULT Dump(JsonWriter& w) override { return w.number(value_); }
    static HRESULT New(int value, ValueRef& out);

private:
    int value_ = 0;
};

class JsonBool : public JsonValue {
public:
    JsonBool() : JsonValue(JSON_TYPE_BOOL) {}
    void setValue(bool value) { value_ = value; }
    HRESULT getBoolValue(bool* out) override;
    HRESULT Dump(JsonWriter& w) override { return w.boolean(value_); }
    static HRESULT New(bool value, ValueRef& out);

private:
    bool value_ = false;
};

class JsonString : public JsonValue {
public:
    JsonString() : JsonValue(JSON_TYPE_STRING) {}
    ~JsonString() override;
    HRESULT setValue(const char* bytes, size_t length);
    // A copy of the text up to its first NUL (sec_free).
    HRESULT getStringValue(char** out) override;
    const char* getStringValueStatic() override;
    HRESULT Dump(JsonWriter& w) override;
    static HRESULT New(const char* bytes, size_t length, ValueRef& out);

private:
    OctetString value_ {0, nullptr};
};

class JsonCollection : public JsonValue {
public:
    ~JsonCollection() override;

    unsigned long childcount() const { return count_; }
    JsonValue* getMember(unsigned long index) const { return index < count_ ? children_[index] : nullptr; }
    JsonValue* getMember(const char* name, size_t length) const;
    JsonValue* getMember(const char* name) const;
    // Appends with a reference added.
    HRESULT addMember(JsonValue* value);
    // With a name: 0x80004005 and nothing added when a child of that name exists.
    HRESULT addMember(const char* name, size_t length, JsonValue* value);
    // Replaces the child of that name in its place, or appends; a reference is added.
    HRESULT setMember(const char* name, JsonValue* value);
    // Takes over the caller's reference: the index with all bits set or the
    // count appends, a lower index replaces; a higher one releases `value`.
    HRESULT setItemOrRelease(unsigned long index, JsonValue* value);

protected:
    explicit JsonCollection(int type) : JsonValue(type) {}
    HRESULT DumpChildren(JsonWriter& w, bool named);

private:
    HRESULT reserve(unsigned long need);
    HRESULT append(JsonValue* value);
    long find(const char* name, size_t length) const;
    void indexInsert(unsigned long position);
    HRESULT indexRebuild();

    JsonValue** children_ = nullptr;
    unsigned long count_ = 0;
    unsigned long capacity_ = 0;
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

// The reader's builder over these classes.
struct ValueBuilder {
    using Value = ValueRef;
    HRESULT makeObject(Value& v) { return JsonObject::New(v); }
    HRESULT makeArray(Value& v) { return JsonArray::New(v); }
    HRESULT makeNull(Value& v) { return JsonNull::New(v); }
    HRESULT makeBool(bool b, Value& v) { return JsonBool::New(b, v); }
    HRESULT makeNumber(int32_t n, Value& v) { return JsonNumber::New(n, v); }
    HRESULT makeString(const char* s, size_t n, Value& v) { return JsonString::New(s, n, v); }
    HRESULT addMember(Value& object, const char* name, size_t n, Value&& v);
    HRESULT appendItem(Value& array, Value&& v);
};

// Parses a document; on success *out holds the top-level object with one reference.
HRESULT ParseDocument(const void* text, size_t length, IJsonObject** out);

}  // namespace kestrin::base::json
