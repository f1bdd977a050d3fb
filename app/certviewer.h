// The certificate viewer: subject, issuer, serial number and SHA-1
// fingerprint of one certificate, read from its DER by OpenSSL.
#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>

#include "qev_values.h"
#include "qevcrypto.h"

namespace kestrin::app {

// The DER of a certificate of the crypto library; empty when there is none.
QByteArray CertificateDer(const Certificate* cert);

struct CertificateFields {
    QString subject;
    QString issuer;
    QString serial;
    QString fingerprint;
};
// False when the DER is no certificate.
bool ReadCertificate(const QByteArray& der, CertificateFields* fields);

// GUI thread: a floating window showing the certificate; NULL for bad DER.
QWidget* ShowCertificate(const QByteArray& der);

}  // namespace kestrin::app
