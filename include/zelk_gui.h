// The desktop application's host object ("zelk.nogui" and "zelk.gui" of
// module "zelkgui"), as the service and the socket transport reach it.
#pragma once

#include <cstdint>

#include "zelk_guid.h"
#include "zelk_unknown.h"

ZELK_DEFINE_GUID(IID_IGUI, 0x6E2C1A94, 0x53B0, 0x4C8D, 0xA7, 0x1F, 0x92, 0x3E, 0x58, 0xC4, 0x0B, 0xD6);
ZELK_DEFINE_GUID(IID_ICredUI, 0x3B8E61D2, 0x0F4A, 0x4C79, 0x9A, 0x26, 0xD1, 0x58, 0x7C, 0x03, 0xE4, 0x9B);
ZELK_DEFINE_GUID(IID_ICredUIAsk, 0x3B8E61D3, 0x0F4A, 0x4C79, 0x9A, 0x26, 0xD1, 0x58, 0x7C, 0x03, 0xE4, 0x9B);
ZELK_DEFINE_GUID(IID_IGUIVerb, 0x651464CD, 0xA6B3, 0x41A5, 0x9F, 0x6D, 0x1A, 0xCF, 0x12, 0xCC, 0x14, 0xF8);

ZELK_DEFINE_GUID(IID_ICredEventCallback, 0xFB0317B3, 0x0E28, 0x4EC4, 0x92, 0xCF, 0x46, 0xD2, 0x75, 0xC5, 0x75, 0x38);

class IKestrinInputField;

// The cancel button of a credential dialog, as the dialog's owner hears it.
class ICredEventCallback : public IUnknown {
public:
    static const GUID& GetIID() { return IID_ICredEventCallback; }

    virtual HRESULT CancelEvent() = 0;
};

namespace ZELK::PSESVC {

class IPSESVC;
class IGUIModelCert;

// The dialog's answer when the user cancelled (besides 0x80000007).
constexpr HRESULT CREDUI_E_CANCELLED = static_cast<HRESULT>(0xA7F00019);

// One input field of a credential dialog.
class ICredUIAsk : public IUnknown {
public:
    enum ASK_PRESETS : int {
        ASK_PASSWORD = 1,
        ASK_NEW_PASSWORD = 2,
        ASK_CONFIRM = 3,
        ASK_PIN = 4,
        ASK_NEW_PIN = 5,
        ASK_PUK = 6,
        ASK_NEW_PUK = 7,
        ASK_USERNAME = 8,
        ASK_TOKENCODE = 9,
    };

    static const GUID& GetIID() { return IID_ICredUIAsk; }

    // Label and flags of a preset; presets outside 1 to 9 change nothing.
    virtual HRESULT LoadPreset(ASK_PRESETS preset, const char* name, signed char flag) = 0;
    virtual HRESULT LoadPresetW(ASK_PRESETS preset, const wchar_t* name, signed char flag) = 0;
    // Kept in both forms and passed on to an attached server field.
    virtual HRESULT SetValue(const char* value) = 0;
    virtual HRESULT SetValueW(const wchar_t* value) = 0;
    // The entered value as UTF-8, owned by the field.
    virtual const char* GetValue() = 0;
    virtual const wchar_t* GetValueW() = 0;
    virtual HRESULT SetDisabled(signed char disabled) = 0;
    virtual signed char GetDisabled() = 0;
    virtual HRESULT SetPassword(signed char password) = 0;
    virtual signed char GetPassword() = 0;
    // Set on a field that confirms the field before it.
    virtual HRESULT SetVerify(signed char verify) = 0;
    virtual signed char GetVerify() = 0;
    virtual HRESULT SetLabelId(const char* id) = 0;
    virtual HRESULT SetLabel(const char* label) = 0;
    virtual HRESULT SetLabelW(const wchar_t* label) = 0;
    virtual const char* GetLabel() = 0;
    virtual const wchar_t* GetLabelW() = 0;
    virtual HRESULT SetName(const char* name) = 0;
    virtual HRESULT SetNameW(const wchar_t* name) = 0;
    virtual const char* GetName() = 0;
    virtual const wchar_t* GetNameW() = 0;
    virtual HRESULT GetLabelIcon() = 0;
    // The enrolment server's field that receives the value; at most one.
    virtual HRESULT AddKVInputField(IKestrinInputField* field) = 0;
    // True when `other`'s server field confirms this field's server field.
    virtual bool isMyVerifyField(ICredUIAsk* other) = 0;
};

// A credential dialog: made per operation (module "zelkgui", class
// "zelk.dlgcred"), started, driven from the caller's thread and ended.
class ICredUI : public IUnknown {
public:
    enum GUIMODE : int { GUIMODE_DEFAULT = 0 };
    enum GUIITEM : int {
        GUIITEM_MESSAGE = 1,
        GUIITEM_LONGOPERATION = 3,
        GUIITEM_POPUP = 5,
        GUIITEM_POPUPERR = 7,
        GUIITEM_MESSAGEERR = 8,
        GUIITEM_OKTITLE = 9,
        GUIITEM_TITLE = 10,
        GUIITEM_ITEM = 16,
        GUIITEM_CERT = 20,
    };

    static const GUID& GetIID() { return IID_ICredUI; }

    virtual HRESULT GuiStart(GUIMODE mode, bool wait) = 0;
    virtual HRESULT GuiEnd() = 0;
    virtual HRESULT GuiUpdate(GUIITEM item, const wchar_t* text, unsigned long value) = 0;
    virtual HRESULT GuiGetAskObject(ICredUIAsk** out, ICredUIAsk::ASK_PRESETS preset, const char* name) = 0;
    virtual HRESULT GuiGetAskObjectW(ICredUIAsk** out, ICredUIAsk::ASK_PRESETS preset, const wchar_t* name) = 0;
    // Up to four fields, NULL for none: non-negative when confirmed,
    // 0x80000007 or 0xA7F00019 when cancelled.
    virtual HRESULT GuiAsk(const wchar_t* text, ICredUIAsk* first, ICredUIAsk* second, ICredUIAsk* third,
                           ICredUIAsk* fourth) = 0;
    virtual HRESULT GuiAsk(const wchar_t* text, unsigned long count, ICredUIAsk** fields, signed char flag) = 0;
    virtual HRESULT GuiCancelAsk() = 0;
    virtual HRESULT GuiSetPinCount(int count, bool flag) = 0;
    virtual HRESULT GuiSetLastError(int error) = 0;
    virtual bool GuiIsAborted() = 0;
    virtual bool GuiIsInteractive() = 0;
    virtual HRESULT SetEventCallBack(ICredEventCallback* callback) = 0;
    virtual HRESULT SetMessage(const wchar_t* text) = 0;
    virtual HRESULT GetMessage(wchar_t** out, signed char withDescription) = 0;
    virtual HRESULT SetOpDesc(const wchar_t* text) = 0;
    virtual HRESULT GetOpDesc(wchar_t** out) = 0;

    HRESULT GuiMessage(const wchar_t* text) { return GuiUpdate(GUIITEM_MESSAGE, text, 0); }
    HRESULT GuiLongOperation(const wchar_t* text, bool flag) { return GuiUpdate(GUIITEM_LONGOPERATION, text, flag); }
    HRESULT GuiPopup(const wchar_t* text, unsigned int value) { return GuiUpdate(GUIITEM_POPUP, text, value); }
    HRESULT GuiPopupErr(const wchar_t* text, unsigned int value) { return GuiUpdate(GUIITEM_POPUPERR, text, value); }
    HRESULT GuiMessageErr(const wchar_t* text) { return GuiUpdate(GUIITEM_MESSAGEERR, text, 0); }
    // A certificate model derives from IUnknown alone, so its pointer is its IUnknown.
    HRESULT GuiShowCert(IGUIModelCert* cert)
    {
        return GuiUpdate(GUIITEM_CERT, nullptr, reinterpret_cast<unsigned long>(cert));
    }
};

// A user action on a model.
class IGUIVerb : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IGUIVerb; }

    virtual const char* GetVerbName() = 0;
    virtual const char* GetVerbDisplayName() = 0;
    // 0x80000007 and 0xA7F00019: the user cancelled.
    virtual HRESULT DoVerb(ICredUI* dialog) = 0;
    virtual HRESULT SetState(uint32_t state) = 0;
    virtual uint32_t GetState() = 0;
};

class IGUI : public IUnknown {
public:
    static const GUID& GetIID() { return IID_IGUI; }

    // A new string (crypto library's allocator) with the decimal real user id.
    virtual HRESULT GetSessionId(char** id) = 0;
    virtual HRESULT Run(IPSESVC* service) = 0;
    virtual HRESULT DoVerb(IGUIVerb* verb) = 0;
};

}  // namespace ZELK::PSESVC
