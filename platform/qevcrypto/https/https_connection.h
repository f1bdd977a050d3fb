// One HTTPS connection of a URL context: libcurl's easy handle with its
// headers, proxy and time-out, and the last response.
#pragma once

#include <curl/curl.h>

#include <string>
#include <utility>
#include <vector>

#include "https_counted.h"
#include "https_identity.h"
#include "https_verify.h"
#include "qev_pse.h"

namespace kestrin::qevcrypto::https {

class HttpsConnection final : public Counted<url_connection> {
public:
    // `identity` (may be NULL) authenticates the client when the server asks.
    HttpsConnection(unsigned long timeoutSeconds, std::vector<ossl::X509Ptr> anchors,
                    std::shared_ptr<const ClientIdentity> identity = nullptr);
    ~HttpsConnection();

    const char* getType() override { return "url_connection"; }

    HRESULT setNameChecks(unsigned int flags) override;
    HRESULT open(const char* url, const char* httpVersion) override;
    HRESULT addRequestHeader(const char* name, const char* value) override;
    HRESULT setRequestHeader(const char* name, const char* value) override;
    HRESULT setProxy(const char* proxyUrl, const char* httpVersion, unsigned long, unsigned long) override;
    HRESULT getHost(SET_OF_String** out) override;
    HRESULT sendRequest(const OctetString* body, OctetString** response) override;
    const char* getStatusLine() override;
    const char* const* getResponseHeaderLines(unsigned long* count) override;
    const char* getResponseHeader(const char* name) override;

private:
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static CURLcode OnSslContext(CURL* curl, void* sslCtx, void* self);

    HRESULT Configure(const OctetString* body, curl_slist** headers);
    HRESULT MapFailure(CURLcode code);
    void ClearResponse();

    CURL* m_curl = nullptr;
    unsigned long m_timeout;
    std::string m_url;
    bool m_https = false;
    long m_httpVersion = CURL_HTTP_VERSION_1_0;
    std::string m_proxy;
    std::vector<std::pair<std::string, std::string>> m_headers;
    VerifyState m_verify;
    std::shared_ptr<const ClientIdentity> m_identity;

    std::string m_body;
    bool m_bodyTooLong = false;
    bool m_connected = false;
    bool m_hasResponse = false;
    std::string m_status;
    std::vector<std::string> m_lines;
    std::vector<const char*> m_linePointers;
};

}  // namespace kestrin::qevcrypto::https
