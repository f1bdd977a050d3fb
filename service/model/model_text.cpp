#include "model_text.h"

#include <cstring>
#include <cwchar>

CModel::~CModel()
{
    s_manager.store(nullptr, std::memory_order_release);
}

HRESULT CModel::Init()
{
    CModel* model = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModel>::New(&model);
    if (FAILED(hr))
        return hr;
    // The class's lock makes the first look-ups open the bundle once; readers
    // see the pointer only once the manager is complete.
    ZELK::CriticalCodeSection lock(&s_cs);
    if (s_manager.load(std::memory_order_acquire) == nullptr) {
        hr = GetResourceManager(L"zelkgui", &model->m_manager);
        if (SUCCEEDED(hr) && model->m_manager != nullptr)
            s_manager.store(model->m_manager, std::memory_order_release);
    }
    model->Release();
    return hr;
}

IResourceManager* CModel::Manager()
{
    IResourceManager* manager = s_manager.load(std::memory_order_acquire);
    if (manager == nullptr) {
        Init();
        manager = s_manager.load(std::memory_order_acquire);
    }
    return manager;
}

const char* CModel::GetText(const char* key, const char* fallback)
{
    IResourceManager* manager = Manager();
    const char* text = manager != nullptr && key != nullptr ? manager->Get(key) : nullptr;
    if (text == nullptr || std::strcmp(text, ZELK_RESLOADER_NO_RESOURCES) == 0)
        return fallback;
    return text;
}

const wchar_t* CModel::GetTextW(const char* key, const wchar_t* fallback)
{
    IResourceManager* manager = Manager();
    const wchar_t* text = manager != nullptr && key != nullptr ? manager->GetW(key) : nullptr;
    if (text == nullptr || std::wcscmp(text, ZELK_RESLOADER_NO_RESOURCES_W) == 0)
        return fallback;
    return text;
}
