#include "comsock_path.h"

#include <netinet/in.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_gui.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

// The policy store, bound when the module starts.
ZELK_POLICY_CLIENT_BINDING();

namespace ZELK::PSESVC::COMSOCK {

namespace {

std::mutex s_singleUserLock;
char s_singleUser[kSocketPathSize];

// The application's session id; false without the application's object.
bool ApplicationSessionId(char* name, size_t size)
{
    ZELK::PSESVC::IGUI* gui = nullptr;
    if (ZELK_CreateObject("zelkgui", "zelk.nogui", IID_IGUI, reinterpret_cast<void**>(&gui)) < 0 || !gui)
        return false;
    char* id = nullptr;
    gui->GetSessionId(&id);
    gui->Release();
    snprintf(name, size, "%s", id ? id : "");
    sec_free(id);
    return true;
}

bool IsOwnedDirectory(const char* path, uid_t uid)
{
    struct stat info {};
    return lstat(path, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid;
}

}  // namespace

bool ReadSingleUser(char* name, size_t size)
{
    name[0] = 0;
    ZELK_IPolicy* policy = nullptr;
    if (ZELK_PolOpen(POL::PERMISSIONS::REG_PATH, &policy) < 0 || policy == nullptr)
        return false;
    char* value = nullptr;
    if (ZELK_PolGetString(policy, POL::PERMISSIONS::SINGLE_USER, &value) >= 0 && value)
        snprintf(name, size, "%s", value);
    sec_free(value);
    ZELK_PolClose(&policy);
    if (name[0] == 0)
        return false;
    std::lock_guard<std::mutex> lock(s_singleUserLock);
    snprintf(s_singleUser, sizeof(s_singleUser), "%s", name);
    return true;
}

const char* SingleUserName()
{
    std::lock_guard<std::mutex> lock(s_singleUserLock);
    return s_singleUser;
}

std::string SocketFolder(uid_t uid, bool singleUser)
{
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (!singleUser && runtime && runtime[0] == '/' && IsOwnedDirectory(runtime, uid))
        return std::string(runtime) + "/kestrin";
    return "/tmp/kestrin-" + std::to_string(uid);
}

HRESULT EnsurePrivateFolder(const std::string& folder, uid_t owner, gid_t group)
{
    if (mkdir(folder.c_str(), 0700) == 0) {
        if (geteuid() == 0 && owner != 0 && lchown(folder.c_str(), owner, group) != 0) {
            SECTRACE_FormatLn(nullptr, 1, "socket folder %s can not be given to uid %u: %s", folder.c_str(), owner,
                              strerror(errno));
            return E_ACCESSDENIED;
        }
    } else if (errno != EEXIST) {
        SECTRACE_FormatLn(nullptr, 1, "socket folder %s can not be created: %s", folder.c_str(), strerror(errno));
        return E_ACCESSDENIED;
    }
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != owner
        || (info.st_mode & 077) != 0) {
        SECTRACE_FormatLn(nullptr, 1, "socket folder %s is not a private folder of uid %u, refused", folder.c_str(),
                          owner);
        return E_ACCESSDENIED;
    }
    return S_OK;
}

HRESULT BuildSocketPath(const std::string& folder, const char* session, char* path)
{
    int n = snprintf(path, kSocketPathSize, "%s/%s.%s", folder.c_str(), kApplicationId, session);
    if (n < 0 || static_cast<size_t>(n) >= kSocketPathSize) {
        SECTRACE_FormatLn(nullptr, 1, "socket path in %s is too long for a Unix-domain socket", folder.c_str());
        path[0] = 0;
        return E_FAIL;
    }
    return S_OK;
}

socklen_t UnixAddress(const char* path, sockaddr_storage* address)
{
    *address = {};
    auto* local = reinterpret_cast<sockaddr_un*>(address);
    local->sun_family = AF_UNIX;
    memcpy(local->sun_path, path, sizeof(local->sun_path));
    return sizeof(sockaddr_un);
}

socklen_t LoopbackAddress(uint16_t port, sockaddr_storage* address)
{
    *address = {};
    auto* inet = reinterpret_cast<sockaddr_in*>(address);
    inet->sin_family = AF_INET;
    inet->sin_port = htons(port);
    inet->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof(sockaddr_in);
}

HRESULT LookupUser(const char* user, uid_t* uid, gid_t* gid)
{
    if (user == nullptr || user[0] == 0)
        return E_FAIL;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry {};
    passwd* found = nullptr;
    if (getpwnam_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return E_FAIL;
    *uid = found->pw_uid;
    *gid = found->pw_gid;
    return S_OK;
}

uid_t SocketOwner()
{
    char name[kSocketPathSize];
    uid_t uid = 0;
    gid_t gid = 0;
    if (ReadSingleUser(name, sizeof(name)) && LookupUser(name, &uid, &gid) == S_OK)
        return uid;
    return getuid();
}

HRESULT CreateSocketPath(char* path)
{
    if (path == nullptr)
        return E_INVALIDARG;
    char session[kSocketPathSize];
    if (ReadSingleUser(session, sizeof(session))) {
        uid_t uid = getuid();
        gid_t gid = 0;
        LookupUser(session, &uid, &gid);
        return BuildSocketPath(SocketFolder(uid, true), session, path);
    }
    if (!ApplicationSessionId(session, sizeof(session)))
        snprintf(session, sizeof(session), "%u", static_cast<unsigned>(getuid()));
    return BuildSocketPath(SocketFolder(getuid(), false), session, path);
}

HRESULT CreateSocketPathFor(uid_t uid, char* path)
{
    if (path == nullptr)
        return E_INVALIDARG;
    char session[32];
    snprintf(session, sizeof(session), "%u", static_cast<unsigned>(uid));
    return BuildSocketPath(SocketFolder(uid, false), session, path);
}

}  // namespace ZELK::PSESVC::COMSOCK
