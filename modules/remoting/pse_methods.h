// The wire methods of the PSE: slots 7 to 35 travel as the method of the
// same number, `control` (slot 46) as method 36.
#pragma once

#include "transaction.h"

namespace ZELK::PSESVC {

enum PSEMethod : Method {
    PSE_getOwnCertificate = 7,
    PSE_encryptDigest = 8,
    PSE_decryptKey = 9,
    PSE_searchCertificate = 10,
    PSE_readApplObject = 11,
    PSE_writeApplObject = 12,
    PSE_listApplObjects = 13,
    PSE_getPrivateKey = 14,
    PSE_getCertificate = 15,
    PSE_searchSlotInfos = 16,
    PSE_writeSlotInfos = 17,
    PSE_readSlotInfos = 18,
    PSE_getSlotByName = 19,
    PSE_getSlots = 20,
    PSE_getTokenByName = 21,
    PSE_getSlotEvents = 22,
    PSE_isInTrustedCerts = 23,
    PSE_getAllTrustedCerts = 24,
    PSE_getTrustedCertList = 25,
    PSE_addTrustedCertListItem = 26,
    PSE_deleteTrustedCertListItem = 27,
    PSE_getCertInfoList = 28,
    PSE_addCertInfoListItem = 29,
    PSE_deleteCertInfoListItem = 30,
    PSE_getPasswordList = 31,
    PSE_addPasswordListItem = 32,
    PSE_deletePasswordListItem = 33,
    PSE_releaseTokenCache = 34,
    PSE_getPseFileName = 35,
    PSE_control = 36,
};

// The output buffer that the service side offers encryptDigest and decryptKey.
constexpr unsigned long kPSEOutputBuffer = 512;

}  // namespace ZELK::PSESVC
