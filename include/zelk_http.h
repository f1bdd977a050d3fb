// HTTP messages of module "zelkbase": the request parser
// "zelk.webclient.http.request" and the response builder
// "zelk.webclient.http.response", each a new object per creation.
#pragma once

#include "qevcrypto.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IHTTPRequest, 0xEF0335E5, 0xBBD0, 0x4A43, 0x97, 0x62, 0x98, 0xC4, 0x19, 0x14, 0x46, 0xF7);
ZELK_DEFINE_GUID(IID_IHTTPResponse, 0x23EF0DBE, 0xD744, 0x4574, 0xBA, 0x10, 0x9C, 0xCA, 0x64, 0x27, 0x4B, 0x63);

constexpr const char* ZELK_CLASS_HTTP_REQUEST = "zelk.webclient.http.request";
constexpr const char* ZELK_CLASS_HTTP_RESPONSE = "zelk.webclient.http.response";

// Parses one request from the bytes of its connection, fed as they arrive.
class IHTTPRequest : public IUnknown {
public:
    // 0 complete, 1 more bytes needed, 0x80004005 refused (a line over 1,024
    // bytes, a body over 1 MiB, a malformed request line, "%00" in the
    // target, a NUL byte or a negative Content-Length; getRefusalStatus tells
    // the status to answer), 0x80000003 without bytes, 0x8007000E out of memory.
    virtual HRESULT parse(unsigned char* data, unsigned long length) = 0;
    virtual const char* getMethod() = 0;
    virtual const char* getURI() = 0;
    virtual const char* getPath() = 0;
    virtual const char* getHTTPVersion() = 0;
    virtual const char* getBody() = 0;
    // Borrowed bytes; 0x80000003 without `out`, 0x80004005 without a body.
    virtual HRESULT getBodyBlob(OctetString* out) = 0;
    virtual bool hasBody() = 0;
    // Only "Referer" and "Origin" are kept; a new copy (NULL for a header
    // without value); 0x80004005 for every name not kept.
    virtual HRESULT getHeaderValue(const char* name, char** out) = 0;
    virtual HRESULT getQueryString(const char* name, char** out) = 0;
    // After a refusal: 400, 413 or 414. Also 400 for a request that parsed but
    // whose framing or headers other servers may read differently
    // (Transfer-Encoding, a Content-Length that is not plain digits or differs
    // from an earlier one, a folded header line, a lone CR or LF in a line, a
    // blank before a header's colon, an unknown method): the caller refuses it
    // and closes the connection. 0 otherwise.
    virtual int getRefusalStatus() = 0;

    static const GUID& GetIID() { return IID_IHTTPRequest; }

protected:
    ~IHTTPRequest() override = default;
};

class IHTTPResponse : public IUnknown {
public:
    // *buffer: NULL or a buffer of the crypto library's allocator whose
    // capacity is *length; on return the serialised bytes and their count.
    // 0x8007000E (and *buffer NULL, the old buffer freed) when it cannot grow.
    virtual HRESULT getNetworkBytes(unsigned char** buffer, unsigned long* length) = 0;
    // A code above 1000, or a reason holding CR or LF, answers 0x80004005.
    virtual HRESULT setStatus(int code, const char* reason) = 0;
    virtual int getStatus() = 0;
    virtual HRESULT setHTTPVersion(const char* version) = 0;
    virtual HRESULT setBody(const char* body) = 0;
    // Trimmed, kept in order of addition; NULL or CR/LF answers 0x80004005.
    virtual HRESULT addHeader(const char* name, const char* value) = 0;

    static const GUID& GetIID() { return IID_IHTTPResponse; }

protected:
    ~IHTTPResponse() override = default;
};
