#include "card_state.h"

#include <winscard.h>

#include "qev_results.h"

namespace kestrin::qevcrypto::pcsc {
namespace {

class Context {
public:
    Context() { m_ok = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_context) == SCARD_S_SUCCESS; }
    ~Context()
    {
        if (m_ok)
            SCardReleaseContext(m_context);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    bool ok() const { return m_ok; }
    SCARDCONTEXT get() const { return m_context; }

private:
    SCARDCONTEXT m_context = 0;
    bool m_ok = false;
};

}  // namespace

HRESULT ReadCardState(const std::string& reader, CardState* out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = CardState();
    if (reader.empty() || reader.size() >= kMaxReaderName)
        return E_TOKEN_NOCARD;
    Context context;
    if (!context.ok())
        return E_TOKEN_NOCARD;
    SCARD_READERSTATE state {};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(context.get(), 0, &state, 1) != SCARD_S_SUCCESS
        || (state.dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) != 0) {
        return E_TOKEN_NOCARD;
    }
    if ((state.dwEventState & SCARD_STATE_PRESENT) == 0)
        return S_OK;
    // pcsc-lite counts the reader's card events in the upper half.
    out->present = true;
    out->insertion = static_cast<uint32_t>(state.dwEventState >> 16) & 0xFFFFu;
    size_t atrLength = state.cbAtr <= sizeof state.rgbAtr ? state.cbAtr : sizeof state.rgbAtr;
    try {
        out->atr.assign(state.rgbAtr, state.rgbAtr + atrLength);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace kestrin::qevcrypto::pcsc
