#include "selectiondlg.h"

#include "creddlg.h"
#include "glue.h"
#include "queues.h"
#include "selection.h"
#include "windows.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_strings.h"

namespace kestrin::app {
namespace {

CZELK_CLASS s_dlgselection("zelkgui", "zelk.dlgselection", &CFactoryImpl<CSelectionUI>::New);

QString Text(const wchar_t* text)
{
    char* utf8 = nullptr;
    if (text == nullptr || FAILED(String_Copy(text, &utf8)) || utf8 == nullptr)
        return QString();
    QString result = QString::fromUtf8(utf8);
    sec_free(utf8);
    return result;
}

}  // namespace

HRESULT CSelectionUI::GuiSelect(const wchar_t* caption, const wchar_t* text,
                                ZELK::PSESVC::IGUIModelContainer* container, IUnknown** selected)
{
    return GuiSelectEx(caption, text, nullptr, container, nullptr, selected);
}

HRESULT CSelectionUI::GuiSelectEx(const wchar_t*, const wchar_t* text, const wchar_t* noElementsText,
                                  ZELK::PSESVC::IGUIModelContainer* primary,
                                  ZELK::PSESVC::IGUIModelContainer* alternative, IUnknown** selected)
{
    if (IsGuiThread() || ZELKGLUE_GetDispatchQueue()->IsCurrent())
        return E_UNEXPECTED;
    const QString shown = Text(text);
    const QString noElements = Text(noElementsText);
    HRESULT result = SELECTION_CANCELLED;
    ZELKGLUE_DispatchAndWait([&] {
        SelectionWindowController* window = SelectionWindowController::get();
        SelectionViewController* view = window ? window->getViewController() : nullptr;
        if (view == nullptr)
            return;
        const bool shownUp = RunOnGui([&] {
            view->setText(shown);
            view->setTextNoElements(noElements);
            view->setContainerObject(primary, alternative);
            window->show();
        });
        if (!shownUp)
            return;
        const bool ok = view->wait();
        IUnknown* item = nullptr;
        RunOnGui([&] {
            if (ok) {
                item = view->getSelectedObject();
                if (item)
                    item->AddRef();
            }
            window->hide();
            view->clear();
        });
        if (!ok) {
            if (item)
                item->Release();
            return;
        }
        result = S_OK;
        if (selected)
            *selected = item;
        else if (item)
            item->Release();
    });
    return result;
}

}  // namespace kestrin::app
