#include "facade_double.h"

#include <cstring>

#include "zelk_alloc.h"

namespace kestrin::webadapter::test {

namespace {

std::mutex s_mutex;
std::vector<std::string> s_calls;
std::map<std::string, int> s_answers;
std::string s_accepted = FacadeDouble::kAccepted;

std::string Text(const char* text)
{
    return text != nullptr ? text : "(null)";
}

}  // namespace

void FacadeDouble::Reset()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_calls.clear();
    s_answers.clear();
    s_accepted = kAccepted;
}

void FacadeDouble::Accept(const std::string& origin)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_accepted = origin;
}

std::vector<std::string> FacadeDouble::Calls()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_calls;
}

void FacadeDouble::Answer(const std::string& operation, int status)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_answers[operation] = status;
}

int FacadeDouble::Record(const std::string& operation, const std::string& line)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_calls.push_back(operation + (line.empty() ? "" : " " + line));
    auto it = s_answers.find(operation);
    return it != s_answers.end() ? it->second : 200;
}

HRESULT FacadeDouble::transact(const char* caller, const char* path, IJsonObject* request, IJsonObject* response)
{
    int result = Record("transact", Text(caller) + " " + Text(path) + (request != nullptr ? " body" : " nobody"));
    if (result >= 0)
        response->setMemberNumberValue("status", 0);
    return result;
}

int FacadeDouble::createPKCS10(const char* origin, const char* profileId, const char* uid, const char* subjectNameDER,
                               const char* extensionsDER, IJsonObject* answer)
{
    answer->setMemberStringValue("pkcs10", "MIIB");
    return Record("createPKCS10", Text(origin) + " " + Text(profileId) + " " + Text(uid) + " " + Text(subjectNameDER)
                                      + " " + Text(extensionsDER));
}

int FacadeDouble::createContext(const char* origin, const char* profileId, IJsonObject* clientConfig, uint32_t pid,
                                IJsonObject* answer)
{
    bool monitor = false;
    clientConfig->getMemberBoolValue("browserMonitor", &monitor);
    answer->setMemberStringValue("uid", "u1");
    return Record("createContext",
                  Text(origin) + " " + Text(profileId) + " " + std::to_string(pid) + (monitor ? " monitor" : ""));
}

int FacadeDouble::cancelContext(const char* origin, const char* profileId, const char* uid, IJsonObject*)
{
    return Record("cancelContext", Text(origin) + " " + Text(profileId) + " " + Text(uid));
}

int FacadeDouble::importP7(const char* origin, const char* profileId, const char* uid, const char* pkcs7, IJsonObject*)
{
    return Record("importP7", Text(origin) + " " + Text(profileId) + " " + Text(uid) + " " + Text(pkcs7));
}

int FacadeDouble::login(const char* origin, const char* profileId, IJsonObject* answer)
{
    answer->setMemberStringValue("profileid", profileId);
    answer->setMemberStringValue("status", "SUCCESS");
    return Record("login", Text(origin) + " " + Text(profileId));
}

int FacadeDouble::logout(const char* origin, const char* profileId, IJsonObject*)
{
    return Record("logout", Text(origin) + " " + Text(profileId));
}

int FacadeDouble::status(const char* origin, const char* profileId, IJsonObject* answer)
{
    answer->setMemberStringValue("profileid", profileId);
    answer->setMemberStringValue("status", "LOGGED_IN");
    return Record("status", Text(origin) + " " + Text(profileId));
}

int FacadeDouble::clearSChannelCache(IJsonObject*)
{
    return Record("clearSChannelCache", "");
}

bool FacadeDouble::checkOrigin(const char* origin, char** allowed)
{
    Record("checkOrigin", Text(origin));
    *allowed = nullptr;
    if (origin == nullptr)
        return false;
    std::string text(origin);
    size_t host = text.find("://");
    size_t end = host == std::string::npos ? std::string::npos : text.find('/', host + 3);
    std::string part = text.substr(0, end);
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (part != s_accepted)
            return false;
    }
    *allowed = static_cast<char*>(sec_malloc(part.size() + 1));
    std::memcpy(*allowed, part.c_str(), part.size() + 1);
    return true;
}

int FacadeDouble::getProfileNames(IJsonObject* answer)
{
    IJsonArray* profiles = nullptr;
    if (SUCCEEDED(answer->createMemberArrayValue("profiles", &profiles)) && profiles != nullptr) {
        profiles->setItemStringValue(JSON_APPEND, "Office");
        profiles->Release();
    }
    return Record("getProfileNames", "");
}

HRESULT FacadeDouble::getOriginList(char**)
{
    return Record("getOriginList", "");
}

HRESULT FacadeDouble::getProfileNamesList(char**)
{
    return Record("getProfileNamesList", "");
}

ZELK::PSESVC::CToken_KV* FacadeDouble::getToken(const char* origin, const char* profileId)
{
    Record("getToken", Text(origin) + " " + Text(profileId));
    return nullptr;
}

void FacadeDouble::traceOrigins(const char* origin, const char* profileId)
{
    Record("traceOrigins", Text(origin) + " " + Text(profileId));
}

void FacadeDouble::traceProfileIDs(const char* origin, const char* profileId)
{
    Record("traceProfileIDs", Text(origin) + " " + Text(profileId));
}

HRESULT CreateFacadeDouble(const GUID& iid, void** out)
{
    return CFactoryImpl<FacadeDouble>::New(iid, out);
}

}  // namespace kestrin::webadapter::test
