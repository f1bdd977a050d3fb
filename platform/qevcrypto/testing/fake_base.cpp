// The doubles' shared part: the crypto library they hand values out through,
// the register of live doubles, and calls and results.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <set>

#include "qev_doubles.h"

namespace kestrin::qevtest {

namespace {

std::mutex s_liveLock;
std::set<const FakeBase*>& Live()
{
    static std::set<const FakeBase*> live;
    return live;
}

std::string OwnFolder()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    const std::string p(path, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

}  // namespace

SEC_FUNCTION_LIST* Library()
{
    static SEC_FUNCTION_LIST* list = [] {
        const std::string folder = OwnFolder();
        for (const std::string& candidate : {folder + "/libqevcrypto.so", folder + "/../lib/libqevcrypto.so"}) {
            // The program's other users of the library share this one load.
            void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle == nullptr)
                continue;
            auto getList = reinterpret_cast<CRYPTOLIB_GET_F_LIST_FN>(dlsym(handle, "cryptolib_get_f_list"));
            SEC_FUNCTION_LIST* found = nullptr;
            if (getList != nullptr && getList(0, nullptr, &found, nullptr, "", 0) == S_OK)
                return found;
        }
        return static_cast<SEC_FUNCTION_LIST*>(nullptr);
    }();
    return list;
}

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    static API_COMMON* types = [] {
        API_COMMON* table = nullptr;
        SEC_FUNCTION_LIST* list = Library();
        if (list != nullptr)
            list->get_api(nullptr, "SEC_COMMONTYPES_1", &table);
        return table;
    }();
    const SEC_TYPE_TABLE* type = SEC_TypeTable(types, index);
    if (type == nullptr)
        ADD_FAILURE() << "the crypto library's type table " << index << " is not there";
    return type;
}

std::vector<std::string> LiveFakes()
{
    std::lock_guard<std::mutex> lock(s_liveLock);
    std::vector<std::string> names;
    for (const FakeBase* fake : Live())
        names.push_back(fake->Kind() + " (" + std::to_string(fake->References()) + " references)");
    return names;
}

void ExpectNoFakeLeft()
{
    for (const std::string& name : LiveFakes())
        ADD_FAILURE() << "a reference to " << name << " was left behind";
}

FakeBase::FakeBase(std::string kind) : m_kind(std::move(kind))
{
    std::lock_guard<std::mutex> lock(s_liveLock);
    Live().insert(this);
}

FakeBase::~FakeBase()
{
    std::lock_guard<std::mutex> lock(s_liveLock);
    Live().erase(this);
}

void FakeBase::SetResult(const std::string& method, HRESULT result)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_results[method] = result;
}

std::vector<std::string> FakeBase::Calls() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_calls;
}

size_t FakeBase::CallCount(const std::string& method) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<size_t>(std::count(m_calls.begin(), m_calls.end(), method));
}

void FakeBase::Record(const char* method)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.emplace_back(method);
}

bool FakeBase::Configured(const char* method, HRESULT& result) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_results.find(method);
    if (it == m_results.end())
        return false;
    result = it->second;
    return true;
}

HRESULT FakeBase::Answer(const char* method, HRESULT fallback)
{
    Record(method);
    HRESULT result = fallback;
    Configured(method, result);
    return result;
}

}  // namespace kestrin::qevtest
