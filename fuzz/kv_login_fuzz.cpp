// The profile token's login dialogue driven by a fuzz-fed enrolment client:
// the client's answers and next states, its strings, input fields, protocol
// version and message type, the dialog's answers and the identity handed out
// are all taken from the input, for an interactive or a silent login. Every
// login must end, and must release its client.
// Input: records of a kind byte, a two-byte length and that many bytes. The
// runtime loads the crypto library and the base modules from the build's lib
// folder.
#include <openssl/crypto.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/pse_factory.h"
#include "fake_kvlogin.h"
#include "fakes/fake_dialog.h"
#include "fuzz_home.h"
#include "fuzz_records.h"
#include "tokens/token_kv.h"
#include "tokens/token_manager.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace ZELK::PSESVC {

// Link-time stand-ins for the service parts a login reaches beyond the token.
HRESULT CPSEFactory::GetASC(ASC** out, ZELK_IPolicy*)
{
    *out = nullptr;
    return E_FAIL;
}

void CTokenMgr::SetProfileTokenCreator(ProfileTokenCreator) {}

}  // namespace ZELK::PSESVC

namespace {

using kestrin::service::test::Dialogs;
using kestrin::tokens::test::KVField;
using kestrin::tokens::test::KVScript;
using kestrin::tokens::test::KVStep;

// Steps beyond these end in the client's error state, so every login ends.
constexpr size_t kMaxSteps = 64;

const HRESULT kResults[] = {S_OK,           1,
                            0x04E40013,     E_FAIL,
                            E_ABORT,        ZELK_RC(0xA7F00019),
                            E_ACCESSDENIED, E_QM_SERVER_ERROR,
                            E_QM_URL_ERROR, E_QM_CERT_INVALID};
const char* const kFieldTypes[] = {"text", "password", "input", "INPUT", "Password", "checkbox", ""};

void StartRuntime()
{
    static const bool started = [] {
        const std::string home = kestrin::fuzz::MakeTemporaryHome("kvlogin");
        if (home.empty())
            return false;
        // OpenSSL stays up until the process ends, so that the crypto
        // library's own holders still find it when they go at exit.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        return ZELK_Initialize() == S_OK;
    }();
    if (!started)
        std::abort();
}

HRESULT Result(uint8_t byte)
{
    return kResults[byte % (sizeof kResults / sizeof kResults[0])];
}

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    StartRuntime();
    KVScript::Reset();
    Dialogs::Reset();
    std::vector<KVStep> steps;
    std::map<unsigned, std::wstring> strings;
    std::vector<KVField> fields;
    std::vector<std::vector<unsigned char>> identity(4);
    bool silent = false;
    bool loginAs = false;
    kestrin::fuzz::Record record;
    while (kestrin::fuzz::NextRecord(data, size, record)) {
        const uint8_t kind = record.kind;
        const std::string& bytes = record.bytes;
        const uint8_t first = bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]);
        const uint8_t second = bytes.size() < 2 ? 0 : static_cast<uint8_t>(bytes[1]);
        // Texts end at their first NUL, as the client hands them.
        const std::string text = bytes.size() > 2 ? std::string(bytes.c_str() + 2) : std::string();
        switch (kind % 8) {
        case 0:
            if (steps.size() < kMaxSteps)
                steps.push_back({Result(first), static_cast<int>(static_cast<int8_t>(second) % 12)});
            break;
        case 1:
            strings[first % 10] = Wide(text);
            break;
        case 2:
            fields.push_back({kFieldTypes[first % (sizeof kFieldTypes / sizeof kFieldTypes[0])], text, text});
            break;
        case 3:
            KVScript::Protocol(first % 4, second % 3);
            break;
        case 4:
            Dialogs::Script({Result(first), Result(second)});
            break;
        case 5:
            identity[first % 4].assign(bytes.begin(), bytes.end());
            break;
        case 6:
            silent = (first & 1) != 0;
            loginAs = (first & 2) != 0;
            break;
        default:
            Dialogs::Confirm(text);
            break;
        }
    }
    KVScript::Steps(steps);
    KVScript::Strings(strings);
    KVScript::Fields(fields);
    KVScript::Identity(identity[0], identity[1], identity[2], identity[3]);

    CComObject<ZELK::PSESVC::CToken_KV>* token = nullptr;
    if (CComObject<ZELK::PSESVC::CToken_KV>::CreateInstance(&token) != S_OK)
        std::abort();
    static_cast<ZELK::PSESVC::CToken*>(token)->AddRef();
    token->Init(nullptr, nullptr, "toksw:mem://kestrin/fuzz");
    if (silent) {
        token->AutoEnrollTask();
    } else {
        ZELK::PSESVC::ICredUI* dialog = nullptr;
        if (ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)) != S_OK)
            std::abort();
        if (loginAs)
            token->LoginAs(dialog, L"fuzz");
        else
            token->Login(dialog);
        dialog->Release();
    }
    // The login ended its session and let its client go.
    if (KVScript::Alive() != 0)
        std::abort();
    token->Logout(nullptr);
    static_cast<ZELK::PSESVC::CToken*>(token)->Release();
    return 0;
}
