// Scripted answers of the token manager's token operations and the
// connection broker, recording every call ("login tok|target", "action x").
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "qev_records.h"
#include "qev_token.h"
#include "zelk_gui.h"
#include "zelk_result.h"

namespace kestrin::service::test {

struct TokenCalls {
    static void Reset();
    static void Add(const std::string& call);
    static std::vector<std::string> Calls();

    static HRESULT s_result;        // what Login, Logout and GetIsEnrolled answer
    static HRESULT s_signResult;    // Sign and Decrypt ("sign uri|key", "decrypt uri|key")
    static HRESULT s_brokerResult;  // the connection broker's own certificates, signing and decryption
    // The default policy's token URIs ("policy").
    static std::vector<std::string> s_policyUris;
    // What IsValidPolicy answers ("valid <path>"); its description is "token of <path>".
    static bool s_policyValid;
    // The certificates GetTrustedCertList appends ("trusted"); the test owns the list.
    static SET_OF_Certificate* s_trusted;
};

// A token of the token manager: its infos (one reference each), its crypto
// library token (one reference, may be NULL) and what its verbs answer.
struct FakeTokenEntry {
    std::string uri;
    std::vector<PersonalCertificateInfo*> infos;
    SecToken* token = nullptr;
    HRESULT verbResult = S_OK;
    bool hasVerb = true;
};

struct FakeTokens {
    // Takes the references of the entry.
    static void Add(const FakeTokenEntry& entry);
    static void Clear();
};

}  // namespace kestrin::service::test
