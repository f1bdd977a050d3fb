// A facade double for tests: every operation is recorded as one line and
// answers a status the test sets per operation (200 by default); origins are
// accepted when their scheme, host and port part is the accepted one.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "webadapter/kvc_api_facade.h"
#include "zelk_object.h"

namespace kestrin::webadapter::test {

class FacadeDouble : public ZELK::PSESVC::CKVCAPIFacade, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FacadeDouble)
    ZELK_INTMAP_ENTRY_IID(IID_CKVCAPIFacade, ZELK::PSESVC::CKVCAPIFacade)
    ZELK_END_INTMAP()

    static constexpr const char* kAccepted = "https://enrol.test:8443";

    // Forgets the calls, the answers set and an origin accepted in place of kAccepted.
    static void Reset();
    // Accepts `origin` (scheme, host and port) in place of kAccepted until Reset.
    static void Accept(const std::string& origin);
    static std::vector<std::string> Calls();
    static void Answer(const std::string& operation, int status);

    HRESULT transact(const char* caller, const char* path, IJsonObject* request, IJsonObject* response) override;
    int createPKCS10(const char* origin, const char* profileId, const char* uid, const char* subjectNameDER,
                     const char* extensionsDER, IJsonObject* answer) override;
    int createContext(const char* origin, const char* profileId, IJsonObject* clientConfig, uint32_t pid,
                      IJsonObject* answer) override;
    int cancelContext(const char* origin, const char* profileId, const char* uid, IJsonObject* answer) override;
    int importP7(const char* origin, const char* profileId, const char* uid, const char* pkcs7,
                 IJsonObject* answer) override;
    int login(const char* origin, const char* profileId, IJsonObject* answer) override;
    int logout(const char* origin, const char* profileId, IJsonObject* answer) override;
    int status(const char* origin, const char* profileId, IJsonObject* answer) override;
    int clearSChannelCache(IJsonObject* answer) override;
    bool checkOrigin(const char* origin, char** allowed) override;
    int getProfileNames(IJsonObject* answer) override;
    HRESULT getOriginList(char** list) override;
    HRESULT getProfileNamesList(char** list) override;
    ZELK::PSESVC::CToken_KV* getToken(const char* origin, const char* profileId) override;
    void traceOrigins(const char* origin, const char* profileId) override;
    void traceProfileIDs(const char* origin, const char* profileId) override;

protected:
    // Records `line` and answers the status set for `operation`.
    static int Record(const std::string& operation, const std::string& line);
};

// Registers the double under the facade's class name of module "zelk".
HRESULT CreateFacadeDouble(const GUID& iid, void** out);

}  // namespace kestrin::webadapter::test
