// Owning text holders over the string tables: StringT (char UTF-8 or wchar_t
// UTF-32 text) and MultiStringT (a list of char texts in one buffer). Every
// buffer a holder owns comes from a string-table function or sec_malloc and
// goes back with sec_free, so a text can cross a module boundary.
//
// A source that points into the holder's own buffer (s += s, a token of the
// holder's own text) is copied before the old buffer is given back.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>

#include "zelk_alloc.h"
#include "zelk_strings.h"

template <class C, signed char Flag = 0>
class StringT {
public:
    StringT() = default;

    StringT(const C* text) { Assign(text); }

    StringT(const StringT& other) { Assign(other.m_p); }

    template <signed char OtherFlag>
    StringT(const StringT<C, OtherFlag>& other)
    {
        Assign(static_cast<const C*>(other));
    }

    // A policy value (char holder only): the policy's GetString fills the
    // text; a NULL policy or a failed read leaves the holder empty.
    template <class Policy>
    requires(sizeof(C) == 1 && requires(Policy * p, const char* n, char** o) { p->GetString(n, o); })
        StringT(Policy* policy, const char* name)
    {
        if (policy && policy->GetString(name, &m_p) < 0)
            Free();
    }

    // A wide text converted to a char text in `codePage` (char holder only).
    template <class W>
    requires(sizeof(C) == 1 && std::is_same_v<W, wchar_t>) StringT(const W* text, unsigned codePage)
    {
        String_Convert(text, &m_p, codePage);
    }

    // A char text in `codePage` converted to a wide text (wide holder only).
    template <class N>
    requires(sizeof(C) == sizeof(wchar_t) && std::is_same_v<N, char>) StringT(const N* text, unsigned codePage)
    {
        String_Convert(text, &m_p, codePage);
    }

    ~StringT() { Free(); }

    StringT& operator=(const StringT& other)
    {
        Assign(other.m_p);
        return *this;
    }

    StringT& operator=(const C* text)
    {
        Assign(text);
        return *this;
    }

    void Free()
    {
        if (m_p) {
            sec_free(m_p);
            m_p = nullptr;
        }
    }

    void Empty() { Free(); }

    void Assign(const C* text)
    {
        if (text == m_p)
            return;
        C* old = m_p;
        m_p = nullptr;
        String_Copy(text, &m_p);
        if (old)
            sec_free(old);
    }

    void AssignFromBuffer(const C* buffer, size_t n)
    {
        if (buffer == m_p)
            return;
        C* old = m_p;
        m_p = nullptr;
        String_CopyN(buffer, n, &m_p);
        if (old)
            sec_free(old);
    }

    void Attach(C* buffer)
    {
        if (buffer == m_p)
            return;
        Free();
        m_p = buffer;
    }

    C* Detach()
    {
        C* p = m_p;
        m_p = nullptr;
        return p;
    }

    // Out-parameter idiom: the old text is freed first.
    C** operator&()
    {
        Free();
        return &m_p;
    }

    operator const C*() const { return m_p; }

    HRESULT Copy(C** out) const { return String_Copy(m_p, out); }

    bool IsEmpty() const { return String_IsEmpty(m_p); }
    size_t GetLength() const { return String_Length(m_p); }

    int32_t Compare(const C* t) const { return String_Compare(m_p, t); }
    int32_t CompareNoCase(const C* t) const { return String_CompareNoCase(m_p, t); }
    bool operator==(const C* t) const { return Compare(t) == 0; }
    bool operator!=(const C* t) const { return Compare(t) != 0; }

    bool StartsWith(const C* t) const { return String_StartsWith(m_p, t); }
    bool StartsWithNoCase(const C* t) const { return String_StartsWithNoCase(m_p, t); }

    uint32_t Find(const C* t) const { return String_Find(m_p, 0, t); }

    // 0xFFFFFFFF (-1) for an empty holder, without looking at the needle.
    uint32_t FindNoCase(const C* t) const
    {
        if (!m_p)
            return ZELK_STRING_NOTFOUND;
        StringT text(m_p);
        StringT needle(t);
        text.MakeUpper();
        needle.MakeUpper();
        return String_Find(static_cast<const C*>(text), 0, static_cast<const C*>(needle));
    }

    StringT<C, 1> Left(size_t n) const
    {
        StringT<C, 1> left;
        String_Left(m_p, n, &left);
        return left;
    }

    void Append(const C* t)
    {
        if (!m_p) {
            Assign(t);
            return;
        }
        if (Inside(t)) {
            StringT copy(t);
            m_p = String_Append(m_p, static_cast<const C*>(copy));
            return;
        }
        m_p = String_Append(m_p, t);
    }

    StringT& operator+=(const C* t)
    {
        Append(t);
        return *this;
    }

    void MakeUpper() { String_MakeUpper(m_p, &m_p); }
    void MakeLower() { String_MakeLower(m_p, &m_p); }

    HRESULT Chop() { return String_Chop(m_p); }
    void Burn() { String_Burn(m_p); }
    HRESULT RemoveQuote() { return String_RemoveQuote(m_p); }

    // Writes c at index i; nothing outside the text.
    void SetAt(size_t i, C c)
    {
        if (m_p && i < GetLength())
            m_p[i] = c;
    }

    // A writable buffer for n characters and a terminator; the text is kept
    // (cut at n characters when it is longer). NULL when the buffer cannot
    // be had; the text is then unchanged.
    C* GetBuffer(size_t n)
    {
        if (m_p && n == 0)
            return m_p;
        if (n >= SIZE_MAX / sizeof(C))
            return nullptr;
        if (m_p) {
            auto* bigger = static_cast<C*>(sec_realloc(m_p, (n + 1) * sizeof(C)));
            if (!bigger)
                return nullptr;
            m_p = bigger;
        } else {
            m_p = static_cast<C*>(sec_malloc((n + 1) * sizeof(C)));
            if (!m_p)
                return nullptr;
            m_p[0] = 0;
        }
        m_p[n] = 0;
        return m_p;
    }

    // The old text stays alive while formatting, so the arguments may refer
    // to it. A NULL format leaves the holder empty.
    void Format(const C* format, ...)
    {
        StringT old;
        old.Attach(Detach());
        if (!format)
            return;
        va_list args;
        va_start(args, format);
        String_FormatV(format, args, &m_p);
        va_end(args);
    }

    uint32_t Replace(const C* from, const C* to)
    {
        StringT old;
        old.Attach(Detach());
        return String_Replace(static_cast<const C*>(old), from, to, &m_p);
    }

    HRESULT Base64Encode(OctetString* data) requires(sizeof(C) == 1)
    {
        StringT old;
        old.Attach(Detach());
        return String_Base64Encode(data, &m_p);
    }

    HRESULT Base64Decode(OctetString** out) const requires(sizeof(C) == 1) { return String_Base64Decode(m_p, out); }

    HRESULT URLEncode() requires(sizeof(C) == 1)
    {
        StringT encoded;
        HRESULT hr = String_URLEncode(m_p, &encoded);
        if (hr >= 0)
            Attach(encoded.Detach());
        return hr;
    }

    HRESULT URLDecode() requires(sizeof(C) == 1)
    {
        StringT decoded;
        HRESULT hr = String_URLDecode(m_p, &decoded);
        if (hr >= 0)
            Attach(decoded.Detach());
        return hr;
    }

private:
    // Whether t points into the own buffer (terminator included).
    bool Inside(const C* t) const
    {
        if (!m_p || !t)
            return false;
        std::less_equal<const C*> le;
        return le(m_p, t) && le(t, m_p + String_Length(m_p));
    }

    C* m_p = nullptr;
};

// An owning list of char texts (entries each followed by a NUL, ended by an
// empty entry) over "MultiString.1".
class MultiStringT {
public:
    MultiStringT() = default;
    explicit MultiStringT(const char* text) { Add(text); }
    ~MultiStringT() { Free(); }

    MultiStringT(const MultiStringT&) = delete;
    MultiStringT& operator=(const MultiStringT&) = delete;

    void Free()
    {
        if (m_p) {
            sec_free(m_p);
            m_p = nullptr;
        }
    }

    char** operator&()
    {
        Free();
        return &m_p;
    }

    char* Detach()
    {
        char* p = m_p;
        m_p = nullptr;
        return p;
    }

    operator const char*() const { return m_p; }

    HRESULT Add(const char* text) { return StringMulti_Add(m_p, text, &m_p); }
    size_t Count() const { return StringMulti_GetCount(m_p); }
    int32_t Find(const char* text) const { return StringMulti_Find(m_p, text); }
    const char* Get(size_t i) const { return StringMulti_Get(m_p, i); }
    const char* operator[](size_t i) const { return Get(i); }

    // The entries joined by separator into a new text (NULL for an empty
    // list); *out is overwritten without being freed.
    void toString(char** out, const char* separator) const
    {
        if (!out)
            return;
        StringT<char> text;
        size_t count = Count();
        for (size_t i = 0; i < count; ++i) {
            if (i > 0)
                text += separator;
            text += Get(i);
        }
        *out = text.Detach();
    }

private:
    char* m_p = nullptr;
};
