// The certificate viewer against OpenSSL's own tool, and the row a dialog is
// about, both reached through the dialog as the service reaches them.
#include "certviewer.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

#include "app_test.h"
#include "credwindow.h"
#include "glue.h"
#include "queues.h"
#include "windows.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_holders.h"
#include "zelk_strings.h"

namespace kestrin::app::test {
namespace {

using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::IGUIItem_Icon;
using ZELK::PSESVC::IGUIModelCert;
using ZELK::PSESVC::IGUIModelItem;

// A certificate row holding the crypto library's certificate of a DER.
class CertRow : public IGUIModelCert, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(CertRow)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelCert, IGUIModelCert)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelItem, IGUIModelItem)
    ZELK_END_INTMAP()

    ~CertRow() override
    {
        if (m_cert)
            SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->free(m_cert);
    }
    bool Load(const QByteArray& der)
    {
        OctetString octets {static_cast<uint64_t>(der.size()),
                            reinterpret_cast<unsigned char*>(const_cast<char*>(der.constData()))};
        void* cert = nullptr;
        const SEC_TYPE_TABLE* table = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
        if (!table || FAILED(table->decode(&octets, &cert)))
            return false;
        m_cert = static_cast<Certificate*>(cert);
        return true;
    }

    int64_t GetRevision() override { return 0; }
    HRESULT RegisterCallback(ZELK::PSESVC::IGUIRefreshCB*, unsigned long) override { return S_OK; }
    HRESULT UnRegisterCallback(ZELK::PSESVC::IGUIRefreshCB*, unsigned long) override { return S_OK; }
    HRESULT GetItemInfo(IGUIItem_Icon* icon, char** text) override
    {
        if (icon)
            *icon = ZELK::PSESVC::ICON_PROFILE;
        return text ? String_Copy("Profile <b>one</b>", text) : S_OK;
    }
    const char* ItemGetKey() override { return "050/KVS/one"; }
    int ItemCompare(IGUIModelItem*) override { return 0; }
    int Compare(IGUIModelCert*) override { return 0; }
    const Certificate* GetCert() override { return m_cert; }
    const char* GetFingerprint() override { return ""; }

private:
    Certificate* m_cert = nullptr;
};

QString OpenSsl(const QStringList& args)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), args);
    openssl.waitForFinished(30000);
    return QString::fromUtf8(openssl.readAllStandardOutput());
}

class CertViewerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        BeginGuiLoop();
        ZELKGLUE_SetHeadless(false);
        ZELKGLUE_LoadResources();
        ASSERT_TRUE(m_dir.isValid());
        const QString pem = m_dir.filePath(QStringLiteral("cert.pem"));
        OpenSsl({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                 QStringLiteral("-nodes"), QStringLiteral("-keyout"), m_dir.filePath(QStringLiteral("key.pem")),
                 QStringLiteral("-out"), pem, QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                 QStringLiteral("/CN=Viewer Test/O=Kestrin, Test/OU=<img src=x>"), QStringLiteral("-set_serial"),
                 QStringLiteral("0x7A3B19")});
        OpenSsl({QStringLiteral("x509"), QStringLiteral("-in"), pem, QStringLiteral("-outform"), QStringLiteral("DER"),
                 QStringLiteral("-out"), m_dir.filePath(QStringLiteral("cert.der"))});
        QFile file(m_dir.filePath(QStringLiteral("cert.der")));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        m_der = file.readAll();
        // What OpenSSL's tool prints, one "name=value" line each.
        const QString printed = OpenSsl({QStringLiteral("x509"), QStringLiteral("-in"), pem, QStringLiteral("-noout"),
                                         QStringLiteral("-subject"), QStringLiteral("-issuer"),
                                         QStringLiteral("-serial"), QStringLiteral("-fingerprint")});
        for (const QString& line : printed.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const qsizetype at = line.indexOf(QLatin1Char('='));
            m_openssl.push_back(line.mid(at + 1));
        }
        ASSERT_EQ(m_openssl.size(), 4u);
    }

    QTemporaryDir m_dir;
    QByteArray m_der;
    std::vector<QString> m_openssl;
};

TEST_F(CertViewerTest, ShowsWhatOpenSslPrints)
{
    CertificateFields fields;
    ASSERT_TRUE(ReadCertificate(m_der, &fields));
    EXPECT_EQ(fields.subject, m_openssl[0]);
    EXPECT_EQ(fields.issuer, m_openssl[1]);
    EXPECT_EQ(fields.serial, m_openssl[2]);
    EXPECT_EQ(fields.fingerprint, m_openssl[3]);
    EXPECT_FALSE(ReadCertificate(m_der.left(m_der.size() - 1), &fields));
    EXPECT_FALSE(ReadCertificate(m_der + QByteArray(1, '\0'), &fields));
    EXPECT_FALSE(ReadCertificate(QByteArray(), &fields));
}

TEST_F(CertViewerTest, DialogShowsTheCertificateOfAModel)
{
    CComObject<CertRow>* row = nullptr;
    CComObject<CertRow>::CreateInstance(&row);
    row->AddRef();
    Ref<CComObject<CertRow>> hold(row);
    ASSERT_TRUE(row->Load(m_der));
    EXPECT_EQ(CertificateDer(row->GetCert()), m_der);

    ICredUI* dialog = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
    Ref<ICredUI> holdDialog(dialog);
    EXPECT_EQ(dialog->GuiShowCert(row), S_OK);
    QWidget* viewer = nullptr;
    ASSERT_TRUE(PumpUntil([&viewer] { return (viewer = TopLevel(QStringLiteral("certificateViewer"))) != nullptr; }));
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_TRUE(viewer->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(viewer->findChild<QLabel*>(QStringLiteral("subject"))->text(), m_openssl[0]);
    EXPECT_EQ(viewer->findChild<QLabel*>(QStringLiteral("subject"))->textFormat(), Qt::PlainText);
    EXPECT_EQ(viewer->findChild<QLabel*>(QStringLiteral("fingerprint"))->text(), m_openssl[3]);
    QTest::keyClick(viewer->focusWidget(), Qt::Key_Space);
    EXPECT_TRUE(PumpUntil([] { return TopLevel(QStringLiteral("certificateViewer")) == nullptr; }));

    // The row the dialog is about: its text as written and its active picture.
    EXPECT_EQ(dialog->GuiUpdate(ICredUI::GUIITEM_ITEM, nullptr, reinterpret_cast<unsigned long>(row)), S_OK);
    std::thread service([dialog] {
        dialog->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        dialog->GuiAsk(L"About a row", 0, nullptr, 0);
        dialog->GuiEnd();
    });
    CredentialViewController* cred = CredentialWindowController::get()->content();
    ASSERT_TRUE(PumpUntil([cred] { return cred->isVisible() && cred->okButton->isEnabled(); }));
    EXPECT_EQ(cred->itemText->text(), QStringLiteral("Profile <b>one</b>"));
    EXPECT_EQ(cred->itemText->textFormat(), Qt::PlainText);
    EXPECT_FALSE(cred->itemImageView->pixmap().isNull());
    QTest::keyClick(cred, Qt::Key_Return);
    EXPECT_TRUE(PumpUntil([cred] { return !cred->isVisible(); }));
    service.join();
}

TEST(Images, CodesWithAndWithoutPictures)
{
    for (unsigned code : {256u, 257u, 512u, 513u, 768u, 769u, 1024u, 1025u, 1040u, 1041u, 1280u, 1281u})
        EXPECT_FALSE(ZELKGLUE_GetImage(static_cast<IGUIItem_Icon>(code)).isNull()) << code;
    for (unsigned code : {0u, 770u, 1026u, 1042u})
        EXPECT_TRUE(ZELKGLUE_GetImage(static_cast<IGUIItem_Icon>(code)).isNull()) << code;
    for (const char* name : {"qev_20x20.png", "about.png", "logo.png", "pass20x20.png", "user20x20.png"}) {
        QIcon icon = ZELKGLUE_GetNamedImage(name);
        ASSERT_FALSE(icon.isNull()) << name;
        // Drawn from SVG: sharp at any size.
        EXPECT_EQ(icon.pixmap(128, 128).size(), QSize(128, 128)) << name;
    }
    EXPECT_EQ(ZELKGLUE_GetText("NO_SUCH_KEY"), QString());
    EXPECT_EQ(ZELKGLUE_GetText(nullptr), QString());
}

}  // namespace
}  // namespace kestrin::app::test
