#include "enrol_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#ifndef KESTRIN_TESTSUPPORT_DIR
#error "KESTRIN_TESTSUPPORT_DIR must name the testsupport folder"
#endif

namespace kestrin::testsupport {

std::string Base64Encode(const std::string& bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string Base64Decode(const std::string& text)
{
    std::string out(3 * (text.size() / 4) + 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        return {};
    size_t length = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the padding's bytes as data.
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && length > 0; --i)
        --length;
    out.resize(length);
    return out;
}

EnrolServer::EnrolServer() : m_folder("kestrin-enrol-") {}

EnrolServer::~EnrolServer()
{
    Stop();
}

bool EnrolServer::Start(std::string& error, const KdcFixture* kdc)
{
    std::map<std::string, std::string> env;
    if (kdc != nullptr) {
        env = kdc->Environment();
        env["KRB5_KTNAME"] = "FILE:" + kdc->Keytab("HTTP");
    }
    env["PYTHONDONTWRITEBYTECODE"] = "1";
    if (!m_pages.empty())
        env["KESTRIN_TEST_PAGES"] = m_pages;
    if (m_folder.path().empty()
        || !m_server.Start({"/usr/bin/python3", KESTRIN_TESTSUPPORT_DIR "/enrolserver/server.py", m_folder.path()},
                           env)) {
        error = "the enrolment server did not start";
        return false;
    }
    std::string line;
    while (m_server.ReadLine(line, 60)) {
        if (line == "ready")
            return true;
        size_t blank = line.find(' ');
        if (blank != std::string::npos)
            m_info[line.substr(0, blank)] = line.substr(blank + 1);
    }
    error = "the enrolment server did not get ready";
    return false;
}

void EnrolServer::Stop()
{
    m_server.Stop();
}

int EnrolServer::Port(const std::string& name) const
{
    auto it = m_info.find(name);
    return it == m_info.end() ? -1 : std::stoi(it->second);
}

std::string EnrolServer::Url(const std::string& kind, const std::string& path) const
{
    return "https://localhost:" + std::to_string(Port(kind)) + path;
}

std::string EnrolServer::File(const std::string& name) const
{
    auto it = m_info.find(name);
    return it == m_info.end() ? std::string() : it->second;
}

std::string EnrolServer::ReadFile(const std::string& name) const
{
    std::ifstream in(File(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool EnrolServer::Admin(const std::string& method, const std::string& path, const std::string& body, std::string& reply)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(Port("admin")));
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    std::string request =
        method + " " + path + " HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (size_t sent = 0; ok && sent < request.size();) {
        ssize_t n = send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        ok = n > 0;
        sent += ok ? static_cast<size_t>(n) : 0;
    }
    std::string all;
    char buffer[65536];
    ssize_t n;
    while (ok && (n = recv(s, buffer, sizeof buffer, 0)) > 0)
        all.append(buffer, static_cast<size_t>(n));
    close(s);
    size_t end = all.find("\r\n\r\n");
    if (!ok || end == std::string::npos || all.compare(0, 12, "HTTP/1.0 200") != 0)
        return false;
    reply = all.substr(end + 4);
    return true;
}

bool EnrolServer::Queue(const std::string& path, const QueuedReply& reply)
{
    nlohmann::json queued = {
        {"path", path}, {"status", reply.status}, {"reason", reply.reason}, {"body_b64", Base64Encode(reply.body)}};
    queued["headers"] = nlohmann::json::array();
    for (const auto& [name, value] : reply.headers)
        queued["headers"].push_back({name, value});
    if (!reply.raw.empty())
        queued["raw_b64"] = Base64Encode(reply.raw);
    std::string ignored;
    return Admin("POST", "/queue", queued.dump(), ignored);
}

nlohmann::json EnrolServer::Requests()
{
    std::string reply;
    return Admin("GET", "/requests", "", reply) ? nlohmann::json::parse(reply) : nlohmann::json::array();
}

nlohmann::json EnrolServer::ProxyTargets()
{
    std::string reply;
    return Admin("GET", "/proxy", "", reply) ? nlohmann::json::parse(reply) : nlohmann::json::array();
}

nlohmann::json EnrolServer::SpnegoAccepted()
{
    std::string reply;
    return Admin("GET", "/spnego", "", reply) ? nlohmann::json::parse(reply) : nlohmann::json::array();
}

bool EnrolServer::Reset()
{
    std::string ignored;
    return Admin("POST", "/reset", "", ignored);
}

std::vector<std::string> EnrolServer::HeaderValues(const nlohmann::json& request, const std::string& name)
{
    std::vector<std::string> out;
    for (const auto& h : request["headers"])
        if (strcasecmp(h[0].get<std::string>().c_str(), name.c_str()) == 0)
            out.push_back(h[1].get<std::string>());
    return out;
}

std::string EnrolServer::Body(const nlohmann::json& request)
{
    return Base64Decode(request["body_b64"].get<std::string>());
}

}  // namespace kestrin::testsupport
