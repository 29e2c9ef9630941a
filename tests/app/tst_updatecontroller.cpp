#include <memory>

#include <QTest>

#include <openssl/evp.h>

#include "app/updatecontroller.h"
#include "support/testmain.h"

using namespace marlox;

namespace {
const QString kKey = QString::fromLatin1(QByteArray(32, '\x07').toBase64());
}

class TestUpdateController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void enablingRule_data()
    {
        QTest::addColumn<QString>("feed");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("valid") << "https://updates.example.org/feed.xml" << kKey << true;
        QTest::newRow("spaces around both") << " \thttps://example.org/f \t"
                                            << " " + kKey + "\t" << true;
        QTest::newRow("http") << "http://example.org/feed.xml" << kKey << false;
        QTest::newRow("invalid tld") << "https://updates.invalid/feed.xml" << kKey << false;
        QTest::newRow("host invalid") << "https://invalid/feed.xml" << kKey << false;
        QTest::newRow("no host") << "https:///feed.xml" << kKey << false;
        QTest::newRow("empty feed") << "" << kKey << false;
        QTest::newRow("31-byte key")
            << "https://example.org/f" << QString::fromLatin1(QByteArray(31, 'a').toBase64())
            << false;
        QTest::newRow("33-byte key")
            << "https://example.org/f" << QString::fromLatin1(QByteArray(33, 'a').toBase64())
            << false;
        QTest::newRow("placeholder") << "https://example.org/f"
                                     << "  REPLACE_WITH_SPARKLE_PUBLIC_ED_KEY " << false;
        QTest::newRow("not base64") << "https://example.org/f"
                                    << "***" << false;
    }
    void enablingRule()
    {
        QFETCH(QString, feed);
        QFETCH(QString, key);
        QFETCH(bool, enabled);
        const UpdateController controller(feed.isEmpty() ? std::nullopt : std::optional(feed), key);
        QCOMPARE(controller.isEnabled(), enabled);
        QCOMPARE(controller.canCheckForUpdates(), enabled);
    }

    void buildWithoutFeedIsOff()
    {
        const UpdateController controller;
        QVERIFY(!controller.isEnabled());
    }

    void versionsCompareNumerically()
    {
        QVERIFY(UpdateController::compareVersions(QStringLiteral("1.10.0"), QStringLiteral("1.9.9"))
            > 0);
        QVERIFY(
            UpdateController::compareVersions(QStringLiteral("1.2"), QStringLiteral("1.2.0")) == 0);
        QVERIFY(UpdateController::compareVersions(QStringLiteral("0.1.0"), QStringLiteral("0.1.1"))
            < 0);
        QVERIFY(
            UpdateController::compareVersions(QStringLiteral("2.0-beta"), QStringLiteral("1.99"))
            > 0);
    }

    void feedYieldsTheNewestRelease()
    {
        const QByteArray feed
            = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>Marlox</title>"
              "<item><releaseNotesLink>https://example.org/notes/1.2</releaseNotesLink>"
              "<enclosure url=\"https://example.org/marlox-1.2.deb\" version=\"1.2.0\" "
              "edSignature=\"AAAA\"/></item>"
              "<item><releaseNotesLink>https://example.org/notes/1.10</releaseNotesLink>"
              "<enclosure url=\"https://example.org/marlox-1.10.deb\" version=\"1.10.0\" "
              "edSignature=\"AAAA\"/></item>"
              "</channel></rss>";
        const auto release = UpdateController::newestRelease(feed);
        QVERIFY(release);
        QCOMPARE(release->version, QStringLiteral("1.10.0"));
        QCOMPARE(release->notesLink, QUrl(QStringLiteral("https://example.org/notes/1.10")));
        QVERIFY(!UpdateController::newestRelease("<rss><channel><item>"));
    }

    void signaturesAreVerifiedWithTheKey()
    {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> kctx(
            EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
        EVP_PKEY *raw = nullptr;
        QVERIFY(EVP_PKEY_keygen_init(kctx.get()) == 1 && EVP_PKEY_keygen(kctx.get(), &raw) == 1);
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(raw, &EVP_PKEY_free);
        QByteArray publicKey(32, '\0');
        size_t length = 32;
        QVERIFY(EVP_PKEY_get_raw_public_key(
                    key.get(), reinterpret_cast<unsigned char *>(publicKey.data()), &length)
            == 1);

        const QByteArray data = "the release package";
        QByteArray signature(64, '\0');
        size_t signatureLength = 64;
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(
            EVP_MD_CTX_new(), &EVP_MD_CTX_free);
        QVERIFY(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1);
        QVERIFY(EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()),
                    &signatureLength, reinterpret_cast<const unsigned char *>(data.constData()),
                    size_t(data.size()))
            == 1);

        QVERIFY(UpdateController::verifySignature(data, signature, publicKey));
        QVERIFY(!UpdateController::verifySignature(data + "!", signature, publicKey));
        QByteArray otherKey = publicKey;
        otherKey[0] = char(otherKey[0] ^ 1);
        QVERIFY(!UpdateController::verifySignature(data, signature, otherKey));
        QVERIFY(!UpdateController::verifySignature(data, signature.left(63), publicKey));
    }

    void automaticChecksArePersisted()
    {
        {
            UpdateController controller(QStringLiteral("https://example.org/f"), kKey);
            // Nothing is fetched until the user asks for automatic checks.
            QVERIFY(!controller.automaticallyChecksForUpdates());
            controller.setAutomaticallyChecksForUpdates(true);
        }
        UpdateController again(QStringLiteral("https://example.org/f"), kKey);
        QVERIFY(again.automaticallyChecksForUpdates());
    }
};

MARLOX_TEST_MAIN(TestUpdateController)
#include "tst_updatecontroller.moc"
