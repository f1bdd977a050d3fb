// The verbs of a token and the gate that lets one verb of it run at a time.
#pragma once

#include <cstdint>

#include "../model/gui_verb.h"
#include "zelk_gui.h"
#include "zelk_sync.h"

namespace ZELK::PSESVC {

// One row of a token class's verb table; a row without member ends it.
template <class T>
struct VerbTableRow {
    const char* name;
    uint32_t state;
    int (T::*member)(ICredUI*);
};

class CVerbHost {
public:
    CVerbHost() = default;
    // Detaches every verb before releasing it: a model that still holds one
    // gets 0x80004005 from it.
    virtual ~CVerbHost();
    CVerbHost(const CVerbHost&) = delete;
    CVerbHost& operator=(const CVerbHost&) = delete;

    // Creates the host's verbs; the base has none.
    virtual HRESULT InitVerbs();
    // InitVerbs(), then hands the verbs to `list`; 0x80004005 without a list
    // (the verbs exist all the same).
    virtual HRESULT InitVerbs(CGUIModelVerbs* list);
    // The first verb of that name, ignoring case, with a reference;
    // 0x80000003 for NULL arguments, 0x80004005 when none has it.
    virtual HRESULT GetVerbByName(const char* name, IGUIVerb** out);
    // Runs the verb in the desktop application ("zelk.gui" of "zelkgui");
    // 0x80004005 when there is none.
    virtual HRESULT DoVerb(IGUIVerb* verb);
    // The busy gate: waits in 100 ms steps while another verb of the host
    // runs; 0x80000007 when the waiting dialog is aborted.
    virtual HRESULT DoVerbBegin(ICredUI* dialog);
    virtual HRESULT DoVerbEnd(ICredUI* dialog);

    uint64_t VerbCount() const { return m_count; }
    IGUIVerb** Verbs() const { return m_verbs; }

protected:
    // Creates one verb per row of `table` bound to `host`, with the row's state.
    template <class T>
    HRESULT CreateVerbs(T* host, const VerbTableRow<T>* table)
    {
        uint64_t rows = 0;
        while (table[rows].member != nullptr)
            ++rows;
        if (rows == 0 || m_verbs != nullptr)
            return S_OK;
        auto** verbs = static_cast<IGUIVerb**>(sec_calloc(rows, sizeof(IGUIVerb*)));
        if (verbs == nullptr)
            return E_OUTOFMEMORY;
        uint64_t made = 0;
        for (uint64_t i = 0; i < rows; ++i) {
            CGUIVerb* verb = nullptr;
            if (FAILED(CGUIVerbImpl<T>::New(host, table[i].member, table[i].name, &verb)))
                continue;
            verb->SetState(table[i].state);
            verbs[made++] = verb;
        }
        m_verbs = verbs;
        m_count = made;
        return S_OK;
    }

private:
    uint64_t m_count = 0;
    IGUIVerb** m_verbs = nullptr;
    CriticalSection m_csBusy;
    bool m_busy = false;
};

}  // namespace ZELK::PSESVC
