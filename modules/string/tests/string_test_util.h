// Helpers of the string module's tests: owners of the texts and byte strings
// the functions hand out, and the start of the runtime against the crypto
// library stand-in.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qevcrypto.h"
#include "text.h"
#include "zelk_alloc.h"

namespace kestrin::strings::test {

// Owns a text or list handed out by a slot; `&holder` frees first, like the
// system's own holders.
template <class C>
class Out {
public:
    Out() = default;
    explicit Out(C* p) : m_p(p) {}
    ~Out() { sec_free(m_p); }
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;

    C** operator&()
    {
        sec_free(m_p);
        m_p = nullptr;
        return &m_p;
    }
    C* get() const { return m_p; }
    C* release()
    {
        C* p = m_p;
        m_p = nullptr;
        return p;
    }
    void reset(C* p)
    {
        if (p != m_p)
            sec_free(m_p);
        m_p = p;
    }
    std::basic_string<C> str() const { return m_p ? std::basic_string<C>(m_p) : std::basic_string<C>(); }

private:
    C* m_p = nullptr;
};

struct OctetFree {
    void operator()(OctetString* os) const { kestrin::strings::FreeOctetString(os); }
};
using Octets = std::unique_ptr<OctetString, OctetFree>;

inline std::string Bytes(const OctetString* os)
{
    return std::string(reinterpret_cast<const char*>(os->data), os->length);
}

// A byte string over `bytes` (not owned).
inline OctetString View(const std::string& bytes)
{
    return OctetString {bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
}

// The ASCII text `s` in characters of C; NULL stays NULL (see Ptr).
template <class C>
std::basic_string<C> Txt(const char* s)
{
    std::basic_string<C> r;
    for (; *s; ++s)
        r.push_back(C(static_cast<unsigned char>(*s)));
    return r;
}

// Holds the widened texts of one case so that their pointers stay valid;
// NULL in, NULL out.
template <class C>
class Texts {
public:
    const C* operator()(const char* s)
    {
        if (s == nullptr)
            return nullptr;
        m_keep.push_back(std::make_unique<std::basic_string<C>>(Txt<C>(s)));
        return m_keep.back()->c_str();
    }

private:
    std::vector<std::unique_ptr<std::basic_string<C>>> m_keep;
};

using CharTypes = ::testing::Types<char, wchar_t>;

}  // namespace kestrin::strings::test
