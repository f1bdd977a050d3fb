// The token manager's look-ups of enrolment profiles for the web adapter:
// the profile a page means, the origins of the web-adapter profiles and the
// profile tokens by index. The scans read a snapshot of the profile tokens.
#include <cstring>
#include <string>

#include "profile_match.h"
#include "qev_results.h"
#include "token_kv.h"
#include "token_manager.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_strings.h"
#include "zelk_text.h"
#include "zelk_trace.h"
#include "zelk_url.h"

namespace ZELK::PSESVC {
namespace {

// The profile token of a list entry with one reference, NULL for any other.
CToken_KV* AsProfileToken(CToken* token)
{
    CToken_KV* profile = nullptr;
    if (token == nullptr || FAILED(token->QueryInterface(IID_CToken_KV, reinterpret_cast<void**>(&profile))))
        return nullptr;
    return profile;
}

// Walks a list of texts each ended by a NUL, the list by an empty one.
template <class F>
void ForEachEntry(const char* list, F f)
{
    for (const char* p = list; p != nullptr && *p != '\0'; p += String_Length(p) + 1) {
        if (!f(p))
            return;
    }
}

}  // namespace

HRESULT CTokenMgr::GetProfileNameByID(const char* host, const char* profileId, char** profileName)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTokenMgr::GetProfileNameByID");
    if (host == nullptr || profileId == nullptr || profileName == nullptr)
        return trace.result = E_INVALIDARG;
    *profileName = nullptr;
    WaitForAllMonitors();
    IURLParser* parser = nullptr;
    if (FAILED(ZELK_CreateObject("zelkbase", ZELK_CLASS_URL_PARSER, IID_IURLParser, reinterpret_cast<void**>(&parser)))
        || parser == nullptr)
        return trace.result = E_INVALIDARG;
    if (FAILED(parser->parse(host))) {
        parser->Release();
        return trace.result = E_INVALIDARG;
    }
    AuxRefArray<CToken> tokens;
    Snapshot(m_csProfileTokens, m_apProfileTokens, tokens);
    trace.result = E_TOKEN_NOTFOUND;
    for (uint64_t i = 0; i < tokens.Count() && trace.result == E_TOKEN_NOTFOUND; ++i) {
        CToken_KV* profile = AsProfileToken(tokens[i]);
        if (profile == nullptr)
            continue;
        MultiStringT urls;
        profile->GetEnrollURLs(&urls);
        ForEachEntry(urls, [&](const char* url) {
            if (!ProfileURLMatches(parser, url, profileId))
                return true;
            const char* name = profile->GetProfileName();
            if (FAILED(String_Copy(name != nullptr ? name : "", profileName)))
                return true;
            SECTRACE_FormatLn("zelk", 3, "Found: host/profileid: [%s][%s] ==> Profile name: [%s]", host, profileId,
                              *profileName);
            trace.result = S_OK;
            return false;
        });
        static_cast<CToken*>(profile)->Release();
    }
    parser->Release();
    return trace.result;
}

HRESULT CTokenMgr::GetAllConfiguredKVSURIs(char** origins)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTokenMgr::GetAllConfiguredKVSURIs");
    if (origins == nullptr)
        return trace.result = E_INVALIDARG;
    *origins = nullptr;
    WaitForAllMonitors();
    AuxRefArray<CToken> tokens;
    Snapshot(m_csProfileTokens, m_apProfileTokens, tokens);
    // Gathered as one text, each entry ended by a NUL: appending to a
    // multi-string walks it whole each time, too slow for many profiles.
    std::string list;
    for (uint64_t i = 0; i < tokens.Count(); ++i) {
        CToken_KV* profile = AsProfileToken(tokens[i]);
        if (profile == nullptr)
            continue;
        // The type as written in the configuration, in any case: the token
        // class was chosen by it without case too.
        const char* type = profile->GetProfileType();
        if (type != nullptr && String_CompareNoCase(type, "webadapter") == 0) {
            MultiStringT urls;
            profile->GetEnrollURLs(&urls);
            ForEachEntry(urls, [&](const char* url) {
                const uint32_t scheme = String_Find(url, 0, "//");
                if (scheme == ZELK_STRING_NOTFOUND)
                    return true;
                const uint32_t path = String_Find(url, scheme + 2, "/");
                list.append(url, path == ZELK_STRING_NOTFOUND ? std::strlen(url) : path);
                list.push_back('\0');
                return true;
            });
        }
        static_cast<CToken*>(profile)->Release();
    }
    auto* text = static_cast<char*>(sec_calloc(list.size() + 2, 1));
    if (text == nullptr)
        return trace.result = E_OUTOFMEMORY;
    std::memcpy(text, list.data(), list.size());
    *origins = text;
    return trace.result = S_OK;
}

HRESULT CTokenMgr::GetAllKVSTokens(unsigned long index, CToken_KV** token)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTokenMgr::GetAllKVSTokens");
    if (token == nullptr)
        return trace.result = E_INVALIDARG;
    WaitForAllMonitors();
    *token = nullptr;
    CToken* entry = nullptr;
    {
        CriticalCodeSection lock(&m_csProfileTokens);
        if (index < m_apProfileTokens.Count()) {
            entry = m_apProfileTokens[index];
            entry->AddRef();
        }
    }
    if (entry == nullptr)
        return trace.result = E_FAIL;
    *token = AsProfileToken(entry);
    entry->Release();
    return trace.result = *token != nullptr ? S_OK : E_FAIL;
}

}  // namespace ZELK::PSESVC
