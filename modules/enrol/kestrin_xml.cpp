#include "kestrin_xml.h"

#include <libxml/tree.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "secxml.h"
#include "zelk_kestrin.h"
#include "zelk_trace.h"

namespace kestrin::enrol {

namespace {

const char NODE_ZaravAduvIzer[] = "ZaravAduvIzer";
const char NODE_Control[] = "Control";
const char NODE_ClientID[] = "ClientID";
const char NODE_IPAddress[] = "IPAddress";
const char NODE_DNSName[] = "DNSName";
const char NODE_Version[] = "Version";
const char NODE_Content[] = "Content";
const char NODE_DataType[] = "DataType";
const char NODE_Data[] = "Data";
const char NODE_Username[] = "Username";
const char NODE_Passcode[] = "Passcode";
const char NODE_PKCS10[] = "PKCS10";
const char NODE_PIN[] = "PIN";
const char NODE_Tokencode[] = "Tokencode";
const char NODE_ActionRequest[] = "ActionRequest";
const char NODE_ServerBuild[] = "ServerBuild";
const char NODE_Message[] = "Message";
const char NODE_Status[] = "Status";
const char NODE_MessageCode[] = "MessageCode";
const char NODE_Disclaimer[] = "Disclaimer";
const char NODE_Certificate[] = "Certificate";
const char NODE_ServerPIN[] = "ServerPIN";
const char NODE_PINSelectMode[] = "PINSelectMode";
const char NODE_Timeout[] = "Timeout";
const char NODE_KeyLength[] = "KeyLength";
const char NODE_Alphanumeric[] = "Alphanumeric";
const char NODE_MinPINLength[] = "MinPINLength";
const char NODE_MaxPINLength[] = "MaxPINLength";

const char kVersion1[] = "Quillmoss 1.0.0";
const char kVersion2[] = "Quillmoss 2.0.0";
const char kTraceModule[] = "kestrin";

const SECXML_LIBXML2_TABLE* Xml()
{
    return SECXML_Table();
}

const xmlChar* X(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

bool IsElementNamed(const xmlNode* node, const char* name)
{
    return node != nullptr && node->type == XML_ELEMENT_NODE && node->name != nullptr
           && strcasecmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

// The text content of a node, from the crypto library's allocator.
StringT<char> ContentOf(_xmlNode* node)
{
    StringT<char> text;
    if (node != nullptr)
        text.Attach(reinterpret_cast<char*>(Xml()->xmlNodeGetContent(node)));
    return text;
}

void SetContent(_xmlNode* node, const char* text)
{
    // xmlNodeSetContent reads entity references: "&" must reach it escaped.
    StringT<char> plain(text != nullptr ? text : "");
    plain.Replace("&", "&amp;");
    Xml()->xmlNodeSetContent(node, X(plain));
}

void SetChildContent(_xmlNode* node, const char* name, const char* text)
{
    if (_xmlNode* child = xmlOpenChild(node, name))
        SetContent(child, text);
}

bool IsAscii(const char* text)
{
    for (; text != nullptr && *text != '\0'; ++text)
        if (static_cast<unsigned char>(*text) >= 0x80)
            return false;
    return true;
}

// Whether the bytes are well-formed UTF-8 (no overlong forms or surrogates).
bool IsUtf8(const unsigned char* s)
{
    while (*s != 0) {
        unsigned char c = *s;
        size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
        if (n == 4 || (n == 1 && c < 0xC2) || (n == 3 && c > 0xF4))
            return false;
        for (size_t i = 1; i <= n; ++i)
            if ((s[i] & 0xC0) != 0x80)
                return false;
        if ((n == 2 && c == 0xE0 && s[1] < 0xA0) || (n == 2 && c == 0xED && s[1] >= 0xA0)
            || (n == 3 && c == 0xF0 && s[1] < 0x90) || (n == 3 && c == 0xF4 && s[1] >= 0x90))
            return false;
        s += n + 1;
    }
    return true;
}

int LookUp(const char* text, const CKestrinXML::StoE* table)
{
    const CKestrinXML::StoE* row = table;
    for (; row->name != nullptr; ++row)
        if (text != nullptr && std::strcmp(row->name, text) == 0)
            return row->value;
    return row->value;
}

}  // namespace

const CKestrinXML::StoE CKestrinXML::s_actions[] = {
    {"CONFIG_ACTION", 1},
    {"AUTH_RESULT_ACTION", 2},
    {"SEND_NEXT_CODE_ACTION", 3},
    {"NEW_PIN_REQUIRED_ACTION", 4},
    {"NEW_PIN_REPLY_ACTION", 5},
    {"ERROR_ACTION", 6},
    {nullptr, 0},
};

const CKestrinXML::StoE CKestrinXML::s_pinSelectModes[] = {
    {"CANNOT_CHOOSE_PIN", S_QM_PIN_CANNOT_CHOOSE},
    {"MUST_CHOOSE_PIN", S_QM_PIN_MUST_CHOOSE},
    {"USER_SELECTABLE", S_QM_PIN_USER_SELECTABLE},
    {nullptr, 0},
};

const CKestrinXML::StoE CKestrinXML::s_status[] = {
    {"ACM_OK", 0},
    {"INTERNAL_SERVER_ERROR", E_QM_INTERNAL_SERVER_ERROR},
    {"INVALID_MESSAGE_FORMAT", E_QM_INVALID_MESSAGE_FORMAT},
    {"ACM_ACCESS_DENIED", E_ACCESSDENIED},
    {"ACE_UNDEFINED_USERNAME", E_QM_UNDEFINED_USERNAME},
    {"ACM_NEW_PIN_ACCEPTED", S_QM_NEW_PIN_ACCEPTED},
    {"ACM_NEW_PIN_REJECTED", E_QM_NEW_PIN_REJECTED},
    {nullptr, 0},
};

_xmlNode* FindFirstElement(_xmlNode* node, const char* name)
{
    for (xmlNode* n = node; n != nullptr; n = n->next)
        if (IsElementNamed(n, name))
            return n;
    return nullptr;
}

_xmlNode* FindFirstChildElement(_xmlNode* node, const char* name)
{
    return node != nullptr ? FindFirstElement(node->children, name) : nullptr;
}

_xmlNode* FindNextElement(_xmlNode* node, const char* name)
{
    return node != nullptr ? FindFirstElement(node->next, name) : nullptr;
}

_xmlNode* xmlFindChild(_xmlNode* node, const char* name)
{
    return FindFirstChildElement(node, name);
}

_xmlNode* xmlOpenChild(_xmlNode* node, const char* name)
{
    if (node == nullptr)
        return nullptr;
    if (_xmlNode* child = xmlFindChild(node, name))
        return child;
    return Xml()->xmlNewChild(node, nullptr, X(name), nullptr);
}

HRESULT CKestrinXML::Compose_Init(const char* clientId, const char* ipAddress, const char* dnsName, char** out)
{
    if (!m_request) {
        m_request = Xml()->xmlNewDoc(X("1.0"));
        if (m_request) {
            m_requestRoot = Xml()->xmlNewDocNode(m_request, nullptr, X(NODE_ZaravAduvIzer), nullptr);
            Xml()->xmlDocSetRootElement(m_request, m_requestRoot);
        }
    }
    m_requestControl = xmlOpenChild(m_requestRoot, NODE_Control);
    SetChildContent(m_requestControl, NODE_ClientID, clientId != nullptr && *clientId != '\0' ? clientId : "unknown");
    SetChildContent(m_requestControl, NODE_IPAddress, ipAddress);
    SetChildContent(m_requestControl, NODE_DNSName, dnsName);
    SetChildContent(m_requestControl, NODE_Version, m_serverVersion >= 2 ? kVersion2 : kVersion1);
    return Compose("INIT_ACTION", out);
}

HRESULT CKestrinXML::ComposeData(const char* const* names, const char* const* values, size_t count, int cdataIndex,
                                 const char* action, char** out)
{
    _xmlNode* content = xmlOpenChild(m_requestRoot, NODE_Content);
    // The element goes whatever the result: each data message brings its own.
    AuxPtr<_xmlNode, _xmlNode> remove(content);
    if (content != nullptr) {
        Xml()->xmlNewTextChild(content, nullptr, X(NODE_DataType), X("application/xml"));
        _xmlNode* data = xmlOpenChild(content, NODE_Data);
        for (size_t i = 0; data != nullptr && i < count; ++i) {
            if (static_cast<int>(i) == cdataIndex) {
                _xmlNode* holder = Xml()->xmlNewChild(data, nullptr, X(names[i]), nullptr);
                const char* v = values[i] != nullptr ? values[i] : "";
                Xml()->xmlAddChild(holder, Xml()->xmlNewCDataBlock(m_request, X(v), static_cast<int>(std::strlen(v))));
            } else {
                Xml()->xmlNewTextChild(data, nullptr, X(names[i]), X(values[i] != nullptr ? values[i] : ""));
            }
        }
    }
    return Compose(action, out);
}

HRESULT CKestrinXML::Compose_Auth(const wchar_t* user, const wchar_t* password, const char* pkcs10, char** out)
{
    if (user == nullptr || password == nullptr)
        return E_INVALIDARG;
    StringT<char> u(user, 65001);
    StringT<char> p(password, 65001);
    const char* names[] = {NODE_Username, NODE_Passcode, NODE_PKCS10};
    const char* values[] = {u, p, pkcs10};
    // Version 1 servers take the password in a CDATA section. A section is
    // written as it stands, so a password beyond ASCII goes as text, whose
    // characters are written as references that any code page reads.
    int cdata = m_serverVersion == 1 && IsAscii(p) ? 1 : -1;
    HRESULT hr = ComposeData(names, values, 3, cdata, "AUTH_ACTION", out);
    p.Burn();
    return hr;
}

HRESULT CKestrinXML::Compose_NewPin(const wchar_t* pin, char** out)
{
    StringT<char> p(pin, 65001);
    const char* names[] = {NODE_PIN};
    const char* values[] = {p};
    HRESULT hr = ComposeData(names, values, 1, -1, "NEW_PIN_ACTION", out);
    p.Burn();
    return hr;
}

HRESULT CKestrinXML::Compose_NextCode(const wchar_t* code, char** out)
{
    StringT<char> c(code, 65001);
    const char* names[] = {NODE_Tokencode};
    const char* values[] = {c};
    return ComposeData(names, values, 1, -1, "NEXT_CODE_ACTION", out);
}

HRESULT CKestrinXML::Compose_Exit(signed char cancel, char** out)
{
    return Compose(cancel != 0 ? "CANCEL_ACTION" : "EXIT_ACTION", out);
}

void CKestrinXML::SetUtf8Encoding()
{
    auto* doc = static_cast<_xmlDoc*>(m_request);
    if (doc != nullptr && doc->encoding == nullptr)
        doc->encoding = reinterpret_cast<const xmlChar*>(strdup("utf-8"));
}

HRESULT CKestrinXML::Compose(const char* action, char** out)
{
    // A server of version 2 or later reads UTF-8, also when its reply came
    // before the first request.
    if (m_serverVersion >= 2)
        SetUtf8Encoding();
    SetChildContent(xmlOpenChild(m_requestRoot, NODE_Control), NODE_ActionRequest, action);
    unsigned char* text = nullptr;
    int size = 0;
    if (m_request)
        Xml()->xmlDocDumpMemory(m_request, &text, &size);
    if (text == nullptr || size <= 0) {
        sec_free(text);
        return -1;
    }
    text[size - 1] = '\0';
    if (m_serverVersion < 2) {
        char* start = std::strstr(reinterpret_cast<char*>(text), "<ZaravAduvIzer>");
        if (start == nullptr) {
            sec_memzero(text, static_cast<size_t>(size));
            sec_free(text);
            return -1;
        }
        std::memmove(text, start, std::strlen(start) + 1);
    }
    if (out != nullptr)
        *out = reinterpret_cast<char*>(text);
    else
        sec_free(text);
    return S_OK;
}

HRESULT CKestrinXML::ParseXML(const char* text)
{
    m_replyAction.Free();
    m_replyControl = nullptr;
    m_replyData = nullptr;
    if (text == nullptr)
        text = "";
    if (std::strstr(text, "<!") != nullptr) {
        SECTRACE_WriteLn(kTraceModule, 1,
                         "The received message contains a not supported character sequence and is rejected!");
        return E_QM_PARSER_ERROR;
    }
    const size_t length = std::strlen(text);
    if (length > kMaxReplyLength) {
        SECTRACE_WriteLn(kTraceModule, 1, "The received message to long and is rejected!");
        return E_QM_PARSER_ERROR;
    }
    // Old servers write windows-1252 without saying so; the tree is UTF-8.
    StringT<char> converted;
    if (std::strncmp(text, "<?xml", 5) != 0 && !IsUtf8(reinterpret_cast<const unsigned char*>(text))) {
        StringT<wchar_t> wide(text, 1252);
        converted = StringT<char>(static_cast<const wchar_t*>(wide), 65001);
        if (converted.IsEmpty())
            return E_QM_PARSER_ERROR;
        text = converted;
    }
    m_reply = Xml()->xmlParseDoc(X(text));
    if (!m_reply)
        return E_QM_PARSER_ERROR;
    _xmlNode* root = FindFirstElement(static_cast<_xmlDoc*>(m_reply)->children, NODE_ZaravAduvIzer);
    m_replyControl = xmlFindChild(root, NODE_Control);
    if (m_replyControl != nullptr) {
        m_replyAction = ContentOf(xmlFindChild(m_replyControl, NODE_ActionRequest));
        LearnServerVersion();
    }
    m_replyData = xmlFindChild(xmlFindChild(root, NODE_Content), NODE_Data);
    return S_OK;
}

void CKestrinXML::LearnServerVersion()
{
    m_serverVersion = 1;
    StringT<char> version = ContentOf(xmlFindChild(m_replyControl, NODE_Version));
    if (!version.IsEmpty() && std::strncmp(version, "Quillmoss ", 10) == 0)
        m_serverVersion =
            static_cast<uint64_t>(static_cast<int64_t>(std::atoi(static_cast<const char*>(version) + 10)));
    if (m_serverVersion <= 1) {
        m_codePage = 1252;
        StringT<char> build = ContentOf(xmlFindChild(m_replyControl, NODE_ServerBuild));
        const char* b = build;
        if (b != nullptr
            && (std::strncmp(b, "$Name: QMS", 10) == 0 || std::strncmp(b, "$Name: KVS-1", 12) == 0
                || std::strncmp(b, "$Name: KVS-3-2-0-RC1", 20) == 0
                || std::strncmp(b, "$Name: KVS-3-2-0-RC2", 20) == 0))
            m_serverVersion = 0;
        return;
    }
    m_serverVersion = 2;
    m_codePage = 65001;
    SetUtf8Encoding();
    if (m_requestControl != nullptr)
        SetChildContent(m_requestControl, NODE_Version, kVersion2);
}

int CKestrinXML::GetActionRequest()
{
    return GetServerEnum(m_replyAction, s_actions, 1);
}

int CKestrinXML::GetPINSelectMode()
{
    return GetServerEnum(NODE_PINSelectMode, s_pinSelectModes, 0);
}

int CKestrinXML::GetStatus()
{
    return GetServerEnum(NODE_Status, s_status, 0);
}

HRESULT CKestrinXML::GetServerString(const char* name, signed char canonical, char** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    if (m_replyData == nullptr)
        return S_OK;
    _xmlNode* node = xmlFindChild(m_replyData, name);
    if (node == nullptr)
        return S_OK;
    StringT<char> text = ContentOf(node);
    if (canonical != 0 && !text.IsEmpty()) {
        String_Chop(text.GetBuffer(0));
        String_MakeCannon(text, out);
        return S_OK;
    }
    *out = text.Detach();
    return S_OK;
}

HRESULT CKestrinXML::GetServerString(const char* name, signed char canonical, wchar_t** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    StringT<char> narrow;
    GetServerString(name, canonical, &narrow);
    if (narrow)
        String_Convert(static_cast<const char*>(narrow), out, 65001);
    return S_OK;
}

int CKestrinXML::GetServerEnum(const char* nameOrValue, const StoE* table, signed char isValue)
{
    if (isValue != 0)
        return LookUp(nameOrValue, table);
    StringT<char> text;
    GetServerString(nameOrValue, 0, &text);
    return LookUp(text, table);
}

int CKestrinXML::GetServerInt(const char* name)
{
    StringT<char> text;
    GetServerString(name, 0, &text);
    return text.IsEmpty() ? -1 : std::atoi(text);
}

signed char CKestrinXML::GetServerBool(const char* name)
{
    StringT<char> text;
    GetServerString(name, 0, &text);
    if (text.IsEmpty())
        return -1;
    if (text.CompareNoCase("true") == 0)
        return 1;
    if (text.CompareNoCase("false") == 0)
        return 0;
    return static_cast<signed char>(std::atoi(text));
}

HRESULT CKestrinXML::GetMessage(wchar_t** out)
{
    HRESULT hr = GetServerString(NODE_Message, 1, out);
    if ((*out != nullptr && **out != L'\0') || GetStatus() == 0)
        return hr;
    sec_free(*out);
    *out = nullptr;
    StringT<wchar_t> status, code;
    GetServerString(NODE_Status, 1, &status);
    GetServerString(NODE_MessageCode, 1, &code);
    if (code.IsEmpty()) {
        *out = status.Detach();
    } else {
        StringT<wchar_t> both;
        both.Format(L"%ls <%ls>", static_cast<const wchar_t*>(status), static_cast<const wchar_t*>(code));
        *out = both.Detach();
    }
    return hr;
}

HRESULT CKestrinXML::GetDisclaimer(wchar_t** out)
{
    return GetServerString(NODE_Disclaimer, 1, out);
}

HRESULT CKestrinXML::GetCertificate(char** out)
{
    return GetServerString(NODE_Certificate, 0, out);
}

HRESULT CKestrinXML::GetServerPIN(wchar_t** out)
{
    return GetServerString(NODE_ServerPIN, 0, out);
}

int CKestrinXML::GetTimeout()
{
    return GetServerInt(NODE_Timeout);
}

int CKestrinXML::GetKeylength()
{
    return GetServerInt(NODE_KeyLength);
}

int CKestrinXML::GetAlphanumeric()
{
    return GetServerBool(NODE_Alphanumeric);
}

int CKestrinXML::GetMinPINLength()
{
    return GetServerInt(NODE_MinPINLength);
}

int CKestrinXML::GetMaxPINLength()
{
    return GetServerInt(NODE_MaxPINLength);
}

}  // namespace kestrin::enrol
