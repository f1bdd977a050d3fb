// The service PSE's real PSE: the crypto library's own PSE of the same
// security context, opened on demand by one opener at a time, with the
// password dialogs of a missing or locked "pse.zip", the recovery of a
// corrupt one, the trust update and the forwarding of what the service PSE
// does not decide itself.
#include <openssl/crypto.h>

#include <cstring>
#include <ctime>
#include <string>

#include "../tokens/trust.h"
#include "create_object.h"
#include "qev_config.h"
#include "qev_io.h"
#include "qev_results.h"
#include "zelk_module.h"
#include "zelk_resloader.h"
#include "zelk_trace.h"
#include "zelkpse.h"

// The module's binding of the resource loader, for the dialogs' texts.
ZELK_RESLOADER_CLIENT_BINDING();

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_pse = nullptr;
API_COMMON* s_config = nullptr;
API_COMMON* s_io = nullptr;
CLoadAPI s_loadPse(nullptr, "SEC_PSE_1", &s_pse);
CLoadAPI s_loadConfig(nullptr, SEC_CONFIG_API, &s_config);
CLoadAPI s_loadIo(nullptr, SEC_IO_API, &s_io);

HRESULT sec_pse_create_PSE(PSE** out, ASC* asc, SECAttribute* attributes)
{
    const SEC_PSE_TABLE* table = ZELK_ApiCast<SEC_PSE_TABLE>(s_pse);
    if (table == nullptr || table->create_PSE == nullptr)
        return E_FAIL;
    return table->create_PSE(out, asc, attributes);
}

HRESULT sec_pse_initialize_PSE(const char* name, const char* password)
{
    const SEC_PSE_TABLE* table = ZELK_ApiCast<SEC_PSE_TABLE>(s_pse);
    if (table == nullptr || table->initialize_PSE == nullptr)
        return E_FAIL;
    return table->initialize_PSE(name, password);
}

// "pse.zip" of the PSE folder moved to "pse.zip.corrupt-<UTC time>" beside
// it, so that the keys and lists in it can still be recovered.
HRESULT SetCorruptFileAside()
{
    const SEC_CONFIG_TABLE* config = ZELK_ApiCast<SEC_CONFIG_TABLE>(s_config);
    const SEC_IO_TABLE* io = ZELK_ApiCast<SEC_IO_TABLE>(s_io);
    if (config == nullptr || config->get_PSE_dir == nullptr || io == nullptr || io->cat_path == nullptr
        || io->Rename == nullptr)
        return E_FAIL;
    char buffer[512];
    const char* dir = nullptr;
    HRESULT hr = config->get_PSE_dir(buffer, sizeof buffer, &dir);
    if (FAILED(hr) || dir == nullptr)
        return FAILED(hr) ? hr : E_FAIL;
    char stamp[64];
    std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "pse.zip.corrupt-%Y%m%d%H%M%S", &utc);
    char* from = nullptr;
    char* to = nullptr;
    hr = io->cat_path(dir, SEC_PSE_FILE_NAME, &from);
    if (SUCCEEDED(hr))
        hr = io->cat_path(dir, stamp, &to);
    if (SUCCEEDED(hr))
        hr = io->Rename(from, to);
    SECTRACE_FormatLnEx(nullptr, 2, 0, "PSE file %s is corrupt, moved to %s: %8x", from ? from : "", stamp,
                        static_cast<unsigned>(hr));
    sec_free(from);
    sec_free(to);
    return hr;
}

// A resource text of the dialogs' bundle, empty when there is none.
std::wstring Text(IResourceManager* resources, const char* key)
{
    const wchar_t* text = resources ? resources->GetW(key) : nullptr;
    return text ? text : L"";
}

// A password from a dialog field, wiped when it goes.
struct Password {
    std::string text;
    explicit Password(ICredUIAsk* field)
    {
        const char* value = field ? field->GetValue() : nullptr;
        if (value)
            text = value;
    }
    ~Password()
    {
        if (!text.empty())
            OPENSSL_cleanse(text.data(), text.size());
    }
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
};

}  // namespace

HRESULT ZELKPSE::needRealPSE(bool quiet)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::needRealPSE");
    if (m_open.load())
        return trace.result = S_OK;
    if (m_asc == nullptr)
        return trace.result = -1;
    {
        std::unique_lock<std::mutex> lock(m_openLock);
        uint64_t seen = m_openings;
        while (m_opening)
            m_openDone.wait(lock);
        if (m_open.load())
            return trace.result = S_OK;
        // A concurrent opening that failed is this caller's outcome too,
        // unless it was quiet and this caller may ask the user.
        if (m_openings != seen && (quiet || !m_openQuiet))
            return trace.result = m_openResult;
        m_opening = true;
    }
    trace.result = OpenRealPSE(quiet);
    {
        std::lock_guard<std::mutex> lock(m_openLock);
        m_opening = false;
        m_openResult = trace.result;
        m_openQuiet = quiet;
        ++m_openings;
    }
    m_openDone.notify_all();
    return trace.result;
}

HRESULT ZELKPSE::OpenRealPSE(bool quiet)
{
    PSE* produced = nullptr;
    HRESULT hr = sec_pse_create_PSE(&produced, m_asc, nullptr);
    if (produced == this) {
        produced->Release();
        return -1;
    }
    if (produced == nullptr) {
        if (!quiet)
            hr = create();
    } else {
        m_realPSE.store(produced);
        login(quiet);
    }
    if (m_realPSE.load() != nullptr)
        m_open.store(true);
    updateTrust();
    return hr;
}

HRESULT ZELKPSE::create()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::create");
    if (m_loggedIn.load())
        return trace.result = S_OK;
    if (m_realPSE.load() != nullptr)
        return trace.result = -1;
    trace.result = RunDialog(&ZELKPSE::CreateWorker);
    if (FAILED(trace.result))
        return trace.result;
    return trace.result = m_realPSE.load() != nullptr ? S_OK : -1;
}

HRESULT ZELKPSE::login(bool quiet)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::login");
    if (m_loggedIn.load())
        return trace.result = S_OK;
    if (m_realPSE.load() == nullptr)
        return trace.result = -1;
    loginAutomatic();
    if (m_loggedIn.load())
        return trace.result = S_OK;
    if (quiet)
        return trace.result = S_FALSE;
    // Headless there is no dialog: the PSE stays locked, as on the quiet path.
    if (FAILED(RunDialog(&ZELKPSE::LoginWorker)))
        return trace.result = S_FALSE;
    return trace.result = S_OK;
}

HRESULT ZELKPSE::RunDialog(unsigned (ZELKPSE::*worker)())
{
    AuxRefPtr<ICredUI> dialog;
    HRESULT hr = ZELK_CreateObject("zelkgui", "zelk.dlgcred", &dialog);
    if (FAILED(hr))
        return hr;
    if (!dialog)
        return E_FAIL;
    {
        std::lock_guard<std::mutex> lock(m_dialogLock);
        m_credDialog = static_cast<ICredUI*>(dialog);
    }
    // The worker holds the object for as long as it runs.
    AddRef();
    Thread thread;
    hr = Thread::Create(&thread, this, worker);
    if (FAILED(hr)) {
        Release();
        return hr;
    }
    hr = dialog->GuiStart(ICredUI::GUIMODE_DEFAULT, true);
    // The worker has ended the dialog and only returns now; waiting for it
    // keeps its last steps inside the caller's operation. A dialog that did
    // not start leaves the worker to end on its own.
    if (SUCCEEDED(hr))
        thread.Wait(-1);
    return hr;
}

unsigned ZELKPSE::CreateWorker()
{
    unsigned code = static_cast<unsigned>(createThread());
    Release();
    return code;
}

unsigned ZELKPSE::LoginWorker()
{
    unsigned code = static_cast<unsigned>(loginThread());
    Release();
    return code;
}

HRESULT ZELKPSE::createThread()
{
    AuxRefPtr<ICredUI> dialog;
    {
        std::lock_guard<std::mutex> lock(m_dialogLock);
        dialog = static_cast<ICredUI*>(m_credDialog);
    }
    AuxRefPtr<IResourceManager> resources;
    GetResourceManager(L"zelkgui", &resources);
    PSE* own = nullptr;
    HRESULT code = m_asc ? m_asc->getOwnPSE(&own) : E_FAIL;
    if (own != nullptr)
        own->Release();

    std::wstring label = Text(resources, "DLG_CRED_PSE_PASSWORD");
    AuxRefPtr<ICredUIAsk> password;
    AuxRefPtr<ICredUIAsk> confirm;
    dialog->GuiGetAskObjectW(&password, ICredUIAsk::ASK_NEW_PASSWORD, label.c_str());
    dialog->GuiGetAskObjectW(&confirm, ICredUIAsk::ASK_CONFIRM, nullptr);

    if (code == E_PSE_NOPSE) {
        std::wstring question = Text(resources, "DLG_CRED_PSE_INIT_PASSWORD");
        code = dialog->GuiAsk(question.c_str(), password, confirm, nullptr, nullptr);
        if (SUCCEEDED(code)) {
            Password secret(password);
            code = sec_pse_initialize_PSE(nullptr, secret.text.c_str());
            if (SUCCEEDED(code))
                code = Adopt();
            if (SUCCEEDED(code))
                code = loginWithPassword(nullptr, reinterpret_cast<const unsigned char*>(secret.text.data()),
                                         secret.text.size());
            if (SUCCEEDED(code))
                code = createAutomatic(secret.text.c_str());
        }
    } else if (code == E_PSE_CORRUPT) {
        std::wstring message = Text(resources, "ERR_PSE_CORRUPT");
        dialog->GuiUpdate(ICredUI::GUIITEM_MESSAGE, message.c_str(), 0);
        SetCorruptFileAside();
    }
    dialog->GuiEnd();
    return code;
}

HRESULT ZELKPSE::Adopt()
{
    PSE* own = nullptr;
    HRESULT hr = m_asc->getOwnPSE(&own);
    if (FAILED(hr))
        return hr;
    if (own == nullptr || own == this) {
        if (own)
            own->Release();
        return -1;
    }
    m_realPSE.store(own);
    return S_OK;
}

HRESULT ZELKPSE::loginThread()
{
    AuxRefPtr<ICredUI> dialog;
    {
        std::lock_guard<std::mutex> lock(m_dialogLock);
        dialog = static_cast<ICredUI*>(m_credDialog);
    }
    AuxRefPtr<IResourceManager> resources;
    GetResourceManager(L"zelkgui", &resources);
    std::wstring label = Text(resources, "DLG_CRED_PSE_PASSWORD");
    AuxRefPtr<ICredUIAsk> password;
    dialog->GuiGetAskObjectW(&password, ICredUIAsk::ASK_PASSWORD, label.c_str());
    if (SUCCEEDED(dialog->GuiAsk(label.c_str(), password, nullptr, nullptr, nullptr))) {
        Password secret(password);
        if (SUCCEEDED(loginWithPassword(nullptr, reinterpret_cast<const unsigned char*>(secret.text.data()),
                                        secret.text.size())))
            createAutomatic(secret.text.c_str());
    }
    dialog->GuiEnd();
    return S_OK;
}

HRESULT ZELKPSE::createAutomatic(const char*)
{
    return S_OK;
}

HRESULT ZELKPSE::loginThreadCreatePassword()
{
    cred_initCredUpdate();
    cred_finalCredUpdate();
    return S_OK;
}

HRESULT ZELKPSE::loginAutomatic()
{
    return loginBySystemParameters(nullptr);
}

HRESULT ZELKPSE::updateTrust()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::updateTrust");
    AuxRefPtr<CTrust> trust;
    trace.result = CSingletonFactoryImpl<CTrust>::New(&trust);
    if (FAILED(trace.result))
        return trace.result;
    return trace.result = trust->importTrustFromPSE(m_realPSE.load());
}

// ---- Forwarding -----------------------------------------------------------

#define ZELKPSE_FORWARD(name, quiet, call)                                                                             \
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::" #name);                                                        \
    trace.result = needRealPSE(quiet);                                                                                 \
    if (FAILED(trace.result))                                                                                          \
        return trace.result;                                                                                           \
    PSE* real = m_realPSE.load();                                                                                      \
    if (real == nullptr)                                                                                               \
        return trace.result;                                                                                           \
    return trace.result = real->call

HRESULT ZELKPSE::listApplObjects(SET_OF_String** out)
{
    ZELKPSE_FORWARD(listApplObjects, false, listApplObjects(out));
}

HRESULT ZELKPSE::searchSlotInfos(SET_OF_SecSlotInfo** out)
{
    ZELKPSE_FORWARD(searchSlotInfos, false, searchSlotInfos(out));
}

HRESULT ZELKPSE::writeSlotInfos(SET_OF_SecSlotInfo* infos)
{
    ZELKPSE_FORWARD(writeSlotInfos, false, writeSlotInfos(infos));
}

HRESULT ZELKPSE::readSlotInfos(SET_OF_SecSlotInfo** out)
{
    ZELKPSE_FORWARD(readSlotInfos, false, readSlotInfos(out));
}

HRESULT ZELKPSE::addCertInfoListItem(const PersonalCertificateInfo* info)
{
    ZELKPSE_FORWARD(addCertInfoListItem, false, addCertInfoListItem(info));
}

HRESULT ZELKPSE::deleteCertInfoListItem(const char* tokenName, const char* keyId, const char* label,
                                        unsigned long number)
{
    ZELKPSE_FORWARD(deleteCertInfoListItem, false, deleteCertInfoListItem(tokenName, keyId, label, number));
}

HRESULT ZELKPSE::getPasswordList(SET_OF_PIN_Info** out)
{
    ZELKPSE_FORWARD(getPasswordList, false, getPasswordList(out));
}

HRESULT ZELKPSE::addPasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                     const char* item4)
{
    ZELKPSE_FORWARD(addPasswordListItem, false, addPasswordListItem(item0, item1, item2, item3, item4));
}

HRESULT ZELKPSE::deletePasswordListItem(const char* item0, const char* item1, const char* item2, const char* item3,
                                        const char* item4, unsigned long number)
{
    ZELKPSE_FORWARD(deletePasswordListItem, false, deletePasswordListItem(item0, item1, item2, item3, item4, number));
}

HRESULT ZELKPSE::releaseTokenCache(const char* tokenName)
{
    ZELKPSE_FORWARD(releaseTokenCache, true, releaseTokenCache(tokenName));
}

HRESULT ZELKPSE::getPseFileName(const char** name)
{
    ZELKPSE_FORWARD(getPseFileName, false, getPseFileName(name));
}

HRESULT ZELKPSE::cred_list(SET_OF_String** out)
{
    ZELKPSE_FORWARD(cred_list, false, cred_list(out));
}

HRESULT ZELKPSE::cred_getParameters(const char* name, CredType* type, unsigned char* flag, unsigned long* value)
{
    ZELKPSE_FORWARD(cred_getParameters, false, cred_getParameters(name, type, flag, value));
}

HRESULT ZELKPSE::cred_initCredUpdate()
{
    ZELKPSE_FORWARD(cred_initCredUpdate, false, cred_initCredUpdate());
}

HRESULT ZELKPSE::cred_delete(const char* name)
{
    ZELKPSE_FORWARD(cred_delete, false, cred_delete(name));
}

HRESULT ZELKPSE::cred_addPassword(const char* name, const unsigned char* password, unsigned long length,
                                  const unsigned char* secret, unsigned long secretLength)
{
    ZELKPSE_FORWARD(cred_addPassword, false, cred_addPassword(name, password, length, secret, secretLength));
}

HRESULT ZELKPSE::cred_addSystemParameters(const char* name, const char* parameters)
{
    ZELKPSE_FORWARD(cred_addSystemParameters, false, cred_addSystemParameters(name, parameters));
}

HRESULT ZELKPSE::cred_change(const char* name, const unsigned char* password, unsigned long length,
                             const char* newPassword, unsigned long newLength)
{
    ZELKPSE_FORWARD(cred_change, false, cred_change(name, password, length, newPassword, newLength));
}

HRESULT ZELKPSE::cred_finalCredUpdate()
{
    ZELKPSE_FORWARD(cred_finalCredUpdate, false, cred_finalCredUpdate());
}

// The two logins run inside an opening too (the opener's automatic login and
// the dialog worker's password), so a real PSE already produced is used
// without waiting for the opening to end.
HRESULT ZELKPSE::loginBySystemParameters(const char* name)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::loginBySystemParameters");
    PSE* real = m_realPSE.load();
    if (real == nullptr) {
        if (FAILED(needRealPSE(true)) || (real = m_realPSE.load()) == nullptr)
            return trace.result = E_PSE_NOTSUPPORTED;
    }
    return trace.result = real->loginBySystemParameters(name);
}

HRESULT ZELKPSE::loginWithPassword(const char* name, const unsigned char* password, unsigned long length)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::loginWithPassword");
    PSE* real = m_realPSE.load();
    if (real == nullptr) {
        trace.result = needRealPSE(true);
        if (FAILED(trace.result))
            return trace.result;
        if ((real = m_realPSE.load()) == nullptr)
            return trace.result;
    }
    trace.result = real->loginWithPassword(name, password, length);
    if (SUCCEEDED(trace.result))
        m_loggedIn.store(true);
    return trace.result;
}

const char* ZELKPSE::getType()
{
    PSE* real = m_realPSE.load();
    return real ? real->getType() : "PSE";
}

HRESULT ZELKPSE::cpy(PSE** out)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::cpy");
    PSE* real = m_realPSE.load();
    return trace.result = real ? real->cpy(out) : -1;
}

int ZELKPSE::cmp(const PSE* other)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::cmp");
    PSE* real = m_realPSE.load();
    return trace.result = real ? real->cmp(other) : -1;
}

HRESULT ZELKPSE::print(char** out, const char* indent, PRINT_CTX* context)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ZELKPSE::print");
    PSE* real = m_realPSE.load();
    return trace.result = real ? real->print(out, indent, context) : -1;
}

}  // namespace ZELK::PSESVC
