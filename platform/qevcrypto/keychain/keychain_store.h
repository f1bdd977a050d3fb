// The process's one key store, opened on first use and closed when the last
// user releases the library's function list. Objects keep the store they
// were made with for as long as they live.
#pragma once

#include <memory>

#include "keystore.h"

namespace kestrin::qevcrypto::keychain {

HRESULT ProcessStore(std::shared_ptr<kestrin::keystore::KeyStore>* out);
void CloseProcessStore();

}  // namespace kestrin::qevcrypto::keychain
