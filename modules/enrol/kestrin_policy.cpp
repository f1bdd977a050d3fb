#include "kestrin_policy.h"

#include <libxml/tree.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "enrol_bindings.h"
#include "kestrin.h"
#include "kestrin_xml.h"
#include "qev_attributes.h"
#include "qev_url.h"
#include "secxml.h"
#include "zelk_class.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

namespace kestrin::enrol {

namespace {

const char kTraceModule[] = "kestrin";
const char kPlistPolicyClass[] = "zelk.policy.plist";

CZELK_CLASS s_class(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_POLICY_CLASS, &CFactoryImpl<CKestrinPolicy>::New);

const SECXML_LIBXML2_TABLE* Xml()
{
    return SECXML_Table();
}

const xmlChar* X(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

const char* NameOf(const xmlNode* node)
{
    return node != nullptr && node->name != nullptr ? reinterpret_cast<const char*>(node->name) : "";
}

// An attribute's value (library allocator), empty when absent.
StringT<char> Attribute(xmlNode* node, const char* name)
{
    StringT<char> value;
    if (node != nullptr)
        value.Attach(reinterpret_cast<char*>(Xml()->xmlGetProp(node, X(name))));
    return value;
}

xmlNode* FirstElementChild(xmlNode* node)
{
    for (xmlNode* c = node != nullptr ? node->children : nullptr; c != nullptr; c = c->next)
        if (c->type == XML_ELEMENT_NODE)
            return c;
    return nullptr;
}

xmlNode* NextElement(xmlNode* node)
{
    for (xmlNode* c = node != nullptr ? node->next : nullptr; c != nullptr; c = c->next)
        if (c->type == XML_ELEMENT_NODE)
            return c;
    return nullptr;
}

// An entry's name becomes the name of a sub-key: it must name one below the
// key, never the key itself, its parent or a path.
bool IsSubkeyName(const char* name)
{
    return name != nullptr && *name != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0
           && std::strpbrk(name, "/\\") == nullptr;
}

// The text key the downloader shows for a transport code.
const char* TransportTextKey(int status)
{
    switch (static_cast<uint32_t>(status)) {
    case 0xA0600203u:  // the TLS peer is not trusted
    case 0xA2500200u:
    case 0xA2500205u:
    case 0xA250020Du:
    case 0xA2500215u:
        return "ERR_SSL_ROOT_CERT";
    case 0xA250001Bu:
    case 0xA2500204u:
        return "ERR_CONNECTION_TIMEOUT";
    case 0xA2500202u:
        return "ERR_SERVER_ERR";
    case 0xA250020Au:
        return "ERR_SSL_CERT_NAME";
    case 0xA250020Cu:
        return "ERR_SSL_CERT_EXT";
    case 0xA2500214u:
        return "ERR_UNKNOWN_HOST";
    default:
        return "ERR_UNKNOWN_CONNECTION_ERR";
    }
}

}  // namespace

CKestrinPolicy::CKestrinPolicy()
{
    GetResourceManager(L"kvlogsvc", &m_pResources);
}

CKestrinPolicy::~CKestrinPolicy()
{
    if (m_pGroupPolicy != nullptr)
        ZELK_PolClose(&m_pGroupPolicy);
    m_pLastDocument.Free();
    if (m_pNotification != nullptr)
        m_pNotification->Release();
    if (m_pResources != nullptr)
        m_pResources->Release();
    m_pCurrentDocument.Free();
    FreeDocument();
}

void CKestrinPolicy::FreeDocument()
{
    if (m_pDocument != nullptr)
        Xml()->xmlFreeDoc(m_pDocument);
    m_pDocument = nullptr;
}

const wchar_t* CKestrinPolicy::Text(const char* key)
{
    const wchar_t* text = m_pResources != nullptr ? m_pResources->GetW(key) : nullptr;
    return text != nullptr ? text : L"";
}

StringT<char> CKestrinPolicy::TextWith(const char* key, const char* argument)
{
    // The text is the bundle's, not ours: only its "%s" is filled, so that no
    // other conversion of a translated text reads an argument that is not there.
    StringT<char> text(m_pResources != nullptr ? m_pResources->Get(key) : nullptr);
    if (text == static_cast<const char*>(nullptr))
        text = "";
    const char* at = std::strstr(text, "%s");
    if (at == nullptr)
        return text;
    StringT<char> out = text.Left(static_cast<size_t>(at - static_cast<const char*>(text)));
    out += argument != nullptr ? argument : "";
    out += at + 2;
    return out;
}

void CKestrinPolicy::Notify(unsigned kind, const wchar_t* text)
{
    if (m_pNotification != nullptr)
        m_pNotification->Notify(kind, text != nullptr ? text : L"");
}

HRESULT CKestrinPolicy::SetNotificationCallback(IKestrinServiceNotification* callback)
{
    if (callback != nullptr)
        callback->AddRef();
    if (m_pNotification != nullptr)
        m_pNotification->Release();
    m_pNotification = callback;
    return S_OK;
}

HRESULT CKestrinPolicy::DownloadPolicy(const char* url, unsigned int type, const char* group)
{
    if (url == nullptr || *url == '\0') {
        m_pLastDocument.Free();
        return 1;
    }
    if (m_pGroupPolicy != nullptr)
        ZELK_PolClose(&m_pGroupPolicy);
    if (group != nullptr && *group != '\0') {
        StringT<char> path;
        path.Format("groups/%s", group);
        if (ZELK_PolOpen(path, &m_pGroupPolicy) < 0 && m_pGroupPolicy != nullptr)
            ZELK_PolClose(&m_pGroupPolicy);
    }
    HRESULT hr = GetConfigXML(url);
    if (hr == 1)
        return S_OK;
    if (m_pLastDocument && m_pCurrentDocument
        && TypeTable(SEC_TYPE_OctetString)->compare(m_pLastDocument, m_pCurrentDocument) == 0) {
        SECTRACE_WriteLn(kTraceModule, 4, "The policy is unchanged");
        return 1;
    }
    if (FAILED(hr))
        return hr;
    hr = MakeConfig(type, group);
    if (FAILED(hr))
        return hr;
    m_pLastDocument = m_pCurrentDocument.Detach();
    return hr;
}

HRESULT CKestrinPolicy::ImportPolicy(const OctetString* document, unsigned int type, const char* group)
{
    // The caller keeps its document: the push reads a copy.
    m_pCurrentDocument.Free();
    if (document != nullptr) {
        void* copy = nullptr;
        if (FAILED(TypeTable(SEC_TYPE_OctetString)->copy(document, &copy)))
            return E_OUTOFMEMORY;
        m_pCurrentDocument = static_cast<OctetString*>(copy);
    }
    HRESULT hr = MakeConfig(type, group);
    m_pCurrentDocument.Free();
    return hr;
}

HRESULT CKestrinPolicy::GetConfigXML()
{
    ZELK_IPolicy* system = nullptr;
    m_strPolicyURL.Free();
    if (ZELK_PolOpen(POL::KESTRIN::SYSTEM::REG_PATH, &system) >= 0 && system != nullptr) {
        m_strPolicyURL = StringT<char>(system, POL::KESTRIN::SYSTEM::CONFIG_URL);
        ZELK_PolClose(&system);
    }
    if (m_strPolicyURL.IsEmpty()) {
        SECTRACE_WriteLn(kTraceModule, 4, "PolicyURL is empty or not found!");
        return 1;
    }
    return GetConfigXML(m_strPolicyURL);
}

HRESULT CKestrinPolicy::GetConfigXML(const char* url)
{
    SECTRACE_FormatLn(kTraceModule, 4, "start getting policy from URL %s", url != nullptr ? url : "");
    int status = 0;
    m_pCurrentDocument.Free();
    HRESULT hr = QueryConnection(url, nullptr, &status, &m_pCurrentDocument);
    if (hr >= 0)
        return S_OK;
    StringT<wchar_t> message(Text("ERR_POLICY_DOWNLOAD"));
    message += L"\n";
    SECTRACE_WriteLn(kTraceModule, 4, "Getting Policy XML file per http/s failure!");
    if (m_pNotification != nullptr) {
        message += L"URL: ";
        message += StringT<wchar_t>(url != nullptr ? url : "", 65001);
        message += L"\n";
        if (status != 0)
            message += Text(TransportTextKey(status));
        Notify(IKestrinServiceNotification::KIND_ERROR, message);
    }
    return status != 0 ? status : hr;
}

HRESULT CKestrinPolicy::QueryConnection(const char* url, signed char*, int* status, OctetString** body)
{
    SECAttribute noProvider {};
    noProvider.id = SEC_ATTR_NO_PROVIDER;
    ASC* context = nullptr;
    HRESULT hr = AscTable()->create_ASC(&context, &noProvider);
    if (FAILED(hr))
        return hr;
    AuxRefPtr<ASC> contextOwner;
    contextOwner.Attach(context);
    url_context* urlContext = nullptr;
    url_connection* connection = nullptr;
    hr = CKestrin::create_urlRef(context, &urlContext, &connection, url, m_pGroupPolicy, nullptr);
    if (SUCCEEDED(hr) && connection == nullptr)
        hr = E_FAIL;
    if (SUCCEEDED(hr)) {
        OctetString* response = nullptr;
        const HRESULT transport = connection->sendRequest(nullptr, &response);
        if (response != nullptr) {
            BaseCore()->OctetString_ZeroTerminate(response);
            if (body != nullptr)
                *body = response;
            else
                TypeTable(SEC_TYPE_OctetString)->free(response);
        }
        if (status != nullptr)
            *status = transport;
        const char* line = connection->getStatusLine();
        hr = transport == S_OK && line != nullptr && strcasecmp(line, "200 OK") == 0 ? S_OK : E_FAIL;
    }
    if (connection != nullptr)
        connection->Release();
    if (urlContext != nullptr)
        urlContext->Release();
    return hr;
}

HRESULT CKestrinPolicy::ParseXML(OctetString* document)
{
    if (document == nullptr || document->data == nullptr || document->length == 0)
        return E_INVALIDARG;
    FreeDocument();
    if (document->length > kMaxPolicyDocument) {
        SECTRACE_WriteLn(kTraceModule, 1, "The received configuration is to big. It will be rejected");
        return E_FAIL;
    }
    const size_t length = document->length;
    BaseCore()->OctetString_ZeroTerminate(document);
    // The whole document, also past a NUL: the parser stops there.
    for (size_t i = 0; i + 1 < length; ++i)
        if (document->data[i] == '<' && document->data[i + 1] == '!') {
            SECTRACE_WriteLn(kTraceModule, 1,
                             "The received configuration contains invalid character sequences. It will be rejected");
            return E_FAIL;
        }
    if (std::memchr(document->data, 0, length) != nullptr) {
        SECTRACE_WriteLn(kTraceModule, 1, "The received configuration is no well formed XML. It will be rejected");
        return E_FAIL;
    }
    m_pDocument = Xml()->xmlParseDoc(document->data);
    if (m_pDocument == nullptr) {
        SECTRACE_WriteLn(kTraceModule, 1, "The received configuration is no well formed XML. It will be rejected");
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CKestrinPolicy::MakeConfig(unsigned int type, const char* group)
{
    ZELK::CriticalCodeSection lock(&m_cs);
    if (FAILED(ParseXML(m_pCurrentDocument))) {
        SECTRACE_WriteLn(kTraceModule, 4, "Policy XML file corrup/invalid!");
        Notify(IKestrinServiceNotification::KIND_ERROR, Text("ERR_XML_MALFORMED"));
        return E_FAIL;
    }
    HRESULT hr = PushConfig(NODE_root_node, type, group);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CKestrinPolicy::PushConfig(const char* rootName, unsigned int type, const char* group)
{
    if (rootName == nullptr)
        return E_INVALIDARG;
    xmlNode* root = m_pDocument != nullptr ? FindFirstElement(m_pDocument->children, rootName) : nullptr;
    if (root == nullptr || root->children == nullptr) {
        SECTRACE_WriteLn(kTraceModule, 4, "Policy XML file contains no kestrin.client.policy root!");
        Notify(IKestrinServiceNotification::KIND_ERROR, Text("ERR_PARSE_XML"));
        return E_FAIL;
    }
    StringT<char> groupName = Attribute(root, NODE_param_attrib_name);
    HRESULT result = S_OK;
    for (xmlNode* product = FirstElementChild(root); product != nullptr; product = NextElement(product)) {
        if (strcasecmp(NameOf(product), NODE_attribute) == 0) {
            StringT<char> name = Attribute(product, NODE_param_attrib_name);
            if (!name.IsEmpty() && name.CompareNoCase("description") == 0)
                continue;
        }
        SECTRACE_FormatLn(kTraceModule, 4, "Policy for product %s found", NameOf(product));
        result |= PushHKEY(product, type, group, groupName);
    }
    return result;
}

HRESULT CKestrinPolicy::PushHKEY(_xmlNode* product, unsigned int, const char* group, const char* groupName)
{
    if (product == nullptr)
        return E_INVALIDARG;
    StringT<char> path;
    if (group == nullptr || *group == '\0')
        path = "/";
    else
        path.Format("groups/%s/", group);
    if (strcasecmp(NameOf(product), NODE_kestrin) != 0)
        path += NameOf(product);
    ZELK_IPolicy* productPolicy = nullptr;
    HRESULT hr = ZELK_PolOpenType(path, kPlistPolicyClass, &productPolicy);
    if (FAILED(hr) || productPolicy == nullptr) {
        StringT<char> text = TextWith("ERR_REGISTRY_WRITE", path);
        SECTRACE_WriteLn(kTraceModule, 4, text);
        Notify(IKestrinServiceNotification::KIND_ERROR, StringT<wchar_t>(static_cast<const char*>(text), 65001));
        return FAILED(hr) ? hr : E_FAIL;
    }
    xmlNode* machine = FindFirstChildElement(product, NODE_machine);
    if (machine == nullptr) {
        ZELK_PolClose(&productPolicy);
        return E_FAIL;
    }
    SECTRACE_WriteLn(kTraceModule, 4, "HKEY_LOCAL_MACHINE policy found!");
    hr = PushAll(machine, productPolicy, groupName);
    ZELK_PolClose(&productPolicy);
    return hr;
}

HRESULT CKestrinPolicy::PushAll(_xmlNode* machine, ZELK_IPolicy* productPolicy, const char* groupName)
{
    HRESULT result = S_OK;
    for (xmlNode* key = FirstElementChild(machine); key != nullptr; key = NextElement(key))
        result |= Push(key, productPolicy, groupName);
    return result;
}

HRESULT CKestrinPolicy::GetAction(_xmlNode* key, POLICY_ACTION* action)
{
    if (action == nullptr)
        return E_INVALIDARG;
    StringT<char> value = Attribute(key, NODE_action);
    *action = ACTION_NONE;
    if (!value.IsEmpty() && value.CompareNoCase(NODE_param_action_clean) == 0)
        *action = ACTION_CLEAN;
    else if (!value.IsEmpty() && value.CompareNoCase(NODE_param_action_replace) == 0)
        *action = ACTION_REPLACE;
    return S_OK;
}

HRESULT CKestrinPolicy::Push(_xmlNode* key, ZELK_IPolicy* productPolicy, const char* groupName)
{
    if (key == nullptr || productPolicy == nullptr)
        return S_OK;
    const char* keyName = NameOf(key);
    SECTRACE_FormatLn(kTraceModule, 4, "push Policy [%s]", keyName);
    POLICY_ACTION action = ACTION_NONE;
    GetAction(key, &action);
    if (action == ACTION_CLEAN)
        productPolicy->DeleteSubkey(keyName);
    if (key->children == nullptr)
        return S_OK;
    ZELK_IPolicy* keyPolicy = nullptr;
    if (productPolicy->OpenChild(keyName, 0, &keyPolicy) < 0 || keyPolicy == nullptr)
        return E_FAIL;
    // Every element child is an entry, also the first of a compact document.
    xmlNode* entry = FirstElementChild(key);
    if (entry == nullptr) {
        if (action == ACTION_CLEAN && m_pNotification != nullptr) {
            StringT<char> text = TextWith("INFO_SUBKEY_DELETED", keyName);
            Notify(IKestrinServiceNotification::KIND_INFORMATION,
                   StringT<wchar_t>(static_cast<const char*>(text), 65001));
        }
        ZELK_PolClose(&keyPolicy);
        return S_OK;
    }
    HRESULT result = S_OK;
    for (; entry != nullptr; entry = NextElement(entry)) {
        StringT<char> name = Attribute(entry, NODE_param_attrib_name);
        if (!IsSubkeyName(name)) {
            SECTRACE_FormatLn(kTraceModule, 4, "The entry name \"%s\" of [%s] is no key name",
                              name.IsEmpty() ? "" : static_cast<const char*>(name), keyName);
            Notify(IKestrinServiceNotification::KIND_ERROR, Text("ERR_PARSE_XML"));
            result |= E_FAIL;
            continue;
        }
        if (action == ACTION_NONE && keyPolicy->IsConfigured(nullptr))
            continue;
        if (action == ACTION_REPLACE) {
            // The entry's sub-key goes first, so that values the document no
            // longer names do not stay in force; an absent one is fine.
            if (keyPolicy->DeleteSubkey(name) < 0) {
                StringT<char> text = TextWith("ERR_REGISTRY_WRITE", name);
                SECTRACE_WriteLn(kTraceModule, 4, text);
                Notify(IKestrinServiceNotification::KIND_ERROR,
                       StringT<wchar_t>(static_cast<const char*>(text), 65001));
                ZELK_PolClose(&keyPolicy);
                return E_FAIL;
            }
        }
        ZELK_IPolicy* entryPolicy = nullptr;
        if (keyPolicy->OpenChild(name, 0, &entryPolicy) < 0 || entryPolicy == nullptr) {
            result |= E_FAIL;
            continue;
        }
        if (!StringT<char>(groupName).IsEmpty())
            entryPolicy->SetString("UserProfileGroup", groupName);
        result |= PushAllParams(entry, entryPolicy);
        ZELK_PolClose(&entryPolicy);
    }
    ZELK_PolClose(&keyPolicy);
    return result;
}

HRESULT CKestrinPolicy::PushAllParams(_xmlNode* entry, ZELK_IPolicy* entryPolicy)
{
    if (entry == nullptr || entryPolicy == nullptr)
        return E_INVALIDARG;
    xmlNode* values = FindFirstChildElement(entry, NODE_attributes);
    for (xmlNode* value = FindFirstChildElement(values, NODE_attribute); value != nullptr;
         value = FindNextElement(value, NODE_attribute)) {
        const char* parts[] = {NODE_param_attrib_name, NODE_param_attrib_type, NODE_param_attrib_value};
        StringT<char> read[3];
        for (size_t i = 0; i < 3; ++i) {
            read[i] = Attribute(value, parts[i]);
            if (read[i] == static_cast<const char*>(nullptr)) {
                SECTRACE_FormatLn(kTraceModule, 4, "parsing attribute %s failed %s", parts[i], NameOf(entry));
                Notify(IKestrinServiceNotification::KIND_ERROR, Text("ERR_PARSE_XML"));
                return E_FAIL;
            }
        }
        const StringT<char>& name = read[0];
        const StringT<char>& typeName = read[1];
        const StringT<char>& text = read[2];
        SECTRACE_FormatLn(kTraceModule, 4, "push attribute %s : %s : %s", static_cast<const char*>(name),
                          static_cast<const char*>(typeName), static_cast<const char*>(text));
        int written = 0;
        if (typeName.CompareNoCase("string") == 0) {
            written = entryPolicy->SetString(name, text);
            if (written < 0)
                SECTRACE_FormatLn(kTraceModule, 4, "Writing parameter (%s) into policy failed",
                                  static_cast<const char*>(name));
        } else {
            unsigned number = 0;
            if (typeName.CompareNoCase("integer") == 0)
                number = static_cast<unsigned>(std::atoi(text));
            else if (typeName.CompareNoCase("boolean") == 0)
                number = text.CompareNoCase("true") == 0 ? 1 : 0;
            written = entryPolicy->SetDWORD(name, number);
            if (written < 0)
                SECTRACE_FormatLn(kTraceModule, 4, "Writing parameter (%s) into policy failed",
                                  static_cast<const char*>(name));
        }
        if (written < 0) {
            StringT<char> message = TextWith("ERR_REGISTRY_WRITE", name);
            Notify(IKestrinServiceNotification::KIND_ERROR, StringT<wchar_t>(static_cast<const char*>(message), 65001));
            return E_FAIL;
        }
    }
    return S_OK;
}

}  // namespace kestrin::enrol
