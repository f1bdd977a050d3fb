// A text field whose getter hands out a pointer that another thread's setter
// must not free: a replaced text is kept until the holder dies.
#pragma once

#include <vector>

#include "zelk_alloc.h"
#include "zelk_strings.h"

namespace ZELK::PSESVC {

class RetainedText {
public:
    RetainedText() = default;
    ~RetainedText()
    {
        sec_free(m_text);
        for (char* old : m_retired)
            sec_free(old);
    }
    RetainedText(const RetainedText&) = delete;
    RetainedText& operator=(const RetainedText&) = delete;

    // NULL or "" empties the field.
    void Set(const char* text)
    {
        char* copy = nullptr;
        if (text != nullptr && *text != '\0')
            String_Copy(text, &copy);
        Retire(m_text);
        m_text = copy;
    }
    void Set(const char* text, size_t length)
    {
        char* copy = nullptr;
        if (text != nullptr && length > 0)
            String_CopyN(text, length, &copy);
        Retire(m_text);
        m_text = copy;
    }
    // Never NULL.
    const char* Get() const { return m_text != nullptr ? m_text : ""; }
    bool IsEmpty() const { return m_text == nullptr; }

    static void Retire(std::vector<char*>& retired, char* text)
    {
        if (text != nullptr)
            retired.push_back(text);
    }

private:
    void Retire(char* text) { Retire(m_retired, text); }

    char* m_text = nullptr;
    std::vector<char*> m_retired;
};

}  // namespace ZELK::PSESVC
