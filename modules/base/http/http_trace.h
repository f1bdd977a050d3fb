// Where the parsers' trace lines go; the module routes them to its trace
// front end, the cores alone to nowhere.
#pragma once

#include <cstdarg>

namespace kestrin::base {

class ParseTrace {
public:
    virtual ~ParseTrace() = default;
    virtual bool enabled() const = 0;
    virtual void vline(const char* format, va_list args) = 0;

    __attribute__((format(printf, 2, 3))) void line(const char* format, ...)
    {
        if (!enabled())
            return;
        va_list args;
        va_start(args, format);
        vline(format, args);
        va_end(args);
    }
};

}  // namespace kestrin::base
