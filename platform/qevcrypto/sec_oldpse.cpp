// "SEC_OLDPSE_1": PSE images of the former format. The library writes and
// reads one image format only, so no image is of the former one.
#include "qev_keyconvert.h"
#include "qev_tables.h"

namespace {

HRESULT sec_oldpse_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_OLDPSE_1", "PSE files of the former format");
}

HRESULT sec_oldpse_LPSdecrypt_PSE(const unsigned char*, unsigned long, const char*, OctetString** decrypted)
{
    if (decrypted != nullptr)
        *decrypted = nullptr;
    return S_OK;
}

QevTable<> s_table("SEC_OLDPSE_1", &sec_oldpse_get_info, {{1, qev_slot(&sec_oldpse_LPSdecrypt_PSE)}});

}  // namespace
