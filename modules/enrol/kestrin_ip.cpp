#include "kestrin_ip.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "zelk_text.h"

namespace kestrin::enrol {

namespace {

std::atomic<CKestrinIP::Resolve> s_resolve {&getaddrinfo};
std::atomic<CKestrinIP::FreeResult> s_free {&freeaddrinfo};
std::atomic<CKestrinIP::HostName> s_hostName {&gethostname};

}  // namespace

void CKestrinIP::SetResolver(Resolve resolve, FreeResult freeResult, HostName hostName)
{
    s_resolve = resolve != nullptr ? resolve : &getaddrinfo;
    s_free = freeResult != nullptr ? freeResult : &freeaddrinfo;
    s_hostName = hostName != nullptr ? hostName : &gethostname;
}

HRESULT CKestrinIP::GetIp(char** host, char** address)
{
    if (host == nullptr || address == nullptr)
        return E_INVALIDARG;
    char name[256] = {};
    if (s_hostName.load()(name, sizeof name - 1) != 0)
        return E_FAIL;
    // The canonical name stands in for the host entry's official name; the
    // first answer alone counts, as with the entry's first address.
    addrinfo hints {};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (s_resolve.load()(name, nullptr, &hints, &result) != 0 || result == nullptr)
        return E_FAIL;
    HRESULT hr = E_FAIL;
    if (result->ai_family == AF_INET && result->ai_addr != nullptr) {
        char dotted[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, dotted, sizeof dotted) != nullptr) {
            StringT<char> official(result->ai_canonname != nullptr ? result->ai_canonname : name);
            StringT<char> dottedText(dotted);
            *host = official.Detach();
            *address = dottedText.Detach();
            hr = (*host != nullptr && *address != nullptr) ? S_OK : E_OUTOFMEMORY;
        }
    }
    s_free.load()(result);
    return hr;
}

}  // namespace kestrin::enrol
