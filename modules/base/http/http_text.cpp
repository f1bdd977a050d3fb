#include "http_text.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "json/json_chars.h"

namespace kestrin::base::http {

using json::JSON_CHAR_CLASS;

char* CopyText(const char* bytes, size_t n)
{
    if (n == static_cast<size_t>(-1))
        return nullptr;
    char* p = static_cast<char*>(std::malloc(n + 1));
    if (!p)
        return nullptr;
    if (n)
        std::memcpy(p, bytes, n);
    p[n] = 0;
    return p;
}

Text::~Text()
{
    reset();
}

void Text::reset()
{
    std::free(text_);
    text_ = nullptr;
    length_ = 0;
}

HRESULT Text::assign(const char* bytes, size_t n)
{
    char* p = CopyText(bytes, n);
    if (!p)
        return E_OUTOFMEMORY;
    std::free(text_);
    text_ = p;
    length_ = n;
    return S_OK;
}

HRESULT Text::assign(const char* text)
{
    return assign(text, std::strlen(text));
}

HRESULT Text::assignJoined(const char* a, size_t an, const char* b, size_t bn)
{
    if (bn > static_cast<size_t>(-2) - an)
        return E_OUTOFMEMORY;
    char* p = static_cast<char*>(std::malloc(an + bn + 1));
    if (!p)
        return E_OUTOFMEMORY;
    std::memcpy(p, a, an);
    std::memcpy(p + an, b, bn);
    p[an + bn] = 0;
    std::free(text_);
    text_ = p;
    length_ = an + bn;
    return S_OK;
}

NameValueList::~NameValueList()
{
    for (size_t i = 0; i < count_; ++i) {
        std::free(items_[i].name);
        std::free(items_[i].value);
    }
    std::free(items_);
    std::free(index_);
}

size_t NameValueList::hash(const char* name, size_t length)
{
    size_t h = 1469598103934665603ull;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 'a' && c <= 'z')
            c = static_cast<unsigned char>(c - 'a' + 'A');
        h = (h ^ c) * 1099511628211ull;
    }
    return h;
}

size_t* NameValueList::slot(const char* name, size_t length) const
{
    size_t mask = indexSize_ - 1;
    for (size_t i = hash(name, length) & mask;; i = (i + 1) & mask) {
        size_t at = index_[i];
        if (at == 0)
            return &index_[i];
        const char* stored = items_[at - 1].name;
        if (std::strlen(stored) == length && strncasecmp(stored, name, length) == 0)
            return &index_[i];
    }
}

HRESULT NameValueList::growIndex()
{
    size_t size = indexSize_ ? indexSize_ * 2 : 16;
    if (size > static_cast<size_t>(-1) / sizeof(size_t))
        return E_OUTOFMEMORY;
    auto* grown = static_cast<size_t*>(std::calloc(size, sizeof(size_t)));
    if (!grown)
        return E_OUTOFMEMORY;
    std::free(index_);
    index_ = grown;
    indexSize_ = size;
    // The first pair of a name stays the one found.
    for (size_t i = 0; i < count_; ++i) {
        size_t* at = slot(items_[i].name, std::strlen(items_[i].name));
        if (!*at)
            *at = i + 1;
    }
    return S_OK;
}

HRESULT NameValueList::add(const char* name, size_t nameLength, char* value, bool upper)
{
    HRESULT hr = S_OK;
    if ((count_ + 1) * 2 > indexSize_)
        hr = growIndex();
    if (SUCCEEDED(hr) && count_ == capacity_) {
        size_t cap = capacity_ ? capacity_ * 2 : 4;
        void* p = std::realloc(items_, cap * sizeof(NameValue));
        if (p) {
            items_ = static_cast<NameValue*>(p);
            capacity_ = cap;
        } else {
            hr = E_OUTOFMEMORY;
        }
    }
    char* n = SUCCEEDED(hr) ? CopyText(name, nameLength) : nullptr;
    if (!n) {
        std::free(value);
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    if (upper)
        UpperCase(n);
    items_[count_++] = NameValue {n, value};
    size_t* at = slot(name, nameLength);
    if (!*at)
        *at = count_;
    return S_OK;
}

HRESULT NameValueList::append(const char* name, size_t nameLength, const char* value, size_t valueLength, bool hasValue)
{
    char* v = nullptr;
    if (hasValue && !(v = CopyText(value, valueLength)))
        return E_OUTOFMEMORY;
    return add(name, nameLength, v, false);
}

HRESULT NameValueList::setUpper(const char* name, size_t nameLength, const char* value, size_t valueLength,
                                bool hasValue)
{
    char* v = nullptr;
    if (hasValue && !(v = CopyText(value, valueLength)))
        return E_OUTOFMEMORY;
    size_t at = indexSize_ ? *slot(name, nameLength) : 0;
    if (!at)
        return add(name, nameLength, v, true);
    NameValue& pair = items_[at - 1];
    std::free(pair.value);
    pair.value = v;
    return S_OK;
}

const NameValue* NameValueList::find(const char* name) const
{
    if (!indexSize_)
        return nullptr;
    size_t at = *slot(name, std::strlen(name));
    return at ? &items_[at - 1] : nullptr;
}

void Trim(const char*& begin, const char*& end)
{
    while (begin < end && JSON_CHAR_CLASS::is(JSON_CHAR_CLASS::SPACE, *begin))
        ++begin;
    while (end > begin && JSON_CHAR_CLASS::is(JSON_CHAR_CLASS::SPACE, end[-1]))
        --end;
}

void UpperCase(char* text)
{
    for (; *text; ++text)
        if (*text >= 'a' && *text <= 'z')
            *text = static_cast<char>(*text - 'a' + 'A');
}

}  // namespace kestrin::base::http
