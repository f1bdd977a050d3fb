// The test enrolment server (testsupport/enrolserver/server.py) as a fixture:
// started on 127.0.0.1 with a temporary folder for its test CA, stopped by its
// process id. See server.py for its ports and its protocol 1.0 users.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "kdc_fixture.h"
#include "test_process.h"

namespace kestrin::testsupport {

struct QueuedReply {
    int status = 200;
    std::string reason = "OK";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Sent as it stands in place of a reply when not empty.
    std::string raw;
};

class EnrolServer {
public:
    EnrolServer();
    ~EnrolServer();
    EnrolServer(const EnrolServer&) = delete;
    EnrolServer& operator=(const EnrolServer&) = delete;

    // With a KDC, SPNEGO tokens are accepted with its "HTTP/localhost" keytab.
    bool Start(std::string& error, const KdcFixture* kdc = nullptr);
    // Before Start: every port answers GET "/pages/NAME" with that file of `folder`.
    void ServePages(const std::string& folder) { m_pages = folder; }
    void Stop();

    // Port of a service: "good", "wrongname", "cnonly", "noserverauth", "expired",
    // "unknownca", "denied", "clientcert", "admin", "silent", "blackhole", "proxy".
    int Port(const std::string& name) const;
    // "https://localhost:<port of kind>" followed by the path.
    std::string Url(const std::string& kind, const std::string& path) const;
    // PEM files of the CA: "root", "inter" (its key "inter.key"), "other" (the root nobody trusts);
    // "client": a TLS client identity as PKCS#12 with an empty password.
    std::string File(const std::string& name) const;
    std::string ReadFile(const std::string& name) const;

    bool Queue(const std::string& path, const QueuedReply& reply);
    nlohmann::json Requests();
    nlohmann::json ProxyTargets();
    nlohmann::json SpnegoAccepted();
    bool Reset();

    // Every request's header values of a name, in order of arrival.
    static std::vector<std::string> HeaderValues(const nlohmann::json& request, const std::string& name);
    static std::string Body(const nlohmann::json& request);

private:
    bool Admin(const std::string& method, const std::string& path, const std::string& body, std::string& reply);

    TempFolder m_folder;
    ChildProcess m_server;
    std::map<std::string, std::string> m_info;
    std::string m_pages;
};

std::string Base64Encode(const std::string& bytes);
std::string Base64Decode(const std::string& text);

}  // namespace kestrin::testsupport
