// The facade's control requests, from pages and from client programs alike:
// the list of the user's certificates and tokens, and PKCS#7 signatures made
// with one of them once the user confirms in a credential dialog.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "../core/create_object.h"
#include "../model/model_clients.h"
#include "kvc_api_facade_impl.h"
#include "qev_mzt.h"
#include "qev_results.h"
#include "zelk_alloc.h"
#include "zelk_gui_model.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {

namespace {

constexpr const char* TRACE_MODULE = "webadapter";
constexpr const char* OWNCERTS_VIEW = "zelk.model.owncerts.and.kerberos.ex";
constexpr const char* REAUTH = "[reauth]";
constexpr const char* IMPLICIT = "<implicit>";
// The status of an input that is not Base64.
constexpr int kStatusBadInput = 12;

API_COMMON* s_mzt = nullptr;
CLoadAPI s_loadMzt(nullptr, SEC_MZT_API, &s_mzt);

void Trace(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SECTRACE_FormatLnV(TRACE_MODULE, static_cast<unsigned>(level), format, args);
    va_end(args);
}

// A string member of the request; empty when missing or of another type.
std::string Member(IJsonObject* request, const char* name)
{
    if (request == nullptr || request->getMemberType(name) != JSON_TYPE_STRING)
        return {};
    const char* value = request->getMemberStringValueStatic(name);
    return value != nullptr ? value : "";
}

std::string NameText(const DName* name)
{
    auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_DName));
    char* text = nullptr;
    if (name == nullptr || names == nullptr || FAILED(names->to_text(name, &text)) || text == nullptr)
        return {};
    std::string result = text;
    sec_free(text);
    return result;
}

// A new octet string of the crypto library over a copy of the bytes.
HRESULT WrapBytes(const unsigned char* bytes, uint64_t length, OctetString** out)
{
    const SEC_TYPE_TABLE* octets = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString);
    if (octets == nullptr || octets->copy == nullptr)
        return E_FAIL;
    OctetString view {length, const_cast<unsigned char*>(bytes)};
    void* copy = nullptr;
    HRESULT hr = octets->copy(&view, &copy);
    if (FAILED(hr))
        return hr;
    *out = static_cast<OctetString*>(copy);
    return S_OK;
}

// Ends the dialog once on every way out of a signing request.
class DialogEnd {
public:
    explicit DialogEnd(ICredUI* dialog) : m_dialog(dialog) {}
    ~DialogEnd()
    {
        if (m_dialog != nullptr)
            m_dialog->GuiEnd();
    }
    DialogEnd(const DialogEnd&) = delete;
    DialogEnd& operator=(const DialogEnd&) = delete;

private:
    ICredUI* m_dialog;
};

}  // namespace

HRESULT CKVCAPIFacadeImpl::MztEncode(const OctetString* data, OctetString** encoded)
{
    const auto* mzt = ZELK_ApiCast<SEC_MZT_TABLE>(s_mzt);
    if (data == nullptr || encoded == nullptr)
        return E_INVALIDARG;
    *encoded = nullptr;
    if (mzt == nullptr || mzt->encode == nullptr)
        return E_NOTIMPL;
    unsigned char* out = nullptr;
    uint64_t length = 0;
    HRESULT hr = mzt->encode("PKCS7", 5, data->data, data->length, &out, &length);
    if (FAILED(hr))
        return hr;
    hr = WrapBytes(out, length, encoded);
    sec_free(out);
    return hr;
}

HRESULT CKVCAPIFacadeImpl::MztSign(const char* name, unsigned char flag1, unsigned char flag2, const OctetString* data,
                                   SigRcpMztInformationListStruct* signers, OctetString** signature)
{
    const auto* mzt = ZELK_ApiCast<SEC_MZT_TABLE>(s_mzt);
    if (name == nullptr || data == nullptr || signature == nullptr)
        return E_INVALIDARG;
    *signature = nullptr;
    if (mzt == nullptr || mzt->sign == nullptr)
        return E_NOTIMPL;
    unsigned char* out = nullptr;
    uint64_t length = 0;
    HRESULT hr =
        mzt->sign("PKCS7", 5, name, std::strlen(name), flag1, flag2, data->data, data->length, signers, &out, &length);
    if (FAILED(hr))
        return hr;
    hr = WrapBytes(out, length, signature);
    sec_free(out);
    return hr;
}

void CKVCAPIFacadeImpl::UiThread(ICredUI* dialog)
{
    dialog->GuiStart(ICredUI::GUIMODE_DEFAULT, true);
    dialog->Release();
}

HRESULT CKVCAPIFacadeImpl::transact(const char* caller, const char* path, IJsonObject* request, IJsonObject* response)
{
    if (path == nullptr || response == nullptr)
        return 500;
    if (std::strcmp(path, "mzt/sign") == 0)
        return sign(caller, request, response);
    if (std::strcmp(path, "kvc/getprofiles") == 0)
        return profileList(request, response);
    return 500;
}

int CKVCAPIFacadeImpl::profileList(IJsonObject* request, IJsonObject* answer)
{
    answer->setMemberNumberValue("status", 0);
    const bool signOnly = Member(request, "operation").find("sign") != std::string::npos;
    AuxRefPtr<IJsonArray> profiles;
    if (FAILED(answer->createMemberArrayValue("profiles", &profiles)) || !profiles)
        return 200;
    AuxRefPtr<IGUIModelContainer> view;
    if (FAILED(ZELK_CreateObject("zelk", OWNCERTS_VIEW, &view)) || !view)
        return 200;
    unsigned long count = 0;
    for (unsigned long index = 0;; ++index) {
        AuxRefPtr<IGUIModel> element;
        if (FAILED(view->GetElement(index, IID_IGUIModel, reinterpret_cast<void**>(&element))) || !element)
            break;
        AuxRefPtr<IGUIModelOwnCert> own;
        AuxRefPtr<IGUIModelToken> token;
        if (SUCCEEDED(element->QueryInterface(IID_IGUIModelOwnCert, reinterpret_cast<void**>(&own))) && own) {
            const Certificate* certificate = own->GetCert();
            if (certificate == nullptr)
                continue;
            const KeyUsage* usage = const_cast<Certificate*>(certificate)->getExtKeyUsage(nullptr);
            if (signOnly && usage != nullptr && usage->digitalSignature == 0 && usage->nonRepudiation == 0)
                continue;
            AuxRefPtr<IJsonObject> entry;
            if (FAILED(profiles->createItemObjectValue(count, &entry)) || !entry)
                break;
            ++count;
            entry->setMemberStringValue("name", own->GetSlot());
            entry->setMemberStringValue("subject",
                                        NameText(const_cast<Certificate*>(certificate)->getSubject()).c_str());
            entry->setMemberStringValue("issuer", NameText(const_cast<Certificate*>(certificate)->getIssuer()).c_str());
        } else if (SUCCEEDED(element->QueryInterface(IID_IGUIModelToken, reinterpret_cast<void**>(&token))) && token) {
            AuxRefPtr<IJsonObject> entry;
            if (FAILED(profiles->createItemObjectValue(count, &entry)) || !entry)
                break;
            ++count;
            entry->setMemberStringValue("name", token->GetTokenName());
            AuxRefPtr<IGUIModelOwnCert> first;
            if (SUCCEEDED(token->GetOwnCert(0, &first)) && first && first->GetCert() != nullptr)
                entry->setMemberStringValue("subject",
                                            NameText(const_cast<Certificate*>(first->GetCert())->getSubject()).c_str());
        }
    }
    return 200;
}

int CKVCAPIFacadeImpl::sign(const char* url, IJsonObject* request, IJsonObject* answer)
{
    std::string id = Member(request, "id");
    std::string profile = Member(request, "profile");
    const std::string input = Member(request, "input");
    const std::string description = Member(request, "description");
    if (profile.empty() || profile == IMPLICIT)
        profile = REAUTH;
    else if (profile.compare(0, std::strlen(REAUTH), REAUTH) != 0)
        profile = REAUTH + profile;
    if (id.empty())
        id = IMPLICIT;

    // One request at a time: the active client holds one dialog.
    std::lock_guard<std::mutex> serial(m_signing);
    AuxRefPtr<ICredUI> dialog;
    if (SUCCEEDED(ZELK_CreateObject("zelkgui", "zelk.dlgcred", &dialog)) && dialog) {
        dialog->AddRef();
        ICredUI* held = dialog;
        try {
            std::thread(&CKVCAPIFacadeImpl::UiThread, held).detach();
        } catch (...) {
            held->Release();
            dialog.Free();
        }
    }
    DialogEnd end(dialog);
    AuxRefPtr<CModelClient> client;
    CModelClients::GetActiveClient(&client);
    if (client && dialog) {
        client->SetCredUi(dialog);
        client->SetURL(url != nullptr ? url : "");
        client->SetAction("MZT-Sign");
        client->SetDescription(description.c_str());
    }

    AuxPtr<OctetString> data;
    if (request == nullptr || request->getMemberType("input") != JSON_TYPE_STRING
        || FAILED(String_Base64Decode(input.c_str(), &data)) || !data) {
        answer->setMemberNumberValue("status", kStatusBadInput);
        answer->setMemberStringValue("error", "failed to decode input");
        return 200;
    }
    AuxPtr<OctetString> encoded;
    HRESULT hr = MztEncode(data, &encoded);
    AuxPtr<OctetString> signature;
    if (SUCCEEDED(hr)) {
        SigRcpMztInformationStruct signer {};
        signer.identity = id.c_str();
        signer.identityLength = id.size();
        signer.profile = profile.c_str();
        signer.profileLength = profile.size();
        SigRcpMztInformationListStruct signers {&signer, nullptr};
        hr = MztSign("DFAULT", 1, 0, encoded, &signers, &signature);
    }
    StringT<char> text;
    if (SUCCEEDED(hr)
        && (!signature || FAILED(String_Base64Encode(signature, &text)) || static_cast<const char*>(text) == nullptr))
        hr = E_FAIL;
    if (SUCCEEDED(hr)) {
        std::string output;
        for (const char* c = static_cast<const char*>(text); *c != 0; ++c)
            if (*c != '\r' && *c != '\n')
                output += *c;
        answer->setMemberNumberValue("status", 0);
        answer->setMemberStringValue("output", output.c_str());
        return 200;
    }
    char error[48];
    std::snprintf(error, sizeof error, "failed with rc=%d", static_cast<int>(hr));
    Trace(3, "mzt/sign: %s", error);
    answer->setMemberNumberValue("status", static_cast<int>(hr));
    answer->setMemberStringValue("error", error);
    return 200;
}

}  // namespace ZELK::PSESVC
