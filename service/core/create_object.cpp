#include "create_object.h"

HRESULT ZELK_CreateSingleton(const char* module, const char* className)
{
    IUnknown* object = nullptr;
    HRESULT hr = ZELK_CreateObject(module, className, IID_IUnknown, reinterpret_cast<void**>(&object));
    if (object)
        object->Release();
    return hr;
}
