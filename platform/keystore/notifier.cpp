// Change callbacks: registration handles and dispatch.
#include "notifier.h"

#include <algorithm>

namespace kestrin::keystore {

HRESULT Notifier::Add(unsigned kinds, ChangeCallback callback, uint64_t* id)
{
    try {
        auto shared = std::make_shared<ChangeCallback>(std::move(callback));
        std::lock_guard lock(entriesMutex_);
        entries_.push_back({nextId_, kinds, std::move(shared)});
        *id = nextId_++;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void Notifier::Remove(uint64_t id)
{
    std::lock_guard dispatching(dispatch_);
    std::lock_guard lock(entriesMutex_);
    std::erase_if(entries_, [id](const Entry& e) { return e.id == id; });
}

bool Notifier::Registered(uint64_t id)
{
    std::lock_guard lock(entriesMutex_);
    return std::any_of(entries_.begin(), entries_.end(), [id](const Entry& e) { return e.id == id; });
}

void Notifier::Dispatch(unsigned kinds)
{
    if (kinds == 0)
        return;
    std::lock_guard dispatching(dispatch_);
    std::vector<Entry> snapshot;
    try {
        std::lock_guard lock(entriesMutex_);
        snapshot = entries_;
    } catch (const std::bad_alloc&) {
        return;
    }
    for (const Entry& entry : snapshot) {
        unsigned mine = entry.kinds & kinds;
        if (mine != 0 && Registered(entry.id))
            (*entry.callback)(mine);
    }
}

Subscription::Subscription(std::shared_ptr<Notifier> notifier, uint64_t id) : notifier_(std::move(notifier)), id_(id) {}

Subscription::~Subscription()
{
    Reset();
}

Subscription::Subscription(Subscription&& other) noexcept : notifier_(std::move(other.notifier_)), id_(other.id_)
{
    other.id_ = 0;
}

Subscription& Subscription::operator=(Subscription&& other) noexcept
{
    if (this != &other) {
        Reset();
        notifier_ = std::move(other.notifier_);
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

void Subscription::Reset()
{
    if (notifier_)
        notifier_->Remove(id_);
    notifier_.reset();
    id_ = 0;
}

}  // namespace kestrin::keystore
