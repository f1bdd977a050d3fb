// The request text of the service PSE's control path (attribute 1032) into
// the real facade's transact, with the path (1030) and the caller's URL
// (1029) beside it. Input: a byte choosing the path ("kvc/getprofiles",
// "mzt/sign", or the next text up to a NUL), a byte saying whether a caller
// is given, then the request text. A request that parses is answered 0 with
// a JSON object in attribute 1033: "status" a number for the two paths (with
// "profiles" or with "output" or "error"), nothing for any other path; every
// signing request's dialog ends.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/zelkpse.h"
#include "facade_fuzz_support.h"
#include "qev_attributes.h"
#include "zelk_alloc.h"
#include "zelk_json.h"

namespace {

using kestrin::service::test::Dialogs;

API_COMMON* s_json = nullptr;
CLoadAPI s_loadJson("zelkbase", JSONAPI_NAME, &s_json);

bool Parses(const std::string& text, AuxRefPtr<IJsonObject>& object)
{
    const auto* api = ZELK_ApiCast<JSONAPI_FUNCTION_TABLE>(s_json);
    OctetString bytes {text.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()))};
    return api != nullptr && SUCCEEDED(api->json_parse(&bytes, &object)) && object;
}

// The dialog thread of a signing request ends its dialog soon after the
// request returns.
void WaitForDialogs()
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (Dialogs::Open() != 0) {
        if (std::chrono::steady_clock::now() > end)
            std::abort();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    facade_fuzz::Setup();
    if (size < 2)
        return 0;
    std::string input(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string path;
    switch (data[0] % 3) {
    case 0:
        path = "kvc/getprofiles";
        break;
    case 1:
        path = "mzt/sign";
        break;
    default: {
        const size_t end = input.find('\0');
        path = input.substr(0, end);
        input = end == std::string::npos ? std::string() : input.substr(end + 1);
        break;
    }
    }
    // The attribute is a C text: the request ends at its first NUL.
    std::string request = input.c_str();
    char caller[] = "https://enrol.test:8443/page";

    CComObject<ZELK::PSESVC::ZELKPSE>* pse = nullptr;
    if (CComObject<ZELK::PSESVC::ZELKPSE>::CreateInstance(&pse) != S_OK || pse == nullptr)
        std::abort();
    pse->AddRef();
    SECAttribute text {SEC_ATTR_CONTROL_REQUEST, request.data(), 0, 0, 0, nullptr, nullptr};
    SECAttribute pathAttr {SEC_ATTR_CONTROL_PATH, path.data(), 0, 0, 0, nullptr, &text};
    SECAttribute in {SEC_ATTR_CONTROL_CALLER, caller, 0, 0, 0, nullptr, &pathAttr};
    SECAttribute out {SEC_ATTR_CONTROL_ANSWER, nullptr, 0, 0, 0, nullptr, nullptr};
    const HRESULT hr = pse->control((data[1] & 1) != 0 ? &in : &pathAttr, &out);
    pse->Release();
    WaitForDialogs();

    AuxRefPtr<IJsonObject> parsed;
    const bool valid = Parses(request, parsed);
    const bool answered = out.value != nullptr;
    const std::string answer = answered ? static_cast<const char*>(out.value) : "";
    sec_free(out.value);
    if (hr != S_OK) {
        if (valid || answered)
            std::abort();
        return 0;
    }
    AuxRefPtr<IJsonObject> object;
    if (!Parses(answer, object))
        std::abort();
    const bool known = path == "kvc/getprofiles" || path == "mzt/sign";
    if (known != (object->getMemberType("status") == JSON_TYPE_NUMBER))
        std::abort();
    if (path == "kvc/getprofiles" && object->getMemberType("profiles") != JSON_TYPE_ARRAY)
        std::abort();
    if (path == "mzt/sign" && object->getMemberType("output") != JSON_TYPE_STRING
        && object->getMemberType("error") != JSON_TYPE_STRING)
        std::abort();
    return 0;
}
