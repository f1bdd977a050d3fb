// ZELK::ZELKPSE::FILE: a PSE of trusted certificates read from a certificate
// file or from the files of a folder; it has no slot, no token and no own
// certificates.
#pragma once

#include "pse_base.h"

namespace ZELK::ZELKPSE {

class FILE : public Base {
public:
    // "file:///" + an absolute path, or "file://" + a path. A path that is
    // missing or unreadable gives a PSE without trusted certificates.
    static HRESULT New(const char* name, PSE** out);

    HRESULT Init(const char* name);

    static HRESULT ReadFile(const char* path, SET_OF_Certificate** out);
    static HRESULT ReadDir(const char* path, SET_OF_Certificate** out);
};

}  // namespace ZELK::ZELKPSE
