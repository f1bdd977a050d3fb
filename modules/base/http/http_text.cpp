#include "http_text.h"

#include "json/json_chars.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace zelk::http {

using json::JSON_CHAR_CLASS;

char* CopyText(const char* bytes, size_t n) {
  if (n == static_cast<size_t>(-1)) return nullptr;
  char* p = static_cast<char*>(std::malloc(n + 1));
  if (!p) return nullptr;
  if (n) std::memcpy(p, bytes, n);
  p[n] = 0;
  return p;
}

Text::~Text() { reset(); }

void Text::reset() {
  std::free(text_);
  text_ = nullptr;
  length_ = 0;
}

HRESULT Text::assign(const char* bytes, size_t n) {
  char* p = CopyText(bytes, n);
  if (!p) return E_OUTOFMEMORY;
  std::free(text_);
  text_ = p;
  length_ = n;
  return S_OK;
}

HRESULT Text::assign(const char* text) { return assign(text, std::strlen(text)); }

HRESULT Text::assignJoined(const char* a, size_t an, const char* b, size_t bn) {
  if (bn > static_cast<size_t>(-2) - an) return E_OUTOFMEMORY;
  char* p = static_cast<char*>(std::malloc(an + bn + 1));
  if (!p) return E_OUTOFMEMORY;
  std::memcpy(p, a, an);
  std::memcpy(p + an, b, bn);
  p[an + bn] = 0;
  std::free(text_);
  text_ = p;
  length_ = an + bn;
  return S_OK;
}

NameValueList::~NameValueList() {
  for (size_t i = 0; i < count_; ++i) {
    std::free(items_[i].name);
    std::free(items_[i].value);
  }
  std::free(items_);
}

HRESULT NameValueList::append(const char* name, size_t nameLength, const char* value, size_t valueLength,
                              bool hasValue) {
  if (count_ == capacity_) {
    size_t cap = capacity_ ? capacity_ * 2 : 4;
    void* p = std::realloc(items_, cap * sizeof(NameValue));
    if (!p) return E_OUTOFMEMORY;
    items_ = static_cast<NameValue*>(p);
    capacity_ = cap;
  }
  char* n = CopyText(name, nameLength);
  char* v = hasValue ? CopyText(value, valueLength) : nullptr;
  if (!n || (hasValue && !v)) {
    std::free(n);
    std::free(v);
    return E_OUTOFMEMORY;
  }
  items_[count_++] = NameValue{n, v};
  return S_OK;
}

HRESULT NameValueList::setUpper(const char* name, size_t nameLength, const char* value, size_t valueLength,
                           bool hasValue) {
  for (size_t i = 0; i < count_; ++i) {
    if (std::strlen(items_[i].name) == nameLength && strncasecmp(items_[i].name, name, nameLength) == 0) {
      char* v = nullptr;
      if (hasValue && !(v = CopyText(value, valueLength))) return E_OUTOFMEMORY;
      std::free(items_[i].value);
      items_[i].value = v;
      return S_OK;
    }
  }
  HRESULT hr = append(name, nameLength, value, valueLength, hasValue);
  if (SUCCEEDED(hr)) UpperCase(items_[count_ - 1].name);
  return hr;
}

const NameValue* NameValueList::find(const char* name) const {
  for (size_t i = 0; i < count_; ++i)
    if (strcasecmp(items_[i].name, name) == 0) return &items_[i];
  return nullptr;
}

void Trim(const char*& begin, const char*& end) {
  while (begin < end && JSON_CHAR_CLASS::is(JSON_CHAR_CLASS::SPACE, *begin)) ++begin;
  while (end > begin && JSON_CHAR_CLASS::is(JSON_CHAR_CLASS::SPACE, end[-1])) --end;
}

void UpperCase(char* text) {
  for (; *text; ++text)
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
}

}  // namespace zelk::http
