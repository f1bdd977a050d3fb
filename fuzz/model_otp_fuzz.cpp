// One-time-password secrets of any bytes and length through GetOTP: the
// Base32 reading stays inside its 32-byte key and every answer is a code of
// six digits or a refusal without one. Input: eight bytes of time, then the
// secret (up to its first NUL, as the configuration hands it).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "model/model_clock.h"
#include "model/model_otp.h"
#include "qev_mac.h"
#include "qev_tables.h"
#include "zelk_alloc.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"
#include "zelk_strings.h"

// Never bound here: every text falls back to its default.
ZELK_RESLOADER_CLIENT_BINDING();
ZELK_POLICY_CLIENT_BINDING();

namespace {

using namespace ZELK::PSESVC;

bool Bind()
{
    static SEC_FUNCTION_LIST list = {};
    list.malloc = &std::malloc;
    list.calloc = &std::calloc;
    list.realloc = &std::realloc;
    list.free = &std::free;
    sdk_f_list = &list;
    return CZELK_API::GetAPI(ZELK_STRING_API, &STRING_TABLE) == S_OK
           && CZELK_API::GetAPI(ZELK_STRINGW_API, &STRINGW_TABLE) == S_OK
           && (CModelTokenOTP::s_cryptoTable = qev_find_table(SEC_CRYPTO_API)) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool bound = Bind();
    if (!bound)
        abort();
    if (size < 8)
        return 0;
    uint64_t time = 0;
    std::memcpy(&time, data, 8);
    std::string secret(reinterpret_cast<const char*>(data + 8), size - 8);
    ModelClockSet(time | 1);
    CModelTokenOTP* token = nullptr;
    if (CModelTokenOTP::New(L"fuzz", secret.c_str(), &token) != S_OK)
        abort();
    char* code = nullptr;
    unsigned long left = 0;
    HRESULT hr = token->GetOTP(&code, &left, nullptr);
    if ((hr == S_OK) != (code != nullptr) || left < 1 || left > 30)
        abort();
    if (code != nullptr && std::strlen(code) != 6)
        abort();
    sec_free(code);
    static_cast<IGUIModel*>(token)->Release();
    return 0;
}
