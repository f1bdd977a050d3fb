#include "comsock_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

bool IsNumber(const char* s)
{
    if (*s == 0)
        return false;
    for (; *s; ++s)
        if (!isdigit(static_cast<unsigned char>(*s)))
            return false;
    return true;
}

// The first process (by /proc order) with an open descriptor on one of the
// socket inodes; 0 when none.
uint32_t PidOfInodes(const std::set<unsigned long>& inodes)
{
    if (inodes.empty())
        return 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    uint32_t found = 0;
    while (found == 0) {
        dirent* entry = readdir(proc);
        if (entry == nullptr)
            break;
        if (!IsNumber(entry->d_name))
            continue;
        std::string path = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(path.c_str());
        if (fds == nullptr)
            continue;
        while (dirent* fd = readdir(fds)) {
            if (!IsNumber(fd->d_name))
                continue;
            std::string link = path + "/" + fd->d_name;
            char target[64];
            ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
            if (n <= 0)
                continue;
            target[n] = 0;
            unsigned long inode = 0;
            if (sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode)) {
                found = static_cast<uint32_t>(strtoul(entry->d_name, nullptr, 10));
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
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
    sockaddr_in own {};
    sockaddr_in other {};
    socklen_t length = sizeof(own);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length) != 0 || own.sin_family != AF_INET)
        return false;
    length = sizeof(other);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&other), &length) != 0 || other.sin_family != AF_INET)
        return false;
    bool found = false;
    ForEachTcpRow([&](const TcpRow& row) {
        if (row.localAddress == other.sin_addr.s_addr && row.localPort == ntohs(other.sin_port)
            && row.remoteAddress == own.sin_addr.s_addr && row.remotePort == ntohs(own.sin_port)) {
            *uid = static_cast<uid_t>(row.uid);
            found = true;
        }
        return found;
    });
    return found;
}

uint32_t GetTcpPeerPid(int fd)
{
    sockaddr_in own {};
    sockaddr_in other {};
    socklen_t length = sizeof(own);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length) != 0 || own.sin_family != AF_INET)
        return 0;
    length = sizeof(other);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&other), &length) != 0 || other.sin_family != AF_INET)
        return 0;
    // The other end's socket: local = our peer, remote = us.
    std::set<unsigned long> inodes;
    ForEachTcpRow([&](const TcpRow& row) {
        if (row.localAddress == other.sin_addr.s_addr && row.localPort == ntohs(other.sin_port)
            && row.remoteAddress == own.sin_addr.s_addr && row.remotePort == ntohs(own.sin_port) && row.inode) {
            inodes.insert(row.inode);
            return true;
        }
        return false;
    });
    return PidOfInodes(inodes);
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
