// The local web API's facade ("zelk.webclient.kvc.api.facade" of module
// "zelk"): the operations behind the JSON API of the local HTTPS server and
// the service PSE's control channel. Operations answer HTTP statuses as
// plain integers (200, 403, 404, 500).
#pragma once

#include <cstdint>

#include "zelk_json.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_CKVCAPIFacade, 0xF92F7D26, 0xCC03, 0x4FC3, 0xA9, 0x0A, 0x23, 0x85, 0x3F, 0x50, 0x68, 0xF5);

namespace ZELK::PSESVC {

class CToken_KV;

constexpr const char* KVC_API_FACADE_CLASS = "zelk.webclient.kvc.api.facade";

class CKVCAPIFacade : public IUnknown {
public:
    static const GUID& GetIID() { return IID_CKVCAPIFacade; }

    virtual ~CKVCAPIFacade() = default;

    // Serves one control request named by `path` ("kvc/getprofiles",
    // "mzt/sign"), writing the answer into `response`; `request` may be NULL.
    virtual HRESULT transact(const char* caller, const char* path, IJsonObject* request, IJsonObject* response) = 0;
    virtual int createPKCS10(const char* origin, const char* profileId, const char* uid, const char* subjectNameDER,
                             const char* extensionsDER, IJsonObject* answer) = 0;
    virtual int createContext(const char* origin, const char* profileId, IJsonObject* clientConfig, uint32_t pid,
                              IJsonObject* answer) = 0;
    virtual int cancelContext(const char* origin, const char* profileId, const char* uid, IJsonObject* answer) = 0;
    virtual int importP7(const char* origin, const char* profileId, const char* uid, const char* pkcs7,
                         IJsonObject* answer) = 0;
    virtual int login(const char* origin, const char* profileId, IJsonObject* answer) = 0;
    virtual int logout(const char* origin, const char* profileId, IJsonObject* answer) = 0;
    virtual int status(const char* origin, const char* profileId, IJsonObject* answer) = 0;
    virtual int clearSChannelCache(IJsonObject* answer) = 0;
    // True when `origin` (an "Origin" or "Referer" value) is accepted;
    // *allowed then holds its scheme, host and port part, from the crypto
    // library's allocator.
    virtual bool checkOrigin(const char* origin, char** allowed) = 0;
    virtual int getProfileNames(IJsonObject* answer) = 0;
    virtual HRESULT getOriginList(char** list) = 0;
    virtual HRESULT getProfileNamesList(char** list) = 0;
    // The profile's token or NULL; the caller takes its own reference.
    virtual CToken_KV* getToken(const char* origin, const char* profileId) = 0;
    // Trace output only, at level 4.
    virtual void traceOrigins(const char* origin, const char* profileId) = 0;
    virtual void traceProfileIDs(const char* origin, const char* profileId) = 0;
};

}  // namespace ZELK::PSESVC
