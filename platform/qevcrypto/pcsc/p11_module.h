// The PKCS#11 module that serves the cards of the PC/SC readers: a library
// named by the setting KESTRIN_PKCS11_MODULE (a path or a name dlopen
// finds; by default OpenSC's "opensc-pkcs11.so"), loaded and initialised once
// for as long as anything uses it and finalised when the last user lets go.
#pragma once

#include <memory>
#include <p11-kit/pkcs11.h>
#include <string>

#include "zelk_result.h"

namespace kestrin::qevcrypto::pcsc {

constexpr const char* kModuleSetting = "KESTRIN_PKCS11_MODULE";
constexpr const char* kDefaultModule = "opensc-pkcs11.so";

class P11Module {
public:
    ~P11Module();
    P11Module(const P11Module&) = delete;
    P11Module& operator=(const P11Module&) = delete;

    CK_FUNCTION_LIST* f() const { return m_functions; }

    // The module slot whose token serves the reader: its slot description or
    // its token label equals the reader name (blank padding aside).
    // E_TOKEN_NOTFOUND when none does.
    HRESULT FindSlot(const std::string& reader, CK_SLOT_ID* out) const;

private:
    friend HRESULT LoadModule(std::shared_ptr<P11Module>* out);
    P11Module(void* library, CK_FUNCTION_LIST* functions) : m_library(library), m_functions(functions) {}

    void* m_library;
    CK_FUNCTION_LIST* m_functions;
};

using ModulePtr = std::shared_ptr<P11Module>;

HRESULT LoadModule(ModulePtr* out);

// A PKCS#11 blank-padded text field without its padding.
std::string Unpadded(const CK_UTF8CHAR* field, size_t size);

}  // namespace kestrin::qevcrypto::pcsc
