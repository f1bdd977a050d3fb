// The token manager's token operations for the connection broker's tests:
// tokens whose own certificate and private key were made by openssl, the
// token URIs each application policy allows, scripted logins, and
// signatures made with the token's real key (SHA-256 over the data).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "qev_records.h"
#include "zelk_result.h"

namespace kestrin::service::test {

struct BrokerTokens {
    // Adds the certificate (DER file) and its key (PEM file) to the token
    // `uri`, made on first use; each own certificate is registered with the
    // own-certificates model too.
    static bool Add(const std::string& uri, const std::string& certificateFile, const std::string& keyFile);
    static void Clear();

    // The token URIs of an application policy by its path; policies without
    // an entry get `fallback`. A failure code makes every policy invalid.
    static void SetURIs(const std::string& policyPath, const std::vector<std::string>& uris);
    static void SetFallbackURIs(const std::vector<std::string>& uris);
    static void SetPolicyResult(HRESULT result);
    // What the tokens' login verbs answer.
    static void SetVerbResult(HRESULT result);

    // "<uri> <reason>" for every login verb, "sign <uri>", "done <uri>".
    static std::vector<std::string> Calls();
    static size_t Count(const std::string& call);
    // The token's own certificate `index` (one reference); NULL when none.
    static PersonalCertificateInfo* Info(const std::string& uri, size_t index = 0);
};

}  // namespace kestrin::service::test
