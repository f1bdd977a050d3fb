// Layers one to four policy objects: a read is answered by the first member
// that holds the value (else by the last), writes go to the write member only
// while no member before it holds the value.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "policy_overrides.h"
#include "zelk_object.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"

namespace kestrin::policy {

class ZELK_Policy_Chain : public ZELK_IPolicy,
                          public ZELK_IPolicy_Internal,
                          public ZELK::ISignal,
                          public CComObjectRoot {
public:
    static constexpr unsigned long kMaxMembers = 4;

    ZELK_Policy_Chain() = default;
    ~ZELK_Policy_Chain() override;
    ZELK_Policy_Chain(const ZELK_Policy_Chain&) = delete;
    ZELK_Policy_Chain& operator=(const ZELK_Policy_Chain&) = delete;

    ZELK_BEGIN_INTMAP(ZELK_Policy_Chain)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy)
    ZELK_INTMAP_ENTRY(ZELK_IPolicy_Internal)
    ZELK_END_INTMAP()

    // 0x80000003 for a NULL array or output, a count outside 1 to 4, a write
    // position neither below the count nor ZELK_POLICY_NO_WRITE, or a NULL member.
    static HRESULT New(ZELK_IPolicy** policies, unsigned long count, unsigned long writePosition, ZELK_IPolicy** out);
    static HRESULT New(ZELK_IPolicy* first, ZELK_IPolicy* second, unsigned long writePosition, ZELK_IPolicy** out);

    ZELK_POLICY_OVERRIDES

    // ISignal: a member changed.
    void Signal() override;

private:
    struct Registration {
        uint64_t id;
        ZELK::ISignal* signal;
        bool own;  // the chain's one callback
    };

    ZELK_IPolicy* Reader(const char* name);
    bool HasWriter() const { return m_write < m_count; }
    bool HeldBeforeWriter(const char* name);
    // Registers this chain's signal with every member, once.
    void HookMembers();

    ZELK_PTR(ZELK_IPolicy) m_members[kMaxMembers];
    unsigned long m_count = 0;
    unsigned long m_write = ZELK_POLICY_NO_WRITE;
    unsigned long m_pathPosition = 0;

    std::mutex m_enumLock;  // the cached sub-key names
    std::atomic<bool> m_stale {true};
    std::vector<std::string> m_subKeys;

    std::mutex m_hookLock;
    bool m_hooked = false;
    std::vector<ZELK_IPolicy_Internal*> m_hookedMembers;  // each holds a reference

    // Held while signalling, so that a removal from another thread waits for a
    // call in progress; the signalled code may add or remove on this thread.
    std::recursive_mutex m_signalLock;
    std::vector<Registration> m_registrations;
    uint64_t m_nextRegistration = 1;
};

}  // namespace kestrin::policy
