#include "certviewer.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

#include "glue.h"
#include "zelk_holders.h"

namespace kestrin::app {
namespace {

// As `openssl x509` prints names, but with UTF-8 shown as such.
QString NameText(const X509_NAME* name)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return QString();
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, static_cast<qsizetype>(length));
}

QLabel* Value(const char* name, const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setWordWrap(true);
    return label;
}

}  // namespace

QByteArray CertificateDer(const Certificate* cert)
{
    const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
    if (cert == nullptr || table == nullptr || table->encode == nullptr)
        return QByteArray();
    OctetString* der = nullptr;
    if (FAILED(table->encode(cert, &der)) || der == nullptr)
        return QByteArray();
    QByteArray bytes(reinterpret_cast<const char*>(der->data), static_cast<qsizetype>(der->length));
    AuxFree(&der);
    return bytes;
}

bool ReadCertificate(const QByteArray& der, CertificateFields* fields)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, der.size()), &X509_free);
    if (!cert || p != reinterpret_cast<const unsigned char*>(der.constData()) + der.size())
        return false;
    fields->subject = NameText(X509_get_subject_name(cert.get()));
    fields->issuer = NameText(X509_get_issuer_name(cert.get()));
    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr),
                                                       &BN_free);
    char* hex = serial ? BN_bn2hex(serial.get()) : nullptr;
    fields->serial = hex ? QString::fromLatin1(hex) : QString();
    OPENSSL_free(hex);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert.get(), EVP_sha1(), digest, &length) != 1)
        return false;
    QStringList bytes;
    for (unsigned int i = 0; i < length; ++i)
        bytes << QStringLiteral("%1").arg(digest[i], 2, 16, QLatin1Char('0')).toUpper();
    fields->fingerprint = bytes.join(QLatin1Char(':'));
    return true;
}

QWidget* ShowCertificate(const QByteArray& der)
{
    CertificateFields fields;
    if (!ReadCertificate(der, &fields))
        return nullptr;
    auto* viewer = new QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    viewer->setObjectName(QStringLiteral("certificateViewer"));
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->setWindowTitle(ZELKGLUE_GetText("CERT_VIEW_TITLE"));
    auto* form = new QFormLayout;
    form->addRow(ZELKGLUE_GetText("CERT_VIEW_SUBJECT"), Value("subject", fields.subject, viewer));
    form->addRow(ZELKGLUE_GetText("CERT_VIEW_ISSUER"), Value("issuer", fields.issuer, viewer));
    form->addRow(ZELKGLUE_GetText("CERT_VIEW_SERIAL"), Value("serial", fields.serial, viewer));
    form->addRow(ZELKGLUE_GetText("CERT_VIEW_FINGERPRINT"), Value("fingerprint", fields.fingerprint, viewer));
    auto* close = new QPushButton(ZELKGLUE_GetText("DLG_CRED_OK"), viewer);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setDefault(true);
    QObject::connect(close, &QPushButton::clicked, viewer, &QWidget::close);
    auto* layout = new QVBoxLayout(viewer);
    layout->addLayout(form);
    layout->addWidget(close, 0, Qt::AlignRight);
    viewer->show();
    viewer->activateWindow();
    close->setFocus();
    return viewer;
}

}  // namespace kestrin::app
