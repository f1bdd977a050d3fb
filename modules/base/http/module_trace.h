// The parsers' trace lines go to module "zelkbase" at level 4.
#pragma once

#include "http_trace.h"
#include "zelk_trace.h"

namespace kestrin::base {

class ModuleTrace : public ParseTrace {
public:
    bool enabled() const override { return SECTRACE_Check("zelkbase", 4); }
    void vline(const char* format, va_list args) override { SECTRACE_FormatLnV("zelkbase", 4, format, args); }
};

}  // namespace kestrin::base
