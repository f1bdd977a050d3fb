// The protocol 1.0 codec: composes the client's XML requests and reads the
// server's replies ("ZaravAduvIzer" documents) through libxml2 of module
// "secxml", learning from each reply which generation of server it talks to.
//
// The documents hold UTF-8 text whatever the server: requests to servers
// before version 2 are written without a declaration and with every
// non-ASCII character as a character reference, so any code page reads them;
// a reply without declaration that is not UTF-8 is read as windows-1252.
#pragma once

#include <cstdint>

#include "qevcrypto.h"
#include "zelk_holders.h"
#include "zelk_text.h"

struct _xmlDoc;
struct _xmlNode;

namespace kestrin::enrol {

// Largest reply the codec parses.
constexpr size_t kMaxReplyLength = 0x100000;

// libxml2 helpers over the bound table; names compared without regard to case.
_xmlNode* xmlFindChild(_xmlNode* node, const char* name);
// The first child element of that name, else a new empty one appended.
_xmlNode* xmlOpenChild(_xmlNode* node, const char* name);
// The first element from `node` on (itself and its following siblings) of that name.
_xmlNode* FindFirstElement(_xmlNode* node, const char* name);
// The first child element of `node` of that name.
_xmlNode* FindFirstChildElement(_xmlNode* node, const char* name);
// The next sibling element of `node` of that name.
_xmlNode* FindNextElement(_xmlNode* node, const char* name);

class CKestrinXML {
public:
    // A table row of names and values; a row with a null name ends the table.
    struct StoE {
        const char* name;
        int value;
    };
    static const StoE s_actions[];
    static const StoE s_pinSelectModes[];
    static const StoE s_status[];

    CKestrinXML() = default;
    virtual ~CKestrinXML() = default;
    CKestrinXML(const CKestrinXML&) = delete;
    CKestrinXML& operator=(const CKestrinXML&) = delete;

    virtual HRESULT Compose_Init(const char* clientId, const char* ipAddress, const char* dnsName, char** out);
    virtual HRESULT Compose_Auth(const wchar_t* user, const wchar_t* password, const char* pkcs10, char** out);
    virtual HRESULT Compose_Exit(signed char cancel, char** out);
    virtual HRESULT Compose_NewPin(const wchar_t* pin, char** out);
    virtual HRESULT Compose_NextCode(const wchar_t* code, char** out);
    virtual HRESULT Compose(const char* action, char** out);
    virtual HRESULT ParseXML(const char* text);
    virtual int GetActionRequest();
    virtual int GetPINSelectMode();
    virtual HRESULT GetMessage(wchar_t** out);
    virtual HRESULT GetDisclaimer(wchar_t** out);
    virtual HRESULT GetCertificate(char** out);
    virtual HRESULT GetServerPIN(wchar_t** out);
    virtual int GetStatus();
    virtual int GetTimeout();
    virtual int GetKeylength();
    virtual int GetAlphanumeric();
    virtual int GetMinPINLength();
    virtual int GetMaxPINLength();
    virtual HRESULT GetServerString(const char* name, signed char canonical, wchar_t** out);
    virtual HRESULT GetServerString(const char* name, signed char canonical, char** out);
    virtual int GetServerEnum(const char* nameOrValue, const StoE* table, signed char isValue);
    virtual int GetServerInt(const char* name);
    virtual signed char GetServerBool(const char* name);

    uint64_t ServerVersion() const { return m_serverVersion; }
    uint32_t CodePage() const { return m_codePage; }

private:
    // Builds a data message: "Content" with "DataType" and "Data" holding
    // the given children, composed with `action`, and removed again.
    HRESULT ComposeData(const char* const* names, const char* const* values, size_t count, int cdataIndex,
                        const char* action, char** out);
    void LearnServerVersion();
    // libxml2 writes the declaration with this encoding and the text as UTF-8.
    void SetUtf8Encoding();

    AuxPtr<_xmlDoc, _xmlDoc> m_request;
    _xmlNode* m_requestRoot = nullptr;
    _xmlNode* m_requestControl = nullptr;
    AuxPtr<_xmlDoc, _xmlDoc> m_reply;
    _xmlNode* m_replyControl = nullptr;
    _xmlNode* m_replyData = nullptr;
    StringT<char> m_replyAction;
    uint64_t m_serverVersion = 0;
    uint32_t m_codePage = 65001;
};

}  // namespace kestrin::enrol
