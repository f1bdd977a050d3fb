// One input field of a credential prompt: label, name and value kept as
// UTF-8 and as wide text, three flags, and the enrolment server's field that
// receives the value.
#pragma once

#include "zelk_gui.h"
#include "zelk_kestrin.h"
#include "zelk_object.h"

namespace kestrin::app {

class CCredUIAsk : public ZELK::PSESVC::ICredUIAsk, public CFactoryImpl<CCredUIAsk>, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CCredUIAsk)
    ZELK_INTMAP_ENTRY_IID(IID_ICredUIAsk, ZELK::PSESVC::ICredUIAsk)
    ZELK_END_INTMAP()

    CCredUIAsk() = default;
    // Wipes the value in both forms.
    ~CCredUIAsk() override;

    HRESULT LoadPreset(ASK_PRESETS preset, const char* name, signed char flag) override;
    HRESULT LoadPresetW(ASK_PRESETS preset, const wchar_t* name, signed char flag) override;
    HRESULT SetValue(const char* value) override;
    HRESULT SetValueW(const wchar_t* value) override;
    const char* GetValue() override { return m_value.narrow; }
    const wchar_t* GetValueW() override { return m_value.wide; }
    HRESULT SetDisabled(signed char disabled) override;
    signed char GetDisabled() override { return m_disabled; }
    HRESULT SetPassword(signed char password) override;
    signed char GetPassword() override { return m_password; }
    HRESULT SetVerify(signed char verify) override;
    signed char GetVerify() override { return m_verify; }
    HRESULT SetLabelId(const char*) override { return S_OK; }
    HRESULT SetLabel(const char* label) override;
    HRESULT SetLabelW(const wchar_t* label) override;
    const char* GetLabel() override { return m_label.narrow; }
    const wchar_t* GetLabelW() override { return m_label.wide; }
    HRESULT SetName(const char* name) override;
    HRESULT SetNameW(const wchar_t* name) override;
    const char* GetName() override { return m_name.narrow; }
    const wchar_t* GetNameW() override { return m_name.wide; }
    HRESULT GetLabelIcon() override { return 0; }
    HRESULT AddKVInputField(IKestrinInputField* field) override;
    bool isMyVerifyField(ZELK::PSESVC::ICredUIAsk* other) override;

    IKestrinInputField* ServerField() const { return m_field; }

private:
    // A text in both forms, from the crypto library's allocator.
    struct Text {
        char* narrow = nullptr;
        wchar_t* wide = nullptr;
        // Replaces the text; with `wipe` the old forms are burnt first.
        HRESULT Set(const char* text, bool wipe);
        HRESULT Set(const wchar_t* text, bool wipe);
        void Clear(bool wipe);

    private:
        template <class C>
        HRESULT SetFrom(const C* text, const C* current, bool wipe);
    };

    HRESULT ValueSet();

    Text m_value;
    Text m_label;
    Text m_name;
    signed char m_disabled = 0;
    signed char m_password = 0;
    signed char m_verify = 0;
    IKestrinInputField* m_field = nullptr;
};

}  // namespace kestrin::app
