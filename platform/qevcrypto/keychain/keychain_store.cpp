#include "keychain_store.h"

#include <mutex>

namespace kestrin::qevcrypto::keychain {
namespace {

std::mutex s_lock;
std::shared_ptr<kestrin::keystore::KeyStore> s_store;

}  // namespace

HRESULT ProcessStore(std::shared_ptr<kestrin::keystore::KeyStore>* out)
{
    if (out == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(s_lock);
    if (!s_store) {
        std::unique_ptr<kestrin::keystore::KeyStore> opened;
        HRESULT hr = kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &opened);
        if (FAILED(hr))
            return hr;
        s_store = std::move(opened);
    }
    *out = s_store;
    return S_OK;
}

void CloseProcessStore()
{
    std::shared_ptr<kestrin::keystore::KeyStore> closing;
    {
        std::lock_guard<std::mutex> lock(s_lock);
        closing = std::move(s_store);
    }
}

}  // namespace kestrin::qevcrypto::keychain
