// Small owned texts and name/value lists of the HTTP parser and builder, with
// checked allocation and geometric growth.
#pragma once

#include <cstddef>

#include "zelk_result.h"

namespace kestrin::base::http {

// Copies n bytes into a new NUL-terminated buffer (malloc); nullptr when out of memory.
char* CopyText(const char* bytes, size_t n);

class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text();

    HRESULT assign(const char* bytes, size_t n);
    HRESULT assign(const char* text);
    // The bytes of `a` followed by those of `b`.
    HRESULT assignJoined(const char* a, size_t an, const char* b, size_t bn);
    void reset();
    const char* get() const { return text_; }
    char* data() { return text_; }
    size_t length() const { return length_; }

private:
    char* text_ = nullptr;
    size_t length_ = 0;
};

struct NameValue {
    char* name;
    char* value;  // nullptr: the name came without a value
};

// Pairs in order of addition, found by name through a hash index, so that a
// request line with many parameters costs linear time.
class NameValueList {
public:
    NameValueList() = default;
    NameValueList(const NameValueList&) = delete;
    NameValueList& operator=(const NameValueList&) = delete;
    ~NameValueList();

    // Adds a pair at the end, keeping earlier pairs of the same name.
    HRESULT append(const char* name, size_t nameLength, const char* value, size_t valueLength, bool hasValue);
    // Replaces the value of the first pair whose name matches without regard to
    // case, or appends one whose name is stored upper-cased.
    HRESULT setUpper(const char* name, size_t nameLength, const char* value, size_t valueLength, bool hasValue);
    // The first pair whose name matches without regard to case, or nullptr.
    const NameValue* find(const char* name) const;

    size_t size() const { return count_; }
    const NameValue& operator[](size_t i) const { return items_[i]; }

private:
    static size_t hash(const char* name, size_t length);
    // The index slot of the name: the one holding its pair, or the empty one
    // where it would go.
    size_t* slot(const char* name, size_t length) const;
    HRESULT growIndex();
    // Appends the pair (taking `value`) and indexes it when its name is new.
    HRESULT add(const char* name, size_t nameLength, char* value, bool upper);

    NameValue* items_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
    // Open addressing over pair positions plus one (0: empty); at most half full.
    size_t* index_ = nullptr;
    size_t indexSize_ = 0;
};

// Trims bytes of the white-space class (tab, LF, CR, space) from both ends.
void Trim(const char*& begin, const char*& end);

// ASCII upper-casing in place.
void UpperCase(char* text);

}  // namespace kestrin::base::http
