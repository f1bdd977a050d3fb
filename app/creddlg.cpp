#include "creddlg.h"

#include <QMessageBox>
#include <mutex>
#include <vector>

#include "certviewer.h"
#include "credask.h"
#include "credwindow.h"
#include "glue.h"
#include "queues.h"
#include "windows.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_holders.h"
#include "zelk_strings.h"

namespace kestrin::app {

using ZELK::PSESVC::ICredUIAsk;
using ZELK::PSESVC::IGUIModelCert;
using ZELK::PSESVC::IGUIModelItem;

namespace {

CZELK_CLASS s_dlgcred("zelkgui", "zelk.dlgcred", &CCredUI::New);

constexpr unsigned long kMaxFields = 4;

// Wide text as shown: invalid characters become U+FFFD on the way through UTF-8.
QString ToQString(const wchar_t* text)
{
    if (text == nullptr || *text == 0)
        return QString();
    char* utf8 = nullptr;
    if (FAILED(String_Copy(text, &utf8)) || utf8 == nullptr)
        return QString();
    QString result = QString::fromUtf8(utf8);
    sec_free(utf8);
    return result;
}

HRESULT CopyOut(const wchar_t* text, wchar_t** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    if (text == nullptr)
        return S_OK;
    return String_Copy(text, out);
}

HRESULT Keep(const wchar_t* text, wchar_t** kept)
{
    if (text != nullptr && text == *kept)
        return S_OK;
    wchar_t* copy = nullptr;
    if (text && FAILED(String_Copy(text, &copy)))
        return E_OUTOFMEMORY;
    sec_free(*kept);
    *kept = copy;
    return S_OK;
}

// An alert that nobody waits for.
void ShowAlert(QMessageBox::Icon style, const QString& text)
{
    PostToGui([style, text] {
        auto* alert = new QMessageBox(style, ZELKGLUE_GetText("DLG_CRED_TITLE"), QString(), QMessageBox::NoButton);
        alert->setObjectName(QStringLiteral("alert"));
        alert->setTextFormat(Qt::PlainText);
        alert->setInformativeText(text);
        alert->addButton(ZELKGLUE_GetText("DLG_CRED_OK"), QMessageBox::AcceptRole);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->setWindowFlag(Qt::WindowStaysOnTopHint);
        alert->open();
        alert->activateWindow();
    });
}

}  // namespace

// What the dialog shares with its worker on "kvc.ui", which may outlive it.
struct CCredUI::State {
    ZELK::Event wake;
    ZELK::Event finished;
    ZELK::Event done;
    ZELK::Event visibleEvent;
    std::atomic<bool> started {false};
    std::atomic<bool> ended {false};
    std::atomic<bool> showRequested {false};
    std::atomic<bool> visible {false};
    std::mutex itemMutex;
    IGUIModelItem* item = nullptr;

    ~State()
    {
        if (item)
            item->Release();
    }

    // GUI thread, right after the window came up: the item's icon and text.
    void UpdateItem(CredentialViewController* view)
    {
        if (!visible)
            return;
        IGUIModelItem* model;
        {
            std::lock_guard<std::mutex> lock(itemMutex);
            model = item;
            if (model)
                model->AddRef();
        }
        QIcon image;
        QString text;
        if (model) {
            ZELK::PSESVC::IGUIItem_Icon icon = ZELK::PSESVC::ICON_NONE;
            char* utf8 = nullptr;
            model->GetItemInfo(&icon, &utf8);
            image = ZELKGLUE_GetImage(static_cast<ZELK::PSESVC::IGUIItem_Icon>(icon | 1));
            text = utf8 ? QString::fromUtf8(utf8) : QString();
            sec_free(utf8);
            model->Release();
        }
        view->updateItem(text, image);
    }

    void Worker()
    {
        bool broughtUp = false;
        for (;;) {
            wake.Wait(-1);
            if (ended)
                break;
            if (showRequested && !broughtUp) {
                broughtUp = true;
                CredentialViewController* view = nullptr;
                RunOnGui([this, &view] {
                    CredentialWindowController* window = CredentialWindowController::get();
                    if (window == nullptr)
                        return;
                    window->show();
                    view = window->content();
                    visible = true;
                    UpdateItem(view);
                });
                visibleEvent.Signal();
            }
        }
        if (broughtUp)
            PostToGui([] {
                if (CredentialWindowController* window = CredentialWindowController::get())
                    window->hide();
            });
        finished.Signal();
        done.Signal();
    }
};

CCredUI::CCredUI() : m_state(std::make_shared<State>()) {}

CCredUI::~CCredUI()
{
    if (m_state->started && !m_state->ended) {
        m_state->ended = true;
        m_state->wake.Signal();
    }
    sec_free(m_message);
    sec_free(m_opDesc);
}

HRESULT CCredUI::New(const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (ZELKGLUE_IsHeadless())
        return E_FAIL;
    return CFactoryImpl<CCredUI>::New(iid, out);
}

bool CCredUI::Controllers()
{
    if (m_cred && m_main)
        return true;
    RunOnGui([this] {
        if (CredentialWindowController* window = CredentialWindowController::get())
            m_cred = window->content();
        if (MainWindowController* window = MainWindowController::get())
            m_main = window->content();
    });
    return m_cred && m_main;
}

HRESULT CCredUI::GuiStart(GUIMODE, bool wait)
{
    if (wait && (IsGuiThread() || ZELKGLUE_GetDispatchQueue()->IsCurrent()))
        return E_UNEXPECTED;
    if (m_state->started.exchange(true))
        return E_UNEXPECTED;
    m_state->done.Reset();
    std::shared_ptr<State> state = m_state;
    ZELKGLUE_Dispatch([state] { state->Worker(); });
    // Before the wait, so that they belong to this dialog and not the next.
    GuiUpdate(GUIITEM_TITLE, nullptr, 0);
    const QString okText = ZELKGLUE_GetText("DLG_CRED_OK");
    std::wstring okWide = okText.toStdWString();
    GuiUpdate(GUIITEM_OKTITLE, okWide.c_str(), 0);
    if (wait)
        m_state->done.Wait(-1);
    return S_OK;
}

HRESULT CCredUI::GuiEnd()
{
    if (!m_state->started || m_state->ended)
        return E_UNEXPECTED;
    if (m_main)
        m_main->updateStatus(QString());
    m_state->ended = true;
    m_state->wake.Signal();
    // The GUI thread and "kvc.ui" never wait for the worker: it may need them.
    if (!IsGuiThread() && !ZELKGLUE_GetDispatchQueue()->IsCurrent())
        m_state->finished.Wait(-1);
    return S_OK;
}

HRESULT CCredUI::GuiShow()
{
    Controllers();
    if (m_state->visible)
        return S_OK;
    m_state->showRequested = true;
    m_state->wake.Signal();
    if (!m_state->visible)
        m_state->visibleEvent.Wait(-1);
    return m_state->visible ? S_OK : E_ABORT;
}

HRESULT CCredUI::GuiUpdate(GUIITEM item, const wchar_t* text, unsigned long value)
{
    switch (item) {
    case GUIITEM_MESSAGE:
    case GUIITEM_LONGOPERATION:
    case GUIITEM_POPUP:
    case GUIITEM_POPUPERR:
    case GUIITEM_MESSAGEERR:
    case GUIITEM_OKTITLE:
    case GUIITEM_TITLE:
    case GUIITEM_ITEM:
    case GUIITEM_CERT:
        break;
    default:
        return E_INVALIDARG;
    }
    Controllers();
    switch (item) {
    case GUIITEM_MESSAGE:
    case GUIITEM_MESSAGEERR: {
        HRESULT hr = SetMessage(text);
        if (m_cred)
            m_cred->showWarnIcon(item == GUIITEM_MESSAGEERR);
        return hr;
    }
    case GUIITEM_LONGOPERATION: {
        const QString status = ToQString(text);
        if (m_main)
            m_main->updateStatus(status);
        if (m_cred)
            m_cred->updateStatus(status);
        return S_OK;
    }
    case GUIITEM_POPUP:
    case GUIITEM_POPUPERR: {
        const QString alert = ToQString(text);
        if (alert.isEmpty())
            return E_INVALIDARG;
        ShowAlert(item == GUIITEM_POPUP ? QMessageBox::Information : QMessageBox::Critical, alert);
        return S_OK;
    }
    case GUIITEM_OKTITLE:
        if (m_cred)
            m_cred->updateOKButtonText(ToQString(text));
        return S_OK;
    case GUIITEM_TITLE: {
        QString title = ZELKGLUE_GetText("DLG_CRED_TITLE");
        const QString suffix = ToQString(text);
        if (!suffix.isEmpty()) {
            const qsizetype at = title.lastIndexOf(QStringLiteral(" - "));
            if (at >= 0)
                title = title.left(at + 3) + suffix;
            else
                title += QStringLiteral(" - ") + suffix;
        }
        if (m_cred)
            m_cred->updateTitleText(title);
        return S_OK;
    }
    case GUIITEM_ITEM: {
        IGUIModelItem* model = nullptr;
        if (value)
            reinterpret_cast<IUnknown*>(value)->QueryInterface(IID_IGUIModelItem, reinterpret_cast<void**>(&model));
        IGUIModelItem* old;
        {
            std::lock_guard<std::mutex> lock(m_state->itemMutex);
            old = m_state->item;
            m_state->item = model;
        }
        if (old)
            old->Release();
        return S_OK;
    }
    case GUIITEM_CERT: {
        if (value == 0)
            return E_FAIL;
        IGUIModelCert* model = nullptr;
        reinterpret_cast<IUnknown*>(value)->QueryInterface(IID_IGUIModelCert, reinterpret_cast<void**>(&model));
        if (model == nullptr)
            return E_FAIL;
        QByteArray der = CertificateDer(model->GetCert());
        model->Release();
        if (der.isEmpty())
            return E_FAIL;
        PostToGui([der] { ShowCertificate(der); });
        return S_OK;
    }
    default:
        return E_INVALIDARG;
    }
}

HRESULT CCredUI::GuiGetAskObject(ICredUIAsk** out, ICredUIAsk::ASK_PRESETS preset, const char* name)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    CComObject<CCredUIAsk>* field = nullptr;
    HRESULT hr = CComObject<CCredUIAsk>::CreateInstance(&field);
    if (FAILED(hr))
        return hr;
    field->AddRef();
    if (preset != 0)
        field->LoadPreset(preset, nullptr, 0);
    if (name)
        field->SetName(name);
    *out = field;
    return S_OK;
}

HRESULT CCredUI::GuiGetAskObjectW(ICredUIAsk** out, ICredUIAsk::ASK_PRESETS preset, const wchar_t* name)
{
    HRESULT hr = GuiGetAskObject(out, preset, nullptr);
    if (SUCCEEDED(hr) && name)
        (*out)->SetNameW(name);
    return hr;
}

HRESULT CCredUI::GuiAsk(const wchar_t* text, ICredUIAsk* first, ICredUIAsk* second, ICredUIAsk* third,
                        ICredUIAsk* fourth)
{
    ICredUIAsk* fields[kMaxFields];
    unsigned long count = 0;
    for (ICredUIAsk* field : {first, second, third, fourth})
        if (field)
            fields[count++] = field;
    return GuiAsk(text, count, fields, 0);
}

HRESULT CCredUI::GuiAsk(const wchar_t* text, unsigned long count, ICredUIAsk** fields, signed char)
{
    if (count > kMaxFields || (count > 0 && fields == nullptr))
        return E_INVALIDARG;
    for (unsigned long i = 0; i < count; ++i)
        if (fields[i] == nullptr)
            return E_INVALIDARG;
    // The prompt needs the GUI thread and a running worker on "kvc.ui".
    if (IsGuiThread() || ZELKGLUE_GetDispatchQueue()->IsCurrent())
        return E_UNEXPECTED;
    if (!m_state->started || m_state->ended)
        return E_UNEXPECTED;
    if (FAILED(GuiShow()) || m_cred == nullptr)
        return E_ABORT;
    SetOpDesc(text);
    wchar_t* prompt = nullptr;
    GetMessage(&prompt, 1);
    const QString promptText = ToQString(prompt);
    sec_free(prompt);
    std::vector<ICredUIAsk*> list(fields, fields + count);
    return m_cred->ask(promptText, list) ? S_OK : E_ABORT;
}

HRESULT CCredUI::SetMessage(const wchar_t* text)
{
    return Keep(text, &m_message);
}

HRESULT CCredUI::GetMessage(wchar_t** out, signed char withDescription)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    if (!withDescription || String_IsEmpty(m_opDesc))
        return CopyOut(m_message, out);
    if (String_IsEmpty(m_message))
        return CopyOut(m_opDesc, out);
    std::wstring joined = std::wstring(m_message) + L"\n\n" + m_opDesc;
    return String_Copy(joined.c_str(), out);
}

HRESULT CCredUI::SetOpDesc(const wchar_t* text)
{
    return Keep(text, &m_opDesc);
}

HRESULT CCredUI::GetOpDesc(wchar_t** out)
{
    return CopyOut(m_opDesc, out);
}

}  // namespace kestrin::app
