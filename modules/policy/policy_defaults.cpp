#include "policy_defaults.h"

#include <atomic>
#include <mutex>

#include "key_path.h"

namespace kestrin::policy {

namespace {
// Maps are registered at static construction and, by other deliverables, when
// they bind the table; readers walk the list without a lock, so a map is fully
// linked before it is published.
std::atomic<ZELK_PolicyMap*> s_pFirst_PolicyMap {nullptr};
std::mutex& RegisterLock()
{
    static std::mutex lock;
    return lock;
}
}  // namespace

bool String_Match(const char* text, const char* pattern, char extra)
{
    if (!text)
        return true;
    if (!pattern || !*pattern)
        return !*text;
    if (!*text)
        return false;
    while (*text && *pattern) {
        if (*pattern == '*') {
            ++pattern;
            if (!*pattern)
                return true;
            for (const char* tail = text; *tail; ++tail) {
                if (String_Match(tail, pattern, 0))
                    return true;
            }
            return false;
        }
        if (*pattern != '?' && (extra == 0 || *pattern != extra) && *pattern != *text)
            return false;
        ++text;
        ++pattern;
    }
    return !*text && !*pattern;
}

HRESULT RegisterDefaults(ZELK_PolicyMap* map)
{
    if (!map || !map->pattern)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(RegisterLock());
    for (ZELK_PolicyMap* m = s_pFirst_PolicyMap.load(std::memory_order_acquire); m; m = m->next) {
        if (m == map)
            return S_FALSE;
    }
    map->next = s_pFirst_PolicyMap.load(std::memory_order_relaxed);
    s_pFirst_PolicyMap.store(map, std::memory_order_release);
    return S_OK;
}

const ZELK_PolicyMap* FirstMap()
{
    return s_pFirst_PolicyMap.load(std::memory_order_acquire);
}

const ZELK_PolicyMap* FindTemplate(const char* path)
{
    for (const ZELK_PolicyMap* m = FirstMap(); m; m = m->next) {
        if (String_Match(path, m->pattern, 0))
            return m;
    }
    return nullptr;
}

const ZELK_PolicyDefault* FindDefault(const ZELK_PolicyMap* map, const char* name)
{
    if (!map || !map->entries || !name)
        return nullptr;
    for (const ZELK_PolicyDefault* d = map->entries; d->type != ZELK_POLICY_TYPE_END; ++d) {
        if (d->name && EqualNoCase(d->name, name))
            return d;
    }
    return nullptr;
}

}  // namespace kestrin::policy
