// A growable byte buffer for parser state: checked allocation, geometric
// growth (so large inputs stay linear), freed on scope exit.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "zelk_result.h"

namespace kestrin::base {

class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(data_); }

    unsigned char* data() { return data_; }
    const unsigned char* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }

    // Makes room for at least `need` bytes in total.
    HRESULT reserve(size_t need)
    {
        if (need <= capacity_)
            return S_OK;
        size_t cap = capacity_ < 64 ? 64 : capacity_;
        while (cap < need) {
            if (cap > static_cast<size_t>(-1) / 2) {
                cap = need;
                break;
            }
            cap *= 2;
        }
        void* p = std::realloc(data_, cap);
        if (!p)
            return E_OUTOFMEMORY;
        data_ = static_cast<unsigned char*>(p);
        capacity_ = cap;
        return S_OK;
    }

    HRESULT append(const void* bytes, size_t n)
    {
        if (n == 0)
            return S_OK;
        if (n > static_cast<size_t>(-1) - size_)
            return E_OUTOFMEMORY;
        HRESULT hr = reserve(size_ + n);
        if (FAILED(hr))
            return hr;
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
        return S_OK;
    }

    HRESULT push(unsigned char c) { return append(&c, 1); }

    // Drops the first `n` bytes, keeping the rest at the start.
    void consume(size_t n)
    {
        if (n >= size_) {
            size_ = 0;
            return;
        }
        std::memmove(data_, data_ + n, size_ - n);
        size_ -= n;
    }

    void clear() { size_ = 0; }

    // Sets the count after bytes were written in place (n <= capacity()).
    void setSize(size_t n) { size_ = n; }

    // Adds a NUL after the content without counting it.
    HRESULT terminate()
    {
        HRESULT hr = reserve(size_ + 1);
        if (FAILED(hr))
            return hr;
        data_[size_] = 0;
        return S_OK;
    }

private:
    unsigned char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace kestrin::base
