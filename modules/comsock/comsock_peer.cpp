#include "comsock_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace ZELK::PSESVC::COMSOCK {

namespace {

// One row of /proc/net/tcp: addresses as the kernel prints them (network
// order words in host-order hex), ports in host order.
struct TcpRow {
    uint32_t localAddress;
    unsigned localPort;
    uint32_t remoteAddress;
    unsigned remotePort;
    unsigned uid;
    unsigned long inode;
};

template <class Visit>
void ForEachTcpRow(Visit visit)
{
    FILE* file = fopen("/proc/net/tcp", "re");
    if (file == nullptr)
        return;
    char line[512];
    if (fgets(line, sizeof(line), file) == nullptr) {
        fclose(file);
        return;
    }
    while (fgets(line, sizeof(line), file)) {
        TcpRow row {};
        unsigned slot = 0;
        if (sscanf(line, " %u: %8X:%4X %8X:%4X %*X %*X:%*X %*X:%*X %*X %u %*u %lu", &slot, &row.localAddress,
                   &row.localPort, &row.remoteAddress, &row.remotePort, &row.uid, &row.inode)
            != 7)
            continue;
        if (visit(row))
            break;
    }
    fclose(file);
}

// The other end of the IPv4 TCP connection `fd`, as addresses of that end's
// own socket (local = our peer, remote = us); false when `fd` is no such
// connection.
bool OtherEnd(int fd, sockaddr_in* own, sockaddr_in* other)
{
    socklen_t length = sizeof(*own);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(own), &length) != 0 || own->sin_family != AF_INET)
        return false;
    length = sizeof(*other);
    return getpeername(fd, reinterpret_cast<sockaddr*>(other), &length) == 0 && other->sin_family == AF_INET;
}

// Owner and inode of the other end's socket, asked of the kernel for exactly
// that socket (sock_diag); a connection-per-request client would otherwise
// pay for reading every TCP socket of the system. False when the kernel does
// not answer, so the caller reads /proc/net/tcp instead.
bool DiagLookup(const sockaddr_in& own, const sockaddr_in& other, unsigned* uid, unsigned long* inode)
{
    int s = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (s < 0)
        return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message {};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0U;
    message.request.id.idiag_sport = other.sin_port;
    message.request.id.idiag_dport = own.sin_port;
    message.request.id.idiag_src[0] = other.sin_addr.s_addr;
    message.request.id.idiag_dst[0] = own.sin_addr.s_addr;
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    bool found = false;
    if (sendto(s, &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel))
        == static_cast<ssize_t>(sizeof(message))) {
        alignas(nlmsghdr) char reply[1024];
        ssize_t n = recv(s, reply, sizeof(reply), 0);
        auto* header = reinterpret_cast<nlmsghdr*>(reply);
        if (n > 0 && NLMSG_OK(header, static_cast<unsigned>(n)) && header->nlmsg_type == SOCK_DIAG_BY_FAMILY
            && header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            auto* answer = static_cast<inet_diag_msg*>(NLMSG_DATA(header));
            *uid = answer->idiag_uid;
            *inode = answer->idiag_inode;
            found = true;
        }
    }
    close(s);
    return found;
}

// Owner and inode of the other end's socket of connection `fd`.
bool OtherEndSocket(int fd, unsigned* uid, unsigned long* inode)
{
    sockaddr_in own {};
    sockaddr_in other {};
    if (!OtherEnd(fd, &own, &other))
        return false;
    if (DiagLookup(own, other, uid, inode))
        return true;
    bool found = false;
    ForEachTcpRow([&](const TcpRow& row) {
        if (row.localAddress == other.sin_addr.s_addr && row.localPort == ntohs(other.sin_port)
            && row.remoteAddress == own.sin_addr.s_addr && row.remotePort == ntohs(own.sin_port)) {
            *uid = row.uid;
            *inode = row.inode;
            found = true;
        }
        return found;
    });
    return found;
}

bool IsNumber(const char* s)
{
    if (*s == 0)
        return false;
    for (; *s; ++s)
        if (!isdigit(static_cast<unsigned char>(*s)))
            return false;
    return true;
}

// Whether process `pid` (a /proc entry name) holds one of the socket inodes.
bool HoldsSocket(const char* pid, const std::set<unsigned long>& inodes)
{
    std::string path = std::string("/proc/") + pid + "/fd";
    DIR* fds = opendir(path.c_str());
    if (fds == nullptr)
        return false;
    bool found = false;
    while (!found) {
        dirent* fd = readdir(fds);
        if (fd == nullptr)
            break;
        if (!IsNumber(fd->d_name))
            continue;
        std::string link = path + "/" + fd->d_name;
        char target[64];
        ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n <= 0)
            continue;
        target[n] = 0;
        unsigned long inode = 0;
        found = sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode) != 0;
    }
    closedir(fds);
    return found;
}

// Processes found lately: a client usually opens many connections, so they
// are looked at before the walk over every process.
std::mutex s_recentLock;
uint32_t s_recent[4] = {};
unsigned s_recentNext = 0;

void Remember(uint32_t pid)
{
    std::lock_guard<std::mutex> lock(s_recentLock);
    for (uint32_t known : s_recent)
        if (known == pid)
            return;
    s_recent[s_recentNext] = pid;
    s_recentNext = (s_recentNext + 1) % (sizeof(s_recent) / sizeof(s_recent[0]));
}

// A process with an open descriptor on one of the socket inodes (a recent
// one first, else the first by /proc order); 0 when none.
uint32_t PidOfInodes(const std::set<unsigned long>& inodes)
{
    if (inodes.empty())
        return 0;
    uint32_t recent[sizeof(s_recent) / sizeof(s_recent[0])];
    {
        std::lock_guard<std::mutex> lock(s_recentLock);
        memcpy(recent, s_recent, sizeof(recent));
    }
    for (uint32_t pid : recent)
        if (pid != 0 && HoldsSocket(std::to_string(pid).c_str(), inodes))
            return pid;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    uint32_t found = 0;
    while (found == 0) {
        dirent* entry = readdir(proc);
        if (entry == nullptr)
            break;
        if (IsNumber(entry->d_name) && HoldsSocket(entry->d_name, inodes))
            found = static_cast<uint32_t>(strtoul(entry->d_name, nullptr, 10));
    }
    closedir(proc);
    if (found != 0)
        Remember(found);
    return found;
}

}  // namespace

bool ReadProcessName(uint32_t pid, char* name, size_t size)
{
    if (pid == 0 || name == nullptr || size == 0)
        return false;
    char path[64];
    snprintf(path, sizeof(path), "/proc/%u/comm", pid);
    FILE* file = fopen(path, "re");
    if (file == nullptr)
        return false;
    bool ok = fgets(name, static_cast<int>(size), file) != nullptr;
    fclose(file);
    if (!ok)
        return false;
    name[strcspn(name, "\n")] = 0;
    return name[0] != 0;
}

HRESULT GetPeerInfo(int fd, PeerInfo* peer)
{
    ucred credentials {};
    socklen_t length = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof(credentials))
        return E_FAIL;
    peer->uid = credentials.uid;
    peer->pid = static_cast<uint32_t>(credentials.pid);
    if (!ReadProcessName(peer->pid, peer->name, sizeof(peer->name)))
        snprintf(peer->name, sizeof(peer->name), "unknown");
    return S_OK;
}

std::string ReadProcessPath(uint32_t pid)
{
    if (pid == 0)
        return {};
    char link[64];
    snprintf(link, sizeof(link), "/proc/%u/exe", pid);
    char target[4096];
    ssize_t n = readlink(link, target, sizeof(target) - 1);
    if (n <= 0)
        return {};
    return std::string(target, static_cast<size_t>(n));
}

bool GetTcpPeerUid(int fd, uid_t* uid)
{
    unsigned owner = 0;
    unsigned long inode = 0;
    if (!OtherEndSocket(fd, &owner, &inode))
        return false;
    *uid = static_cast<uid_t>(owner);
    return true;
}

uint32_t GetTcpPeerPid(int fd)
{
    unsigned owner = 0;
    unsigned long inode = 0;
    if (!OtherEndSocket(fd, &owner, &inode) || inode == 0)
        return 0;
    return PidOfInodes({inode});
}

uint32_t GetPidUsingPort(int port)
{
    if (port <= 0)
        return 0;
    std::set<unsigned long> inodes;
    ForEachTcpRow([&](const TcpRow& row) {
        if ((row.localPort == static_cast<unsigned>(port) || row.remotePort == static_cast<unsigned>(port))
            && row.inode)
            inodes.insert(row.inode);
        return false;
    });
    return PidOfInodes(inodes);
}

}  // namespace ZELK::PSESVC::COMSOCK
