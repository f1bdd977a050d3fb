// Scripted credential dialogs ("zelk.dlgcred" of "zelkgui") and a security
// context whose own PSE is the crypto library's file PSE of the PSE folder.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "qev_pse.h"
#include "zelk_gui.h"

namespace kestrin::service::test {

struct Dialogs {
    // What every question answers: a confirmed value, or a failure code
    // (0x80000007 and 0xA7F00019 are the user's cancel).
    static void Confirm(const std::string& value);
    static void Answer(HRESULT code);
    // The value a field of that preset gets when a question is confirmed.
    static void PresetValue(int preset, const std::string& value);
    // What the next questions answer, one entry each, before Confirm/Answer
    // apply again.
    static void Script(const std::vector<HRESULT>& answers);
    static void Aborted(bool on);
    static void Interactive(bool on);
    // Headless: no dialog (nor "zelk.gui", which runs verbs) can be made.
    static void Headless(bool on);
    static void Reset();
    // Questions wait while held; WaitForQuestion waits (up to 30 s) until one
    // is waiting or being answered.
    static void HoldQuestions(bool on);
    static bool WaitForQuestion();
    // The cancel button: the callback the last dialog was handed (which must
    // still live).
    static HRESULT PressCancel();

    // "create", "start", "field <preset> <label>", "value <preset> <value>",
    // "disabled <preset>", "count <tries>",
    // "ask <text>", "update <item> <text>", "end", "verb <name>" (a verb run
    // by "zelk.gui"), one log for every dialog.
    static std::vector<std::string> Log();
    static int Made();
    // Dialogs started and not yet ended.
    static int Open();
};

// A security context whose own PSE is the library's file PSE of the PSE
// folder; counts its references.
class LibraryASC : public ASC {
public:
    LibraryASC();
    HRESULT QueryInterface(const GUID& iid, void** out) override;
    long AddRef() override { return ++m_refs; }
    long Release() override;
    const char* getType() override { return "ASC"; }
    HRESULT cpy(ASC** out) override;
    int cmp(const ASC* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT getPSE(PSE** out) override;
    HRESULT getOwnPSE(PSE** out) override;
    HRESULT getCertDB(void*) override { return E_NOTIMPL; }
    HRESULT getVerificationContext(void*) override { return E_NOTIMPL; }
    HRESULT createURLContext(url_context**) override { return E_NOTIMPL; }
    HRESULT getSSLContext(ssl_context**) override { return E_NOTIMPL; }

    long References() const { return m_refs.load(); }
    std::atomic<int> ownAsked {0};
    // When set, getOwnPSE answers this service PSE itself (a faulty library).
    PSE* handBack = nullptr;

private:
    std::atomic<long> m_refs {1};
};

}  // namespace kestrin::service::test
