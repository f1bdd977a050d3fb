// The scripted selection dialog ("zelk.dlgselection" of "zelkgui"): picks
// element N of the candidates, answers a cancel, confirms without an
// element, or cannot be made at all (no display).
#pragma once

#include "zelk_result.h"

namespace kestrin::service::test {

struct SelectionScript {
    static void Reset();
    static void Pick(unsigned long index);
    static void Cancel(HRESULT code);
    static void ConfirmNothing();
    static void Headless();
    // Dialogs shown, and the candidates the last one offered.
    static int Shown();
    static unsigned long LastCount();
};

}  // namespace kestrin::service::test
