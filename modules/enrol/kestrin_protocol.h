// What the enrolment protocol versions share: the choice of the version from
// the enrol URL, the base class with its operations in slot order and the
// services it offers the versions through the client.
#pragma once

#include <cstdint>

#include "zelk_kestrin.h"
#include "zelk_text.h"

namespace kestrin::enrol {

class CKestrin;
class CKestrinInputField;

// The input fields of a protocol object, one reference each.
class AuxIUnknownArray {
public:
    AuxIUnknownArray() = default;
    ~AuxIUnknownArray() { Free(); }
    AuxIUnknownArray(const AuxIUnknownArray&) = delete;
    AuxIUnknownArray& operator=(const AuxIUnknownArray&) = delete;

    // A null field is ignored; when the array cannot grow it is emptied.
    void Add(CKestrinInputField* field);
    uint64_t Count() const { return m_count; }
    CKestrinInputField* operator[](uint64_t index) const { return index < m_count ? m_fields[index] : nullptr; }
    void Free();

private:
    CKestrinInputField** m_fields = nullptr;
    uint64_t m_count = 0;
};

class CKestrin_Protocol {
public:
    // The object for the enrol URL: protocol 1.0 for "/kestrin/" or
    // "KestrinServer/kvc1/", 2.0 for "KestrinServer/kvc2/", else 3.0
    // (found anywhere, case-sensitive). The caller deletes it.
    static CKestrin_Protocol* New(CKestrin* client, const char* enrolUrl);

    explicit CKestrin_Protocol(CKestrin* client) : m_client(client) {}
    virtual ~CKestrin_Protocol();
    CKestrin_Protocol(const CKestrin_Protocol&) = delete;
    CKestrin_Protocol& operator=(const CKestrin_Protocol&) = delete;

    virtual HRESULT Send_Init(const wchar_t* language);
    virtual HRESULT Send_Auth(const wchar_t* user, const wchar_t* password);
    virtual HRESULT Send_Auth_SPNEGO(const char* token);
    virtual HRESULT Send_ServerPin();
    virtual HRESULT Send_NewPin(const wchar_t* pin);
    virtual HRESULT Send_DeleteSession(int kind);
    virtual HRESULT Send_NextCode(const wchar_t* code);
    virtual HRESULT Send_PKCS10();
    virtual HRESULT GetInputObjects(size_t index, IKestrinInputField** out);
    virtual HRESULT Send_Auth() = 0;
    virtual HRESULT GetProtocolVersion() = 0;
    virtual HRESULT Send_Any(const char* body, const char* contentType);
    virtual HRESULT Send_Any_Burn(StringT<char>& body, const char* contentType);
    virtual HRESULT SetState(QM_CLIENT_STATE state);
    virtual QM_CLIENT_STATE GetState();
    virtual unsigned GetType();
    virtual HRESULT SetHttpHeader(const char* name, const char* value);
    virtual const char* GetHttpResponseHeader(const char* name);
    virtual const char* GetResponseBody();
    virtual OctetString* GetResponseBodyBlob();

protected:
    CKestrin* m_client;
    AuxIUnknownArray m_fields;
};

}  // namespace kestrin::enrol
