// The list types of "SEC_COMMONTYPES_1": singly linked nodes (element, next)
// with one generic set of table entries over a traits class per list.
//
// Counted lists (Traits::kCounted) keep a reference count in front of every
// node, so such nodes come only from entries 4, 7 and 8. Entry 1 adds a
// reference to the node it is given; entry 2 drops one and, at the last, frees
// the node and its element and goes on with the next node the same way, so a
// tail that another holder still references stays.
//
// Traits: Node; kCounted; EncodeElement(const E*, Out&), DecodeElement(In&,
// E**), FreeElement(E*), CopyElement(const E*, E**), CompareElement(const E*,
// const E*); optionally kDerSet, for a list that travels as a DER SET OF.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "types_codec.h"
#include "types_table.h"

namespace kestrin::qevcrypto::lists {

struct alignas(16) NodeHeader {
    std::atomic<uint32_t> references;
};

template <class Traits>
struct List {
    using Node = typename Traits::Node;
    using Element = std::remove_pointer_t<decltype(Node::element)>;

    static NodeHeader* HeaderOf(Node* node)
    {
        return reinterpret_cast<NodeHeader*>(reinterpret_cast<char*>(node) - sizeof(NodeHeader));
    }

    static Node* NewNode()
    {
        if constexpr (Traits::kCounted) {
            void* block = std::calloc(1, sizeof(NodeHeader) + sizeof(Node));
            if (block == nullptr)
                return nullptr;
            new (block) NodeHeader {1};
            return reinterpret_cast<Node*>(static_cast<char*>(block) + sizeof(NodeHeader));
        } else {
            return static_cast<Node*>(std::calloc(1, sizeof(Node)));
        }
    }

    static void FreeNode(Node* node)
    {
        if constexpr (Traits::kCounted)
            std::free(HeaderOf(node));
        else
            std::free(node);
    }

    static void Drop(Node* list)
    {
        while (list != nullptr) {
            if constexpr (Traits::kCounted) {
                if (HeaderOf(list)->references.fetch_sub(1, std::memory_order_acq_rel) > 1)
                    return;
            }
            Node* next = list->next;
            if (list->element != nullptr)
                Traits::FreeElement(list->element);
            FreeNode(list);
            list = next;
        }
    }

    static HRESULT AddRefEntry(void* value)
    {
        if (value == nullptr)
            return E_POINTER;
        HeaderOf(static_cast<Node*>(value))->references.fetch_add(1, std::memory_order_relaxed);
        return S_OK;
    }

    static HRESULT FreeEntry(void* value)
    {
        Drop(static_cast<Node*>(value));
        return S_OK;
    }

    static HRESULT NewEntry(void** cursor)
    {
        if (cursor == nullptr)
            return E_POINTER;
        Node* node = NewNode();
        if (node == nullptr)
            return E_OUTOFMEMORY;
        node->next = static_cast<Node*>(*cursor);
        *cursor = node;
        return S_OK;
    }

    // New nodes in the same order; an empty list copies to NULL.
    static HRESULT CopyEntry(const void* src, void** dst)
    {
        if (dst == nullptr)
            return E_POINTER;
        *dst = nullptr;
        Node* head = nullptr;
        Node** tail = &head;
        for (auto* n = static_cast<const Node*>(src); n != nullptr; n = n->next) {
            Node* copy = NewNode();
            HRESULT hr = copy != nullptr ? S_OK : E_OUTOFMEMORY;
            if (SUCCEEDED(hr) && n->element != nullptr)
                hr = Traits::CopyElement(n->element, &copy->element);
            if (FAILED(hr)) {
                if (copy != nullptr)
                    FreeNode(copy);
                Drop(head);
                return hr;
            }
            *tail = copy;
            tail = &copy->next;
        }
        *dst = head;
        return S_OK;
    }

    // Equal lists hold equal elements in the same order.
    static int CompareEntry(const void* a, const void* b)
    {
        auto* x = static_cast<const Node*>(a);
        auto* y = static_cast<const Node*>(b);
        for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
            if (x->element == nullptr || y->element == nullptr) {
                if (x->element != y->element)
                    return x->element == nullptr ? -1 : 1;
                continue;
            }
            const int c = Traits::CompareElement(x->element, y->element);
            if (c != 0)
                return c < 0 ? -1 : 1;
        }
        return x == y ? 0 : (x == nullptr ? -1 : 1);
    }

    static constexpr bool IsDerSet()
    {
        if constexpr (requires { Traits::kDerSet; })
            return Traits::kDerSet;
        else
            return false;
    }

    static constexpr uint8_t kTag = IsDerSet() ? codec::TAG_SET : codec::TAG_SEQUENCE;

    // DER orders the encodings of a SET OF as octet strings.
    static bool EncodingLess(const uint8_t* a, size_t aLength, const uint8_t* b, size_t bLength)
    {
        const int c = std::memcmp(a, b, std::min(aLength, bLength));
        return c != 0 ? c < 0 : aLength < bLength;
    }

    // A SEQUENCE OF in list order, or a SET OF in DER order; an element that
    // is NULL has no encoding.
    static HRESULT Encode(const void* value, codec::Out& out)
    {
        const size_t mark = out.size();
        size_t count = 0;
        std::vector<codec::Out> items;
        for (auto* n = static_cast<const Node*>(value); n != nullptr; n = n->next) {
            if (n->element == nullptr || ++count > codec::kMaxListLength)
                return E_INVALIDARG;
            codec::Out& item = IsDerSet() ? items.emplace_back() : out;
            HRESULT hr = Traits::EncodeElement(n->element, item);
            if (FAILED(hr))
                return hr;
        }
        if constexpr (IsDerSet()) {
            std::sort(items.begin(), items.end(), [](const codec::Out& a, const codec::Out& b) {
                return EncodingLess(a.data(), a.size(), b.data(), b.size());
            });
            for (const codec::Out& item : items)
                out.insert(out.end(), item.begin(), item.end());
        }
        codec::WrapFrom(out, mark, kTag);
        return S_OK;
    }

    static HRESULT Decode(codec::In& in, void** value)
    {
        *value = nullptr;
        codec::In items(nullptr, 0, 0);
        if (!in.Enter(kTag, items))
            return E_INVALIDARG;
        Node* head = nullptr;
        Node** tail = &head;
        const uint8_t* previous = nullptr;
        size_t previousLength = 0;
        for (size_t count = 0; !items.AtEnd(); ++count) {
            Element* element = nullptr;
            HRESULT hr = count < codec::kMaxListLength ? S_OK : E_INVALIDARG;
            if (SUCCEEDED(hr) && IsDerSet()) {
                // Out of order is not DER.
                codec::In probe = items;
                const uint8_t* whole = nullptr;
                size_t wholeLength = 0;
                if (!probe.NextAny(whole, wholeLength)
                    || (previous != nullptr && EncodingLess(whole, wholeLength, previous, previousLength)))
                    hr = E_INVALIDARG;
                previous = whole;
                previousLength = wholeLength;
            }
            if (SUCCEEDED(hr))
                hr = Traits::DecodeElement(items, &element);
            Node* node = SUCCEEDED(hr) ? NewNode() : nullptr;
            if (SUCCEEDED(hr) && node == nullptr) {
                Traits::FreeElement(element);
                hr = E_OUTOFMEMORY;
            }
            if (FAILED(hr)) {
                Drop(head);
                return hr;
            }
            node->element = element;
            *tail = node;
            tail = &node->next;
        }
        *value = head;
        return S_OK;
    }

    static void FreeValue(void* value) { Drop(static_cast<Node*>(value)); }

    static constexpr codec::Codec kCodec {&Encode, &Decode, &FreeValue};

    template <unsigned int Index>
    static constexpr SEC_TYPE_TABLE Table(API_INFO_FN info)
    {
        HRESULT (*addRef)(void*) = &values::NoAddRef;
        if constexpr (Traits::kCounted)
            addRef = &AddRefEntry;
        return SEC_TYPE_TABLE {{info},
                               addRef,
                               &FreeEntry,
                               nullptr,
                               &CopyEntry,
                               &CompareEntry,
                               nullptr,
                               &NewEntry,
                               &codec::DecodeEntry<Index, true>,
                               &codec::EncodeEntry<Index>};
    }
};

}  // namespace kestrin::qevcrypto::lists
