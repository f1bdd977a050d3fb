#include "fake_dialog.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>

#include "qev_results.h"
#include "zelk_class.h"
#include "zelk_kestrin.h"
#include "zelk_module.h"
#include "zelk_object.h"
#include "zelk_utf.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::ICredUIAsk;

std::mutex s_mutex;
std::condition_variable s_changed;
std::vector<std::string> s_log;
std::string s_value;
HRESULT s_answer = S_OK;
bool s_headless = false;
bool s_aborted = false;
bool s_interactive = false;
std::map<int, std::string> s_presetValues;
std::deque<HRESULT> s_script;
ICredEventCallback* s_callback = nullptr;
bool s_holdAsk = false;
int s_asking = 0;
int s_made = 0;
int s_open = 0;

void Add(const std::string& entry)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_log.push_back(entry);
}

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (const wchar_t* p = text; p && *p; ++p)
        out += static_cast<char>(*p < 128 ? *p : '?');
    return out;
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

class Field : public ICredUIAsk, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Field)
    ZELK_INTMAP_ENTRY_IID(IID_ICredUIAsk, ICredUIAsk)
    ZELK_END_INTMAP()

    ~Field() override
    {
        if (m_server != nullptr)
            m_server->Release();
    }

    HRESULT LoadPreset(ASK_PRESETS, const char*, signed char) override { return S_OK; }
    HRESULT LoadPresetW(ASK_PRESETS, const wchar_t*, signed char) override { return S_OK; }
    HRESULT SetValue(const char*) override { return E_NOTIMPL; }
    HRESULT SetValueW(const wchar_t* value) override
    {
        m_value = Narrow(value);
        m_wide = Widen(m_value);
        Add("value " + std::to_string(m_preset) + " " + m_value);
        return S_OK;
    }
    const char* GetValue() override { return m_value.c_str(); }
    const wchar_t* GetValueW() override
    {
        m_wide = Widen(m_value);
        return m_wide.c_str();
    }
    HRESULT SetDisabled(signed char disabled) override
    {
        m_disabled = disabled != 0;
        Add("disabled " + std::to_string(m_preset));
        return S_OK;
    }
    signed char GetDisabled() override { return m_disabled ? 1 : 0; }
    HRESULT SetPassword(signed char) override { return S_OK; }
    signed char GetPassword() override { return 1; }
    HRESULT SetVerify(signed char) override { return S_OK; }
    signed char GetVerify() override { return 0; }
    HRESULT SetLabelId(const char*) override { return S_OK; }
    HRESULT SetLabel(const char*) override { return S_OK; }
    HRESULT SetLabelW(const wchar_t*) override { return S_OK; }
    const char* GetLabel() override { return nullptr; }
    const wchar_t* GetLabelW() override { return nullptr; }
    HRESULT SetName(const char*) override { return S_OK; }
    HRESULT SetNameW(const wchar_t*) override { return S_OK; }
    const char* GetName() override { return nullptr; }
    const wchar_t* GetNameW() override { return nullptr; }
    HRESULT GetLabelIcon() override { return 0; }
    HRESULT AddKVInputField(IKestrinInputField* field) override
    {
        if (field == nullptr || m_server != nullptr)
            return E_FAIL;
        field->AddRef();
        m_server = field;
        return S_OK;
    }
    bool isMyVerifyField(ICredUIAsk*) override { return false; }

    // A confirmed question: a read-only field keeps its value; the value goes
    // on to the bound server field.
    void Confirm(const std::string& value)
    {
        if (!m_disabled)
            m_value = value;
        if (m_server != nullptr)
            m_server->SetValue(GetValueW());
    }

    std::string m_value;
    std::wstring m_wide;
    int m_preset = 0;
    bool m_disabled = false;
    IKestrinInputField* m_server = nullptr;
};

class Dialog : public ICredUI, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Dialog)
    ZELK_INTMAP_ENTRY_IID(IID_ICredUI, ICredUI)
    ZELK_END_INTMAP()

    HRESULT GuiStart(GUIMODE, bool wait) override
    {
        std::unique_lock<std::mutex> lock(s_mutex);
        // The worker may end the dialog before it is shown: then it never shows,
        // and the log keeps "end" last.
        if (!m_ended)
            s_log.push_back("start");
        ++s_open;
        if (wait)
            s_changed.wait(lock, [this] { return m_ended; });
        return S_OK;
    }
    HRESULT GuiEnd() override
    {
        Add("end");
        std::lock_guard<std::mutex> lock(s_mutex);
        m_ended = true;
        --s_open;
        s_changed.notify_all();
        return S_OK;
    }
    HRESULT GuiUpdate(GUIITEM item, const wchar_t* text, unsigned long) override
    {
        Add("update " + std::to_string(item) + " " + Narrow(text));
        return S_OK;
    }
    HRESULT GuiGetAskObject(ICredUIAsk** out, ICredUIAsk::ASK_PRESETS preset, const char* label) override
    {
        return NewField(out, preset, label ? label : "");
    }
    HRESULT GuiGetAskObjectW(ICredUIAsk** out, ICredUIAsk::ASK_PRESETS preset, const wchar_t* label) override
    {
        return NewField(out, preset, Narrow(label));
    }
    HRESULT GuiAsk(const wchar_t* text, ICredUIAsk* first, ICredUIAsk* second, ICredUIAsk* third,
                   ICredUIAsk* fourth) override
    {
        ICredUIAsk* fields[] = {first, second, third, fourth};
        return Ask(text, 4, fields);
    }
    HRESULT GuiAsk(const wchar_t* text, unsigned long count, ICredUIAsk** fields, signed char) override
    {
        return Ask(text, count, fields);
    }
    HRESULT GuiCancelAsk() override { return S_OK; }
    HRESULT GuiSetPinCount(int count, bool unblock) override
    {
        Add("count " + std::to_string(count) + (unblock ? " unblock" : ""));
        return S_OK;
    }
    HRESULT GuiSetLastError(int) override { return S_OK; }
    bool GuiIsAborted() override
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_aborted;
    }
    bool GuiIsInteractive() override
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_interactive;
    }
    HRESULT SetEventCallBack(ICredEventCallback* callback) override
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_callback = callback;
        return S_OK;
    }
    HRESULT SetMessage(const wchar_t*) override { return S_OK; }
    HRESULT GetMessage(wchar_t** out, signed char) override
    {
        *out = nullptr;
        return S_OK;
    }
    HRESULT SetOpDesc(const wchar_t*) override { return S_OK; }
    HRESULT GetOpDesc(wchar_t** out) override
    {
        *out = nullptr;
        return S_OK;
    }

private:
    HRESULT Ask(const wchar_t* text, unsigned long count, ICredUIAsk** fields)
    {
        Add("ask " + Narrow(text));
        HRESULT answer = S_OK;
        std::map<int, std::string> presetValues;
        std::string value;
        {
            std::unique_lock<std::mutex> lock(s_mutex);
            ++s_asking;
            s_changed.notify_all();
            s_changed.wait(lock, [] { return !s_holdAsk; });
            --s_asking;
            answer = s_answer;
            if (!s_script.empty()) {
                answer = s_script.front();
                s_script.pop_front();
            }
            presetValues = s_presetValues;
            value = s_value;
        }
        if (FAILED(answer))
            return answer;
        for (unsigned long i = 0; i < count; ++i) {
            if (fields[i] == nullptr)
                continue;
            auto* own = static_cast<Field*>(fields[i]);
            auto preset = presetValues.find(own->m_preset);
            own->Confirm(preset != presetValues.end() ? preset->second : value);
        }
        return S_OK;
    }

    HRESULT NewField(ICredUIAsk** out, ICredUIAsk::ASK_PRESETS preset, const std::string& label)
    {
        Add("field " + std::to_string(preset) + " " + label);
        CComObject<Field>* field = nullptr;
        CComObject<Field>::CreateInstance(&field);
        field->m_preset = preset;
        field->AddRef();
        *out = field;
        return S_OK;
    }

    bool m_ended = false;
};

HRESULT CreateDialog(const GUID& iid, void** out)
{
    *out = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (s_headless)
            return ZELK_RC(0x80040154);
        ++s_made;
    }
    Add("create");
    CComObject<Dialog>* dialog = nullptr;
    HRESULT hr = CComObject<Dialog>::CreateInstance(&dialog);
    if (FAILED(hr))
        return hr;
    dialog->AddRef();
    hr = dialog->QueryInterface(iid, out);
    dialog->Release();
    return hr;
}

CZELK_CLASS s_dialog("zelkgui", "zelk.dlgcred", &CreateDialog);

// The desktop application's verb runner: every verb runs with a dialog of its own.
class Gui : public ZELK::PSESVC::IGUI, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Gui)
    ZELK_INTMAP_ENTRY_IID(IID_IGUI, ZELK::PSESVC::IGUI)
    ZELK_END_INTMAP()

    HRESULT GetSessionId(char** id) override
    {
        *id = nullptr;
        return E_NOTIMPL;
    }
    HRESULT Run(ZELK::PSESVC::IPSESVC*) override { return E_NOTIMPL; }
    HRESULT DoVerb(ZELK::PSESVC::IGUIVerb* verb) override
    {
        if (verb == nullptr)
            return E_INVALIDARG;
        Add(std::string("verb ") + verb->GetVerbName());
        ICredUI* dialog = nullptr;
        HRESULT hr = CreateDialog(IID_ICredUI, reinterpret_cast<void**>(&dialog));
        if (FAILED(hr))
            return hr;
        hr = verb->DoVerb(dialog);
        dialog->Release();
        return hr;
    }
};

HRESULT CreateGui(const GUID& iid, void** out)
{
    *out = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (s_headless)
            return ZELK_RC(0x80040154);
    }
    CComObject<Gui>* gui = nullptr;
    HRESULT hr = CComObject<Gui>::CreateInstance(&gui);
    if (FAILED(hr))
        return hr;
    gui->AddRef();
    hr = gui->QueryInterface(iid, out);
    gui->Release();
    return hr;
}

CZELK_CLASS s_gui("zelkgui", "zelk.gui", &CreateGui);

API_COMMON* s_libraryPse = nullptr;
CLoadAPI s_loadLibraryPse(nullptr, "SEC_PSE_1", &s_libraryPse);

}  // namespace

void Dialogs::Confirm(const std::string& value)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_value = value;
    s_answer = S_OK;
}

void Dialogs::Answer(HRESULT code)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_answer = code;
}

void Dialogs::PresetValue(int preset, const std::string& value)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_presetValues[preset] = value;
}

void Dialogs::Script(const std::vector<HRESULT>& answers)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_script.assign(answers.begin(), answers.end());
}

void Dialogs::Aborted(bool on)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_aborted = on;
}

void Dialogs::Interactive(bool on)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_interactive = on;
}

void Dialogs::Headless(bool on)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_headless = on;
}

void Dialogs::Reset()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_log.clear();
    s_value.clear();
    s_answer = S_OK;
    s_headless = false;
    s_aborted = false;
    s_interactive = false;
    s_presetValues.clear();
    s_script.clear();
    s_made = 0;
    s_callback = nullptr;
    s_holdAsk = false;
    s_changed.notify_all();
}

void Dialogs::HoldQuestions(bool on)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_holdAsk = on;
    s_changed.notify_all();
}

bool Dialogs::WaitForQuestion()
{
    std::unique_lock<std::mutex> lock(s_mutex);
    return s_changed.wait_for(lock, std::chrono::seconds(30), [] { return s_asking > 0; });
}

HRESULT Dialogs::PressCancel()
{
    ICredEventCallback* callback = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        callback = s_callback;
    }
    return callback != nullptr ? callback->CancelEvent() : E_FAIL;
}

std::vector<std::string> Dialogs::Log()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_log;
}

int Dialogs::Made()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_made;
}

int Dialogs::Open()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_open;
}

LibraryASC::LibraryASC() = default;

HRESULT LibraryASC::QueryInterface(const GUID& iid, void** out)
{
    *out = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_ASC))
        return E_NOINTERFACE;
    AddRef();
    *out = this;
    return S_OK;
}

long LibraryASC::Release()
{
    long n = --m_refs;
    if (n == 0)
        delete this;
    return n;
}

HRESULT LibraryASC::cpy(ASC** out)
{
    AddRef();
    *out = this;
    return S_OK;
}

HRESULT LibraryASC::getPSE(PSE** out)
{
    *out = nullptr;
    return E_NOTIMPL;
}

HRESULT LibraryASC::getOwnPSE(PSE** out)
{
    ++ownAsked;
    *out = nullptr;
    if (handBack) {
        handBack->AddRef();
        *out = handBack;
        return S_OK;
    }
    const SEC_PSE_TABLE* table = ZELK_ApiCast<SEC_PSE_TABLE>(s_libraryPse);
    if (table == nullptr)
        return E_FAIL;
    return table->create_PSE(out, nullptr, nullptr);
}

}  // namespace kestrin::service::test
