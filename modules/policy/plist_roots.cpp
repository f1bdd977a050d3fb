#include "plist_roots.h"

#include <mutex>
#include <new>

#include "change_watcher.h"
#include "policy_folders.h"
#include "policy_values.h"
#include "zelk_singletons.h"
#include "zelk_trace.h"

namespace kestrin::policy {

namespace {

// One root per kind, dropped at this deliverable's stop (or when the library
// goes); a later request makes a new one from the folders then in force.
class RootSlot final : public ISingleton {
public:
    explicit RootSlot(bool system) : m_system(system)
    {
        // The watcher's state is made first so that it outlives this slot, whose
        // destruction may end the last watch.
        change_watcher::WatchCount();
        ZELK_RegisterSingleton(this, 0);
    }
    ~RootSlot() override
    {
        CSingletons::Unregister(this);
        Drop();
    }
    RootSlot(const RootSlot&) = delete;
    RootSlot& operator=(const RootSlot&) = delete;

    HRESULT Initialize() override { return S_OK; }
    HRESULT Finalize() override
    {
        Drop();
        return S_OK;
    }

    std::shared_ptr<PlistRoot> Get()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_root) {
            PlistRoot::Options options;
            if (m_system) {
                // An administrator's folder: readable by everybody, never created here.
                options.folder = SystemPolicyFolder();
                options.folderMode = 0755;
                options.fileMode = 0644;
                options.createOnLoad = false;
            } else {
                options.folder = UserPolicyFolder();
            }
            try {
                m_root = std::make_shared<PlistRoot>(
                    std::move(options), [] { SECTRACE_WriteLn(kTraceModule, 4, "configuration has changed!"); });
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        return m_root;
    }

private:
    void Drop()
    {
        std::shared_ptr<PlistRoot> root;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            root = std::move(m_root);
        }
        // Released outside the lock: the last release ends the root's watch.
    }

    const bool m_system;
    std::mutex m_lock;
    std::shared_ptr<PlistRoot> m_root;
};

RootSlot& SystemSlot()
{
    static RootSlot slot(true);
    return slot;
}

RootSlot& UserSlot()
{
    static RootSlot slot(false);
    return slot;
}

}  // namespace

std::shared_ptr<PlistRoot> SystemPlistRoot()
{
    return SystemSlot().Get();
}
std::shared_ptr<PlistRoot> UserPlistRoot()
{
    return UserSlot().Get();
}

}  // namespace kestrin::policy
