#include "policy_chain.h"

#include <algorithm>
#include <new>

#include "policy_values.h"

namespace kestrin::policy {

namespace {
constexpr long kNameBuffer = 512;
}  // namespace

ZELK_Policy_Chain::~ZELK_Policy_Chain()
{
    // Members may outlive this chain (a temporary clone hooks its caller's
    // object): none may call this chain's signal once it is gone.
    for (ZELK_IPolicy_Internal* member : m_hookedMembers) {
        member->RemoveSignal(this);
        member->Release();
    }
}

HRESULT ZELK_Policy_Chain::New(ZELK_IPolicy** policies, unsigned long count, unsigned long writePosition,
                               ZELK_IPolicy** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (!policies || count == 0 || count > kMaxMembers)
        return E_INVALIDARG;
    if (writePosition != ZELK_POLICY_NO_WRITE && writePosition >= count)
        return E_INVALIDARG;
    CComObject<ZELK_Policy_Chain>* chain = nullptr;
    HRESULT hr = CComObject<ZELK_Policy_Chain>::CreateInstance(&chain);
    if (FAILED(hr))
        return hr;
    chain->AddRef();
    for (unsigned long i = 0; i < count; ++i) {
        if (!policies[i]) {
            chain->Release();
            return E_INVALIDARG;
        }
        chain->m_members[i] = policies[i];
    }
    chain->m_count = count;
    chain->m_write = writePosition;
    chain->m_pathPosition = writePosition == ZELK_POLICY_NO_WRITE ? 0 : writePosition;
    *out = static_cast<ZELK_IPolicy*>(chain);
    return S_OK;
}

HRESULT ZELK_Policy_Chain::New(ZELK_IPolicy* first, ZELK_IPolicy* second, unsigned long writePosition,
                               ZELK_IPolicy** out)
{
    ZELK_IPolicy* members[] = {first, second};
    return New(members, 2, writePosition, out);
}

ZELK_IPolicy* ZELK_Policy_Chain::Reader(const char* name)
{
    for (unsigned long i = 0; i + 1 < m_count; ++i) {
        if (m_members[i]->IsConfigured(name))
            return m_members[i];
    }
    return m_members[m_count - 1];
}

bool ZELK_Policy_Chain::HeldBeforeWriter(const char* name)
{
    for (unsigned long i = 0; i < m_write && i < m_count; ++i) {
        if (m_members[i]->IsConfigured(name))
            return true;
    }
    return false;
}

void ZELK_Policy_Chain::HookMembers()
{
    std::lock_guard<std::mutex> guard(m_hookLock);
    if (m_hooked)
        return;
    m_hooked = true;
    for (unsigned long i = 0; i < m_count; ++i) {
        ZELK_IPolicy_Internal* member = nullptr;
        if (FAILED(m_members[i]->QueryInterface(IID_ZELK_IPolicy_Internal, reinterpret_cast<void**>(&member))))
            continue;
        // Members that cannot signal (memory and INI stores) are not kept.
        bool kept = false;
        if (SUCCEEDED(member->AddSignal(this))) {
            try {
                m_hookedMembers.push_back(member);
                kept = true;
            } catch (const std::bad_alloc&) {
                member->RemoveSignal(this);
            }
        }
        if (!kept)
            member->Release();
    }
}

const char* ZELK_Policy_Chain::GetName()
{
    return m_members[m_pathPosition]->GetName();
}
const char* ZELK_Policy_Chain::GetPath()
{
    return m_members[m_pathPosition]->GetPath();
}

int ZELK_Policy_Chain::Bind(const char* path)
{
    if (!path)
        return E_INVALIDARG;
    for (unsigned long i = 0; i < m_count; ++i)
        m_members[i]->Bind(path);
    return S_OK;
}

int ZELK_Policy_Chain::Bind(const char*, signed char)
{
    return E_NOTIMPL;
}

bool ZELK_Policy_Chain::IsConfigured(const char* name)
{
    for (unsigned long i = 0; i < m_count; ++i) {
        if (m_members[i]->IsConfigured(name))
            return true;
    }
    return false;
}

int ZELK_Policy_Chain::EnumSubKey(long index, char* name, long size)
{
    if (!name || size <= 0)
        return E_INVALIDARG;
    name[0] = '\0';
    HookMembers();
    std::lock_guard<std::mutex> guard(m_enumLock);
    // Cleared before the walk: a change reported meanwhile makes the next call walk again.
    if (m_stale.exchange(false)) {
        try {
            std::vector<std::string> names;
            for (unsigned long i = 0; i < m_count; ++i) {
                for (long k = 0;; ++k) {
                    char buffer[kNameBuffer] = {};
                    if (m_members[i]->EnumSubKey(k, buffer, kNameBuffer) != S_OK || !buffer[0])
                        break;
                    buffer[kNameBuffer - 1] = '\0';
                    if (std::find(names.begin(), names.end(), buffer) == names.end())
                        names.emplace_back(buffer);
                }
            }
            m_subKeys = std::move(names);
        } catch (const std::bad_alloc&) {
            m_stale = true;
            return E_OUTOFMEMORY;
        }
    }
    if (index < 0 || static_cast<unsigned long>(index) >= m_subKeys.size())
        return S_FALSE;
    CopyName(m_subKeys[static_cast<size_t>(index)], name, size);
    return S_OK;
}

int ZELK_Policy_Chain::CreateSubKey(const char*, signed char, ZELK_IPolicy**)
{
    return E_NOTIMPL;
}

int ZELK_Policy_Chain::OpenSubKey(long index, ZELK_IPolicy** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    char buffer[kNameBuffer] = {};
    EnumSubKey(index, buffer, kNameBuffer);
    if (!buffer[0])
        return S_FALSE;
    return OpenChild(buffer, 0, out);
}

bool ZELK_Policy_Chain::IsChild(const char* name)
{
    for (unsigned long i = 0; i < m_count; ++i) {
        if (m_members[i]->IsChild(name))
            return true;
    }
    return false;
}

int ZELK_Policy_Chain::OpenChild(const char* name, unsigned flags, ZELK_IPolicy** out)
{
    if (!out)
        return E_INVALIDARG;
    *out = nullptr;
    if (!name)
        return E_INVALIDARG;
    ZELK_IPolicy* children[kMaxMembers] = {};
    for (unsigned long i = 0; i < m_count; ++i)
        m_members[i]->OpenChild(name, flags, &children[i]);
    HRESULT hr = New(children, m_count, m_write, out);
    for (ZELK_IPolicy* child : children) {
        if (child)
            child->Release();
    }
    return hr;
}

bool ZELK_Policy_Chain::IsChangeable(const char* name)
{
    return HasWriter() && !HeldBeforeWriter(name);
}
bool ZELK_Policy_Chain::IsFromPolicy(const char* name)
{
    return HasWriter() && HeldBeforeWriter(name);
}

int ZELK_Policy_Chain::GetString(const char* name, char** value)
{
    return Reader(name)->GetString(name, value);
}
unsigned ZELK_Policy_Chain::GetDWORD(const char* name)
{
    return Reader(name)->GetDWORD(name);
}
int ZELK_Policy_Chain::GetBinary(const char* name, OctetString** value)
{
    return Reader(name)->GetBinary(name, value);
}

int ZELK_Policy_Chain::SetString(const char* name, const char* value)
{
    if (!IsChangeable(name))
        return E_ACCESSDENIED;
    return m_members[m_write]->SetString(name, value);
}

int ZELK_Policy_Chain::SetDWORD(const char* name, unsigned value)
{
    if (!IsChangeable(name))
        return E_ACCESSDENIED;
    return m_members[m_write]->SetDWORD(name, value);
}

int ZELK_Policy_Chain::SetBinary(const char* name, OctetString* value)
{
    if (!IsChangeable(name))
        return E_ACCESSDENIED;
    return m_members[m_write]->SetBinary(name, value);
}

int ZELK_Policy_Chain::DeleteSubkey(const char* name)
{
    if (!HasWriter())
        return E_ACCESSDENIED;
    return m_members[m_write]->DeleteSubkey(name);
}

int ZELK_Policy_Chain::SetConfigPath(const char*)
{
    return E_NOTIMPL;
}

int ZELK_Policy_Chain::RegisterCallback(ZELK::ISignal* callback)
{
    HookMembers();
    std::lock_guard<std::recursive_mutex> guard(m_signalLock);
    auto own =
        std::find_if(m_registrations.begin(), m_registrations.end(), [](const Registration& r) { return r.own; });
    if (own != m_registrations.end()) {
        if (callback) {
            own->signal = callback;
        } else {
            m_registrations.erase(own);
        }
        return S_OK;
    }
    if (!callback)
        return S_OK;
    try {
        m_registrations.push_back({m_nextRegistration++, callback, true});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

int ZELK_Policy_Chain::SetWriteThrough(signed char)
{
    return S_OK;
}
int ZELK_Policy_Chain::BindTemplate(const char*)
{
    return E_NOTIMPL;
}

int ZELK_Policy_Chain::GetDWORD(const char* name, unsigned* value)
{
    if (!value)
        return E_POINTER;
    *value = GetDWORD(name);
    return S_OK;
}

int ZELK_Policy_Chain::AddSignal(ZELK::ISignal* signal)
{
    if (!signal)
        return E_INVALIDARG;
    HookMembers();
    std::lock_guard<std::recursive_mutex> guard(m_signalLock);
    for (const Registration& r : m_registrations) {
        if (!r.own && r.signal == signal)
            return S_FALSE;
    }
    try {
        m_registrations.push_back({m_nextRegistration++, signal, false});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

int ZELK_Policy_Chain::RemoveSignal(ZELK::ISignal* signal)
{
    std::lock_guard<std::recursive_mutex> guard(m_signalLock);
    std::erase_if(m_registrations, [signal](const Registration& r) { return !r.own && r.signal == signal; });
    return S_OK;
}

void ZELK_Policy_Chain::Signal()
{
    m_stale = true;
    std::lock_guard<std::recursive_mutex> guard(m_signalLock);
    std::vector<uint64_t> due;
    try {
        for (const Registration& r : m_registrations)
            due.push_back(r.id);
    } catch (const std::bad_alloc&) {
        return;
    }
    for (uint64_t id : due) {
        // A signalled callback may have removed registrations on this thread.
        auto it = std::find_if(m_registrations.begin(), m_registrations.end(),
                               [id](const Registration& r) { return r.id == id; });
        if (it != m_registrations.end())
            it->signal->Signal();
    }
}

}  // namespace kestrin::policy
