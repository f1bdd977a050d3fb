// Registry of change callbacks and their dispatch.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "keystore.h"

namespace kestrin::keystore {

class Notifier {
public:
    HRESULT Add(unsigned kinds, ChangeCallback callback, uint64_t* id);
    // Waits for a dispatch running on another thread; a callback may remove
    // itself or others.
    void Remove(uint64_t id);
    void Dispatch(unsigned kinds);

private:
    struct Entry {
        uint64_t id;
        unsigned kinds;
        std::shared_ptr<ChangeCallback> callback;
    };
    bool Registered(uint64_t id);

    std::recursive_mutex dispatch_;  // held while callbacks run
    std::mutex entriesMutex_;
    std::vector<Entry> entries_;
    uint64_t nextId_ = 1;
};

}  // namespace kestrin::keystore
