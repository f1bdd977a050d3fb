// The enrolment client's protocol 1.0 codec fed arbitrary replies: a request
// is composed first (so that what the reply teaches about the server reaches
// it), the bytes are parsed as the server's reply, every getter reads it, and
// a second request is composed for the server generation it learnt. The
// runtime, the string module and libxml2's table are compiled in; the
// allocator is the C library's, as libxml2's own.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kestrin_xml.h"
#include "secxml.h"
#include "zelk_alloc.h"
#include "zelk_module.h"
#include "zelk_strings.h"

extern "C" HRESULT secxml_module_init(SEC_FUNCTION_LIST*, MODULE_GET_API_FN* getter, void*, void*);

API_COMMON* fptr__libxml2 = nullptr;

namespace {

bool Bind()
{
    static SEC_FUNCTION_LIST list = {};
    list.malloc = &std::malloc;
    list.calloc = &std::calloc;
    list.realloc = &std::realloc;
    list.free = &std::free;
    sdk_f_list = &list;
    MODULE_GET_API_FN getter = nullptr;
    return CZELK_API::GetAPI(ZELK_STRING_API, &STRING_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_STRINGW_API, &STRINGW_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_MULTISTRING_API, &MULTISTRING_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_MULTISTRINGW_API, &MULTISTRINGW_TABLE) == S_OK
           && secxml_module_init(nullptr, &getter, nullptr, nullptr) == S_OK && getter != nullptr
           && getter(SECXML_MODULE, SECXML_API, &fptr__libxml2) == S_OK;
}

template <class T>
void Drop(T* text)
{
    sec_free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool bound = Bind();
    if (!bound)
        abort();
    std::string reply(reinterpret_cast<const char*>(data), size);
    kestrin::enrol::CKestrinXML xml;
    char* request = nullptr;
    if (xml.Compose_Init("client", "192.0.2.1", "host.example", &request) != S_OK)
        abort();
    Drop(request);
    if (xml.ParseXML(reply.c_str()) != S_OK)
        return 0;
    xml.GetActionRequest();
    xml.GetPINSelectMode();
    xml.GetStatus();
    xml.GetTimeout();
    xml.GetKeylength();
    xml.GetAlphanumeric();
    xml.GetMinPINLength();
    xml.GetMaxPINLength();
    xml.GetServerBool("Alphanumeric");
    wchar_t* wide = nullptr;
    xml.GetMessage(&wide);
    Drop(wide);
    wide = nullptr;
    xml.GetDisclaimer(&wide);
    Drop(wide);
    wide = nullptr;
    xml.GetServerPIN(&wide);
    Drop(wide);
    wide = nullptr;
    xml.GetServerString("MessageCode", 1, &wide);
    Drop(wide);
    char* narrow = nullptr;
    xml.GetCertificate(&narrow);
    Drop(narrow);
    narrow = nullptr;
    xml.GetServerString("Message", 1, &narrow);
    Drop(narrow);
    request = nullptr;
    if (xml.Compose_Auth(L"user\u00e9", L"pass&<word>", "MIIB", &request) != S_OK || request == nullptr)
        abort();
    Drop(request);
    return 0;
}
