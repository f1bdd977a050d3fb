// One input field that the user fills in for the server.
#pragma once

#include "zelk_json.h"
#include "zelk_kestrin.h"
#include "zelk_object.h"
#include "zelk_text.h"

namespace kestrin::enrol {

ZELK_DEFINE_GUID(IID_CKestrinInputField, 0xA7DF76B1, 0xD25B, 0x4F7A, 0x95, 0x38, 0xD6, 0x75, 0x63, 0xBE, 0x57, 0x83);

class CKestrinInputField : public IKestrinInputField, public CFactoryImpl<CKestrinInputField>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CKestrinInputField)
    ZELK_INTMAP_ENTRY(IKestrinInputField)
    ZELK_INTMAP_ENTRY_CLASS(IID_CKestrinInputField)
    ZELK_END_INTMAP()

    // A new empty field; the caller holds one reference.
    static HRESULT New(CKestrinInputField** field);
    // A field from a server description ("field", "type", "preset",
    // "userprompt", "confirmField").
    static HRESULT New(IJsonObject* description, CKestrinInputField** field);

    CKestrinInputField() = default;
    ~CKestrinInputField() override;

    const char* GetUserPrompt() override { return m_strUserPrompt; }
    const wchar_t* GetUserPromptW() override { return m_wstrUserPrompt; }
    const char* GetType() override { return m_strType; }
    const char* GetField() override { return m_strField; }
    const char* GetConfirmField() override { return m_strConfirmField; }
    const char* GetPreset() override { return m_strPreset; }
    const wchar_t* GetPresetW() override { return m_wstrPreset; }
    HRESULT SetValue(const wchar_t* value) override;

    virtual void SetUserPrompt(const char* text);
    virtual void SetType(const char* text) { m_strType = text; }
    virtual void SetPreset(const char* text);
    // The text without blanks at both ends and without one trailing ':'
    // (a lone ":" stays); library allocator.
    virtual void RemoveTrailingColon(const char* text, char** result);

    void SetField(const char* text) { m_strField = text; }
    void SetConfirmField(const char* text) { m_strConfirmField = text; }
    const char* GetValueURLEncoded() const { return m_strValueURLEncoded; }
    const wchar_t* GetValue() const { return m_wstrValue; }

private:
    StringT<char> m_strUserPrompt;
    StringT<wchar_t> m_wstrUserPrompt;
    StringT<char> m_strPreset;
    StringT<wchar_t> m_wstrPreset;
    StringT<char> m_strType;
    StringT<char> m_strField;
    StringT<char> m_strConfirmField;
    StringT<wchar_t> m_wstrValue;
    StringT<char> m_strValueURLEncoded;
};

}  // namespace kestrin::enrol
