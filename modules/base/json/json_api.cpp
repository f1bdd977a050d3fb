// Table "jsonapi" of module "zelkbase".
#include "json_values.h"
#include "zelk_module.h"

namespace {

using kestrin::base::json::JsonObject;
using kestrin::base::json::ValueRef;

HRESULT jsonapi_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = JSONAPI_NAME;
    if (module)
        *module = "zelkbase";
    if (description)
        *description = "";
    return S_OK;
}

HRESULT json_create(IJsonObject** out)
{
    if (!out)
        return E_INVALIDARG;
    ValueRef v;
    HRESULT hr = JsonObject::New(v);
    if (FAILED(hr))
        return hr;
    *out = static_cast<JsonObject*>(v.detach());
    return S_OK;
}

HRESULT json_parse(const OctetString* text, IJsonObject** out)
{
    if (!text || !out || (!text->data && text->length))
        return E_INVALIDARG;
    return kestrin::base::json::ParseDocument(text->data, static_cast<size_t>(text->length), out);
}

JSONAPI_FUNCTION_TABLE s_jsonapi = {{jsonapi_get_info}, json_create, json_parse};

CZELK_API implJSONAPI("zelkbase", JSONAPI_NAME, &s_jsonapi);

}  // namespace
