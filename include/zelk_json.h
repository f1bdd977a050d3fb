// JSON documents of module "zelkbase": trees of reference-counted values
// reached through IJsonObject and IJsonArray, made and parsed through the
// table "jsonapi". Texts handed out are freed with sec_free.
#pragma once

#include "qevcrypto.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IJsonObject, 0x6B0E2D41, 0x93A7, 0x4C15, 0x8F, 0x2E, 0x51, 0xC7, 0x0A, 0x94, 0xD3, 0x68);
ZELK_DEFINE_GUID(IID_IJsonArray, 0x6B0E2D42, 0x93A7, 0x4C15, 0x8F, 0x2E, 0x51, 0xC7, 0x0A, 0x94, 0xD3, 0x68);

// Type codes answered by getType, getMemberType and getItemType.
enum JsonType : int {
    JSON_TYPE_NONE = 0,  // absent member or item
    JSON_TYPE_NULL = 1,
    JSON_TYPE_NUMBER = 2,
    JSON_TYPE_STRING = 3,
    JSON_TYPE_ARRAY = 4,
    JSON_TYPE_OBJECT = 5,
    JSON_TYPE_BOOL = 6,
};

class IJsonArray;

class IJsonObject : public IUnknown {
public:
    virtual int getType() = 0;
    // The text of the document (not NUL-terminated) in a new OctetString.
    virtual HRESULT Dump(OctetString** out) = 0;
    virtual unsigned long getMemberCount() = 0;
    virtual HRESULT getMemberName(unsigned long index, char** out) = 0;
    virtual const char* getMemberNameStatic(unsigned long index) = 0;
    virtual int getMemberType(const char* name) = 0;
    virtual HRESULT getMemberStringValue(const char* name, char** out) = 0;
    virtual const char* getMemberStringValueStatic(const char* name) = 0;
    virtual HRESULT getMemberNumberValue(const char* name, int* out) = 0;
    virtual HRESULT getMemberObjectValue(const char* name, IJsonObject** out) = 0;
    virtual HRESULT getMemberArrayValue(const char* name, IJsonArray** out) = 0;
    virtual HRESULT getMemberBoolValue(const char* name, bool* out) = 0;
    virtual HRESULT setMemberStringValue(const char* name, const char* text) = 0;
    virtual HRESULT setMemberNumberValue(const char* name, int value) = 0;
    virtual HRESULT createMemberObjectValue(const char* name, IJsonObject** out) = 0;
    virtual HRESULT createMemberArrayValue(const char* name, IJsonArray** out) = 0;
    virtual HRESULT setMemberBoolValue(const char* name, bool value) = 0;
    virtual HRESULT setMemberNullValue(const char* name) = 0;

    static const GUID& GetIID() { return IID_IJsonObject; }

protected:
    ~IJsonObject() override = default;
};

// Items are addressed by index; the index with all bits set appends.
class IJsonArray : public IUnknown {
public:
    virtual int getType() = 0;
    virtual unsigned long getItemCount() = 0;
    virtual int getItemType(unsigned long index) = 0;
    virtual HRESULT getItemStringValue(unsigned long index, char** out) = 0;
    virtual const char* getItemStringValueStatic(unsigned long index) = 0;
    virtual HRESULT getItemNumberValue(unsigned long index, int* out) = 0;
    virtual HRESULT getItemObjectValue(unsigned long index, IJsonObject** out) = 0;
    virtual HRESULT getItemArrayValue(unsigned long index, IJsonArray** out) = 0;
    virtual HRESULT getItemBoolValue(unsigned long index, bool* out) = 0;
    virtual HRESULT setItemStringValue(unsigned long index, const char* text) = 0;
    virtual HRESULT setItemNumberValue(unsigned long index, int value) = 0;
    virtual HRESULT createItemObjectValue(unsigned long index, IJsonObject** out) = 0;
    virtual HRESULT createItemArrayValue(unsigned long index, IJsonArray** out) = 0;
    virtual HRESULT setItemBoolValue(unsigned long index, bool value) = 0;
    virtual HRESULT setItemNullValue(unsigned long index) = 0;

    static const GUID& GetIID() { return IID_IJsonArray; }

protected:
    ~IJsonArray() override = default;
};

constexpr const char* JSONAPI_NAME = "jsonapi";
constexpr unsigned long JSON_APPEND = static_cast<unsigned long>(-1);

extern "C" {

// Table "jsonapi" of module "zelkbase".
struct JSONAPI_FUNCTION_TABLE : API_COMMON {
    // 0x80000003 without `out`; else a new empty object with one reference.
    HRESULT (*json_create)(IJsonObject** out);  // 1
    // 0x80000003 without an argument; 0x80004005 for text that does not
    // parse (`out` untouched); else the top-level object with one reference.
    HRESULT (*json_parse)(const OctetString* text, IJsonObject** out);  // 2
};
}
