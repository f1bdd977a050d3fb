// Lists of texts: building, walking and searching (both widths).
#include "multistring.h"

#include <functional>

#include "text.h"

namespace kestrin::strings {

namespace {

// Calls f(entry, length, index) for each entry until f answers true; answers
// the entry where it stopped, or NULL.
template <class C, class F>
const C* Walk(const C* list, F f)
{
    if (list == nullptr)
        return nullptr;
    size_t index = 0;
    for (const C* p = list; *p != C(0); ++index) {
        const size_t len = Len(p);
        if (f(p, len, index))
            return p;
        p += len + 1;
    }
    return nullptr;
}

// The characters of the entries with their NULs, without the ending NUL.
template <class C>
size_t EntriesLength(const C* list)
{
    const size_t len = MultiGetLength(list);
    return len ? len - 1 : 0;
}

// A new list of `count` characters, all NUL.
template <class C>
C* NewList(size_t count)
{
    if (count > SIZE_MAX / sizeof(C))
        return nullptr;
    return static_cast<C*>(sec_calloc(count, sizeof(C)));
}

// Hands the new list out; when `*out` held the input list, that is freed.
template <class C>
void HandOut(const C* list, C** out, C* made)
{
    if (*out == list && list != nullptr)
        sec_free(const_cast<C*>(list));
    *out = made;
}

// The index of the first entry that `compare` finds equal to t; -1 when
// there is none or t is NULL.
template <class C>
int32_t FindEntry(const C* list, const C* t, int32_t (*compare)(const C*, const C*))
{
    if (t == nullptr)
        return -1;
    int32_t found = -1;
    Walk(list, [&](const C* e, size_t, size_t i) {
        if (compare(e, t) != 0)
            return false;
        found = int32_t(i);
        return true;
    });
    return found;
}

template <class C>
bool IsSeparator(C c, const C* separators)
{
    for (const C* s = separators; *s != C(0); ++s) {
        if (*s == c)
            return true;
    }
    return false;
}

}  // namespace

template <class C>
HRESULT MakeMultiString(const C* t, C** out, const C* separators)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    if (t == nullptr)
        return E_FAIL;
    static constexpr C kDefault[] = {C(' '), C('\t'), C('\r'), C('\n'), C(0)};
    if (separators == nullptr)
        separators = kDefault;
    const size_t len = Len(t);
    if (len > SIZE_MAX - 3)
        return E_OUTOFMEMORY;
    C* p = NewList<C>(len + 3);
    if (p == nullptr)
        return E_OUTOFMEMORY;
    size_t o = 0;
    for (size_t i = 0; i < len; ++i) {
        if (!IsSeparator(t[i], separators))
            p[o++] = t[i];
        else if (o > 0 && p[o - 1] != C(0))
            p[o++] = C(0);
    }
    // The buffer is zero-filled: the last entry's NUL and the ending empty
    // entry are already there.
    *out = p;
    return S_OK;
}

template <class C>
size_t MultiGetLength(const C* list)
{
    if (list == nullptr)
        return 0;
    const C* p = list;
    while (*p != C(0))
        p += Len(p) + 1;
    return size_t(p - list) + 1;
}

template <class C>
HRESULT MultiCopy(const C* list, C** out)
{
    if (out == nullptr)
        return ZELK_RC(0xFFFFFFFF);
    // The output already holds the list; NULL is copied as a list of two NULs.
    if (*out == list && list != nullptr)
        return S_OK;
    *out = nullptr;
    const size_t len = MultiGetLength(list);
    // At least the two NULs of a list without entries.
    C* p = NewList<C>(len < 2 ? 2 : len);
    if (p == nullptr)
        return E_OUTOFMEMORY;
    if (len)
        std::memcpy(p, list, len * sizeof(C));
    *out = p;
    return S_OK;
}

template <class C>
HRESULT MultiCreate(const C* t, C** out)
{
    if (out == nullptr)
        return ZELK_RC(0xFFFFFFFF);
    *out = nullptr;
    const size_t len = Len(t);
    if (len > SIZE_MAX - 2)
        return E_OUTOFMEMORY;
    C* p = NewList<C>(len + 2);
    if (p == nullptr)
        return E_OUTOFMEMORY;
    if (len)
        std::memcpy(p, t, len * sizeof(C));
    *out = p;
    return S_OK;
}

template <class C>
size_t MultiGetCount(const C* list)
{
    size_t count = 0;
    Walk(list, [&](const C*, size_t, size_t) {
        ++count;
        return false;
    });
    return count;
}

template <class C>
int32_t MultiFind(const C* list, const C* t)
{
    return FindEntry(list, t, Compare<C>);
}

template <class C>
int32_t MultiFindNoCase(const C* list, const C* t)
{
    return FindEntry(list, t, CompareNoCase<C>);
}

template <class C>
const C* MultiGet(const C* list, size_t index)
{
    return Walk(list, [&](const C*, size_t, size_t i) { return i == index; });
}

template <class C>
HRESULT MultiAdd(const C* list, const C* t, C** out)
{
    if (t == nullptr || out == nullptr)
        return E_INVALIDARG;
    if (t[0] == C(0))
        return E_FAIL;
    const size_t head = EntriesLength(list);
    const size_t len = Len(t);
    if (len > SIZE_MAX - 2 - head)
        return E_OUTOFMEMORY;
    // The text may be an entry of the list itself: the new list is complete
    // before the old one is freed.
    C* p = NewList<C>(head + len + 2);
    if (p == nullptr)
        return E_OUTOFMEMORY;
    if (head)
        std::memcpy(p, list, head * sizeof(C));
    std::memcpy(p + head, t, len * sizeof(C));
    HandOut(list, out, p);
    return S_OK;
}

template <class C>
HRESULT MultiInsert(const C* list, const C* t, C** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    if (IsEmpty(t)) {
        if (*out != list && FAILED(MultiCopy(list, out)))
            return E_OUTOFMEMORY;
        return S_FALSE;
    }
    if (list == nullptr)
        return MultiCreate(t, out);
    const size_t tail = MultiGetLength(list);
    const size_t len = Len(t);
    if (len > SIZE_MAX - 1 - tail)
        return E_OUTOFMEMORY;
    C* p = NewList<C>(len + 1 + tail);
    if (p == nullptr)
        return E_OUTOFMEMORY;
    std::memcpy(p, t, len * sizeof(C));
    std::memcpy(p + len + 1, list, tail * sizeof(C));
    HandOut(list, out, p);
    return S_OK;
}

template <class C>
size_t MultiGetCountEx(const C* list, const C* end)
{
    if (end == nullptr)
        return 0;
    std::less<const C*> before;
    size_t count = 0;
    Walk(list, [&](const C* e, size_t, size_t) {
        if (!before(e, end))
            return true;
        ++count;
        return false;
    });
    return count;
}

#define ZELK_INSTANTIATE(C)                                                                                            \
    template HRESULT MakeMultiString<C>(const C*, C**, const C*);                                                      \
    template HRESULT MultiCopy<C>(const C*, C**);                                                                      \
    template size_t MultiGetLength<C>(const C*);                                                                       \
    template HRESULT MultiCreate<C>(const C*, C**);                                                                    \
    template size_t MultiGetCount<C>(const C*);                                                                        \
    template int32_t MultiFind<C>(const C*, const C*);                                                                 \
    template int32_t MultiFindNoCase<C>(const C*, const C*);                                                           \
    template const C* MultiGet<C>(const C*, size_t);                                                                   \
    template HRESULT MultiAdd<C>(const C*, const C*, C**);                                                             \
    template HRESULT MultiInsert<C>(const C*, const C*, C**);                                                          \
    template size_t MultiGetCountEx<C>(const C*, const C*);

ZELK_INSTANTIATE(char)
ZELK_INSTANTIATE(wchar_t)
#undef ZELK_INSTANTIATE

}  // namespace kestrin::strings
