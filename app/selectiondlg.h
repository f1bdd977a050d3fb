// The selection dialog "zelk.dlgselection" of module "zelkgui": a new object
// per creation. A selection is prepared, shown, waited for and read inside
// one block on "kvc.ui", so it never overlaps another selection or a
// credential dialog.
#pragma once

#include "zelk_gui_model.h"
#include "zelk_object.h"

namespace kestrin::app {

class CSelectionUI : public ZELK::PSESVC::ISelectionUI, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CSelectionUI)
    ZELK_INTMAP_ENTRY_IID(IID_ISelectionUI, ZELK::PSESVC::ISelectionUI)
    ZELK_END_INTMAP()

    // 0 with the chosen element (one reference; NULL when its row vanished),
    // 0xA0100019 when cancelled or ended at quit, 0x8000FFFF on the GUI
    // thread or on "kvc.ui", whose waits would stall the window.
    HRESULT GuiSelect(const wchar_t* caption, const wchar_t* text, ZELK::PSESVC::IGUIModelContainer* container,
                      IUnknown** selected) override;
    HRESULT GuiSelectEx(const wchar_t* caption, const wchar_t* text, const wchar_t* noElementsText,
                        ZELK::PSESVC::IGUIModelContainer* primary, ZELK::PSESVC::IGUIModelContainer* alternative,
                        IUnknown** selected) override;
};

// The answer of a cancelled selection.
constexpr HRESULT SELECTION_CANCELLED = ZELK_RC(0xA0100019);

}  // namespace kestrin::app
