// Texts for the key store's result codes.
#include "keystore.h"

namespace kestrin::keystore {

const char* ResultText(HRESULT hr)
{
    switch (hr) {
    case S_OK:
        return "success";
    case S_FALSE:
        return "nothing done or not found";
    case E_INVALIDARG:
        return "invalid or over-long argument";
    case E_POINTER:
        return "missing output argument";
    case E_OUTOFMEMORY:
        return "out of memory";
    case E_ACCESSDENIED:
        return "the key store file or its folder cannot be accessed";
    case KEYSTORE_E_NOT_DATABASE:
        return "the key store file is not a database";
    case KEYSTORE_E_FOREIGN_DATABASE:
        return "the database is not a key store";
    case KEYSTORE_E_NEWER_FORMAT:
        return "the key store was written by a newer version";
    case KEYSTORE_E_UNSAFE_PATH:
        return "the key store path is not a private regular file";
    case KEYSTORE_E_DATABASE:
        return "the key store database failed";
    case KEYSTORE_E_BUSY:
        return "the key store is locked by another process";
    case KEYSTORE_E_NO_HOME:
        return "no home folder for the user data";
    case KEYSTORE_E_PKCS12_FORMAT:
        return "the data is not a readable PKCS#12 file";
    case KEYSTORE_E_PKCS12_PASSWORD:
        return "wrong PKCS#12 password";
    case KEYSTORE_E_PKCS12_NO_IDENTITY:
        return "the PKCS#12 file holds no private key with its certificate";
    case KEYSTORE_E_BAD_CERTIFICATE:
        return "not a DER-encoded certificate";
    case KEYSTORE_E_NOT_FOUND:
        return "no such identity in the key store";
    case KEYSTORE_E_UNSUPPORTED:
        return "the key does not support the operation";
    case KEYSTORE_E_CRYPTO:
        return "the private-key operation failed";
    case KEYSTORE_E_WATCH:
        return "the key store folder cannot be watched";
    default:
        return FAILED(hr) ? "failure" : "success";
    }
}

}  // namespace kestrin::keystore
