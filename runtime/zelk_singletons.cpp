#include "zelk_singletons.h"

#include <mutex>
#include <new>
#include <vector>

namespace {

struct CTree {
    ISingleton* object;
    signed char onDemand;
    CTree* next;
};

// The head is constant-initialised, so registrations from static constructors
// of any unit find a valid (empty) list. The lock keeps concurrent pushes from
// losing nodes; it is never held while an object's Initialize or Finalize runs,
// since those may register further objects.
CTree* s_head = nullptr;
std::mutex s_lock;

// At process exit the nodes are freed without finalising anything.
struct FreeAtExit {
    ~FreeAtExit()
    {
        std::lock_guard<std::mutex> lock(s_lock);
        while (CTree* node = s_head) {
            s_head = node->next;
            delete node;
        }
    }
} s_freeAtExit;

// The registered objects, newest first, with their flags.
std::vector<CTree> snapshot()
{
    std::vector<CTree> nodes;
    std::lock_guard<std::mutex> lock(s_lock);
    for (CTree* node = s_head; node; node = node->next)
        if (node->object)
            nodes.push_back(*node);
    return nodes;
}

// Unlinks and frees every node the predicate picks; the caller holds s_lock.
template <class Pick>
void unlink_locked(Pick pick)
{
    for (CTree** link = &s_head; *link;) {
        CTree* node = *link;
        if (pick(node)) {
            *link = node->next;
            delete node;
        } else {
            link = &node->next;
        }
    }
}

}  // namespace

HRESULT CSingletons::Register(ISingleton* object, signed char onDemand)
{
    if (object == nullptr)
        return E_INVALIDARG;
    auto* node = new (std::nothrow) CTree {object, onDemand, nullptr};
    if (node == nullptr)
        return E_OUTOFMEMORY;
    std::lock_guard<std::mutex> lock(s_lock);
    node->next = s_head;
    s_head = node;
    return S_OK;
}

void CSingletons::Unregister(ISingleton* object)
{
    std::lock_guard<std::mutex> lock(s_lock);
    unlink_locked([object](const CTree* node) { return node->object == object; });
}

HRESULT CSingletons::Initialize()
{
    std::vector<CTree> nodes = snapshot();
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        HRESULT hr = it->object->Initialize();
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

namespace {

// Stops every object created on demand, newest first. An object made while
// others stop (a token's logout at the stop reaching a model not made before)
// is registered after the pass began, so passes repeat until none is left; a
// few passes bound objects that keep making each other.
void FinalizeOnDemand()
{
    constexpr int kPasses = 8;
    for (int pass = 0; pass < kPasses; ++pass) {
        bool any = false;
        for (const CTree& node : snapshot()) {
            if (node.onDemand == 0)
                continue;
            any = true;
            node.object->Finalize();
            // The node forgets the object; it is unlinked at the end.
            std::lock_guard<std::mutex> lock(s_lock);
            for (CTree* n = s_head; n; n = n->next)
                if (n->object == node.object && n->onDemand)
                    n->object = nullptr;
        }
        if (!any)
            return;
    }
}

}  // namespace

HRESULT CSingletons::Finalize()
{
    FinalizeOnDemand();
    for (const CTree& node : snapshot())
        if (node.onDemand == 0)
            node.object->Finalize();
    FinalizeOnDemand();

    std::lock_guard<std::mutex> lock(s_lock);
    unlink_locked([](const CTree* node) { return node->object == nullptr; });
    return S_OK;
}

unsigned int CSingletons::Count()
{
    return static_cast<unsigned int>(snapshot().size());
}

HRESULT ZELK_RegisterSingleton(ISingleton* object, signed char onDemand)
{
    return CSingletons::Register(object, onDemand);
}
