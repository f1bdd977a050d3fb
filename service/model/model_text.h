// Texts of the bundle "zelkgui" for the models' rows and verbs.
#pragma once

#include <atomic>

#include "zelk_object.h"
#include "zelk_ptr.h"
#include "zelk_resloader.h"

class CModel : public IUnknown, public CSingletonFactoryImpl<CModel>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CModel)
    ZELK_INTMAP_ENTRY_IID(IID_IUnknown, IUnknown)
    ZELK_END_INTMAP()

    ~CModel() override;

    // The text of `key`, owned by the resource manager; `fallback` when the
    // bundle lacks the key or cannot be opened.
    static const char* GetText(const char* key, const char* fallback);
    static const wchar_t* GetTextW(const char* key, const wchar_t* fallback);
    // Creates the singleton and opens the bundle once.
    static HRESULT Init();

private:
    static IResourceManager* Manager();

    CComPtr<CComIID<IResourceManager, &IID_IResourceManager>> m_manager;
    // Set once, after the manager is complete; cleared when the singleton goes.
    static inline std::atomic<IResourceManager*> s_manager {nullptr};
};
