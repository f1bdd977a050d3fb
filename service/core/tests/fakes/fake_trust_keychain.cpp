#include "fake_trust_keychain.h"

#include "tokens/trust.h"

namespace kestrin::service::test {

std::atomic<int> FakeTrustKeychain::s_dirtyMarks {0};

}  // namespace kestrin::service::test

namespace ZELK::PSESVC {

HRESULT CTrustKeychain::SetDirty()
{
    ++kestrin::service::test::FakeTrustKeychain::s_dirtyMarks;
    return S_OK;
}

}  // namespace ZELK::PSESVC
