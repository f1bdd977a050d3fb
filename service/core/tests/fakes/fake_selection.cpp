// Link-time stand-in for the desktop application's selection dialog.
#include "fake_selection.h"

#include <atomic>
#include <mutex>

#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_object.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::IGUIModelContainer;
using ZELK::PSESVC::ISelectionUI;

enum class Mode { Pick, Cancel, Nothing, Headless };

std::mutex s_mutex;
Mode s_mode = Mode::Pick;
unsigned long s_index = 0;
HRESULT s_cancel = ZELK_RC(0xA0100019);
std::atomic<int> s_shown {0};
std::atomic<unsigned long> s_lastCount {0};

class Selection : public ISelectionUI, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Selection)
    ZELK_INTMAP_ENTRY(ISelectionUI)
    ZELK_END_INTMAP()

    HRESULT GuiSelect(const wchar_t* caption, const wchar_t* text, IGUIModelContainer* container,
                      IUnknown** selected) override
    {
        return GuiSelectEx(caption, text, nullptr, container, nullptr, selected);
    }
    HRESULT GuiSelectEx(const wchar_t*, const wchar_t*, const wchar_t*, IGUIModelContainer* primary,
                        IGUIModelContainer*, IUnknown** selected) override
    {
        *selected = nullptr;
        ++s_shown;
        s_lastCount = primary != nullptr ? static_cast<unsigned long>(primary->GetElementCount()) : 0;
        std::lock_guard<std::mutex> lock(s_mutex);
        switch (s_mode) {
        case Mode::Cancel:
            return s_cancel;
        case Mode::Nothing:
            return S_OK;
        default:
            return primary != nullptr ? primary->GetElement(s_index, IID_IUnknown, reinterpret_cast<void**>(selected))
                                      : E_FAIL;
        }
    }
};

HRESULT CreateSelection(const GUID& iid, void** out)
{
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (s_mode == Mode::Headless)
            return ZELK_RC(0x80040154);
    }
    CComObject<Selection>* dialog = nullptr;
    HRESULT hr = CComObject<Selection>::CreateInstance(&dialog);
    if (FAILED(hr))
        return hr;
    dialog->AddRef();
    hr = dialog->QueryInterface(iid, out);
    dialog->Release();
    return hr;
}

CZELK_CLASS s_selection("zelkgui", "zelk.dlgselection", &CreateSelection);

}  // namespace

void SelectionScript::Reset()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_mode = Mode::Pick;
    s_index = 0;
    s_shown = 0;
    s_lastCount = 0;
}

void SelectionScript::Pick(unsigned long index)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_mode = Mode::Pick;
    s_index = index;
}

void SelectionScript::Cancel(HRESULT code)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_mode = Mode::Cancel;
    s_cancel = code;
}

void SelectionScript::ConfirmNothing()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_mode = Mode::Nothing;
}

void SelectionScript::Headless()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_mode = Mode::Headless;
}

int SelectionScript::Shown()
{
    return s_shown.load();
}

unsigned long SelectionScript::LastCount()
{
    return s_lastCount.load();
}

}  // namespace kestrin::service::test
