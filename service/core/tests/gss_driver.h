// Plays the crypto library's secure-connection layer on a PSE: the control
// actions of one connection with their attribute chains (in lists the
// library fills, out lists whose entries it places in advance), the own
// certificate, signatures checked with OpenSSL against the credential the
// service chose, and the temporary key's operations.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qev_pse.h"
#include "qevcrypto.h"

namespace kestrin::service::test {

struct ServerOffer {
    std::string target = "CN=server";  // 871; empty: absent
    std::vector<std::string> issuers;  // 130; none: absent
    bool kerberos = true;              // 915 placed in the out list
    bool x509 = true;                  // 916 placed
    int encryptionOnly = -1;           // 911: absent when negative
    int64_t lifetime = -1;             // 910 of GetTempKey: absent when negative
};

class GssDriver {
public:
    GssDriver(PSE* pse, ServerOffer offer);
    ~GssDriver();
    GssDriver(const GssDriver&) = delete;
    GssDriver& operator=(const GssDriver&) = delete;

    // "ConnectionStart": the number (0 when none was written) and "GssConfig".
    HRESULT Start();
    unsigned Number() const { return m_number; }
    void SetNumber(unsigned number) { m_number = number; }
    const std::string& Config() const { return m_config; }

    // "GetCredentials" and what it wrote: the chosen credential's token URI
    // (empty when 916 was not written), whether a Kerberos ticket came, 917.
    HRESULT GetCredentials();
    const std::string& CredentialURI() const { return m_credential; }
    bool GotTicket() const { return m_ticket; }
    int TempKeyFlag() const { return m_tempKeyFlag; }

    // "GetTempKey" asking for an EC P-256 pair; whether the key was handed out.
    HRESULT GetTempKey();
    bool GotTempKey() const { return m_tempKey != nullptr; }
    // The key of 905 that names the temporary pair (a KeyInfo), NULL when none.
    void* TempKey() const { return m_tempKey; }

    // getOwnCertificate with 901: the token URI of the first certificate.
    HRESULT OwnCertificate(std::string& uri);
    // encryptDigest over `data` with the real key (or the temporary key),
    // the signature checked against the certificate of 916 (or the
    // temporary public key). `bufferSize` 0: a large buffer.
    HRESULT Sign(const std::string& data, bool withTempKey, bool& verified, unsigned long bufferSize = 0,
                 unsigned long* needed = nullptr);
    HRESULT Decrypt(bool withTempKey);
    // "ManualServerTrust" with a server certificate; 879 (-1 when unwritten).
    HRESULT ManualServerTrust(int& trusted);
    HRESULT Action(const char* action);

private:
    struct Lists;
    PSE* m_pse;
    ServerOffer m_offer;
    unsigned m_number = 0;
    std::string m_config;
    std::string m_credential;
    std::string m_credentialDer;
    bool m_ticket = false;
    int m_tempKeyFlag = -1;
    void* m_tempKey = nullptr;  // KeyInfo of 905
    std::string m_tempPublic;   // 906
};

}  // namespace kestrin::service::test
