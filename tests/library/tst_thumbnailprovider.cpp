#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>

#include "library/thumbnailprovider.h"
#include "support/imagebytes.h"
#include "support/testmain.h"

using namespace marlox;

namespace {

QImage drawn(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.fillRect(0, 0, width / 2, height / 2, Qt::red);
    return image;
}

// A JPEG whose EXIF orientation tag says how to turn it for display.
QByteArray jpegWithOrientation(const QImage &image, quint16 orientation)
{
    const QByteArray jpeg = test::imageBytes(image, "JPEG");
    QByteArray exif("Exif\0\0", 6);
    exif += QByteArray("MM\0\x2a\0\0\0\x08", 8); // big-endian TIFF, IFD at 8
    exif += QByteArray("\0\x01", 2); // one entry
    exif += QByteArray("\x01\x12\0\x03\0\0\0\x01", 8); // Orientation, SHORT, count 1
    exif += char(orientation >> 8);
    exif += char(orientation & 0xff);
    exif += QByteArray("\0\0", 2);
    exif += QByteArray("\0\0\0\0", 4); // no next IFD
    QByteArray segment("\xff\xe1", 2);
    const int length = exif.size() + 2;
    segment += char(length >> 8);
    segment += char(length & 0xff);
    segment += exif;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

// Collects the one delivery of an asynchronous request.
struct Delivery
{
    int count = 0;
    QImage image;
    ThumbnailProvider::Callback callback()
    {
        return [this](const QImage &result) {
            ++count;
            image = result;
        };
    }
};

} // namespace

class TestThumbnailProvider : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString write(const QString &name, const QImage &image)
    {
        const QString path = m_dir.filePath(name);
        if (!image.save(path))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private Q_SLOTS:
    void maxSide_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<int>("side");
        QTest::newRow("screenshot in a retina cell") << QSize(3024, 1964) << QSize(360, 200) << 308;
        QTest::newRow("small image is not enlarged") << QSize(100, 50) << QSize(360, 200) << 100;
        QTest::newRow("portrait limited by height") << QSize(1964, 3024) << QSize(360, 200) << 200;
        QTest::newRow("unknown size takes the box") << QSize(0, 0) << QSize(360, 200) << 360;
        QTest::newRow("at least one pixel") << QSize(10000, 1) << QSize(1, 1) << 1;
    }

    void maxSide()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, box);
        QFETCH(int, side);
        QCOMPARE(ThumbnailProvider::maxThumbnailSide(
                     source.width(), source.height(), box.width(), box.height()),
            side);
    }

    void pixelSize_data()
    {
        QTest::addColumn<double>("scale");
        QTest::addColumn<QSize>("pixels");
        QTest::newRow("scale 1") << 1.0 << QSize(180, 100);
        QTest::newRow("scale below 1 counts as 1") << 0.5 << QSize(180, 100);
        QTest::newRow("scale 2") << 2.0 << QSize(360, 200);
        QTest::newRow("fractional scale truncates") << 1.25 << QSize(225, 125);
    }

    void pixelSize()
    {
        QFETCH(double, scale);
        QFETCH(QSize, pixels);
        QCOMPARE(ThumbnailProvider::pixelSize(180, 100, scale), pixels);
        QCOMPARE(ThumbnailProvider::pixelSize(0.2, 0.2, scale), QSize(1, 1));
    }

    void decodesToTheBoxWithoutEnlarging()
    {
        const QString big = write(QStringLiteral("big.png"), drawn(3024, 1964));
        QCOMPARE(ThumbnailProvider::decode(big, 360, 200).size(), QSize(308, 200));
        const QString small = write(QStringLiteral("small.png"), drawn(100, 50));
        QCOMPARE(ThumbnailProvider::decode(small, 360, 200).size(), QSize(100, 50));
    }

    void appliesOrientation()
    {
        // Stored 400 × 300, shown turned a quarter: 300 × 400, so 150 × 200 in the box.
        const QString path = m_dir.filePath(QStringLiteral("turned.jpg"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(jpegWithOrientation(drawn(400, 300), 6));
        file.close();
        const QImage thumb = ThumbnailProvider::decode(path, 360, 200);
        QCOMPARE(thumb.size(), QSize(150, 200));
        // The red quarter (top left as stored) is top right once turned clockwise.
        QVERIFY(qRed(thumb.pixel(140, 10)) > 200 && qGreen(thumb.pixel(140, 10)) < 60);
        QVERIFY(qGreen(thumb.pixel(10, 10)) > 200);
    }

    void missingOrBrokenFilesGiveNone()
    {
        ThumbnailProvider provider(2, ThumbnailProvider::defaultCostLimit);
        Delivery delivery;
        provider.thumbnail(
            m_dir.filePath(QStringLiteral("absent.png")), 180, 100, this, delivery.callback());
        QTRY_COMPARE_WITH_TIMEOUT(delivery.count, 1, 10000);
        QVERIFY(delivery.image.isNull());

        const QString junk = m_dir.filePath(QStringLiteral("junk.png"));
        QFile file(junk);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not an image");
        file.close();
        QVERIFY(provider.load(junk, 180, 100).isNull());
        QVERIFY(provider.cachedImage(junk, 180, 100).isNull());
    }

    void cancelledBeforeStartNeverDecodes()
    {
        const QString path = write(QStringLiteral("cancel.png"), drawn(640, 400));
        ThumbnailProvider provider(1, ThumbnailProvider::defaultCostLimit);
        QSemaphore gate;
        QSemaphore blocking;
        provider.pool().start([&] {
            blocking.release();
            gate.acquire();
        });
        QVERIFY(blocking.tryAcquire(1, 10000)); // the only thread is now busy

        Delivery cancelled;
        auto request = provider.thumbnail(path, 180, 100, this, cancelled.callback());
        Delivery kept;
        provider.thumbnail(path, 180, 100, this, kept.callback());
        request.cancel();
        gate.release();

        QTRY_COMPARE_WITH_TIMEOUT(kept.count, 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(cancelled.count, 1, 10000);
        QVERIFY(cancelled.image.isNull());
        QCOMPARE(kept.image.size(), QSize(160, 100));
        QCOMPARE(provider.decodeCount(), 1);
    }

    void replacedFileDecodesAgain()
    {
        const QString path = write(QStringLiteral("replaced.png"), drawn(800, 400));
        ThumbnailProvider provider(2, ThumbnailProvider::defaultCostLimit);
        QVERIFY(provider.cachedImage(path, 180, 100).isNull());

        Delivery first;
        provider.thumbnail(path, 180, 100, this, first.callback());
        QTRY_COMPARE_WITH_TIMEOUT(first.count, 1, 10000);
        QCOMPARE(first.image.size(), QSize(180, 90));
        QCOMPARE(provider.cachedImage(path, 180, 100).size(), QSize(180, 90));
        // A second request for the same file is served from the cache.
        QCOMPARE(provider.load(path, 180, 100).size(), QSize(180, 90));
        QCOMPARE(provider.decodeCount(), 1);

        QVERIFY(drawn(200, 400).save(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(
            QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
        file.close();
        // Until someone asks again the old thumbnail is what the cache knows.
        QCOMPARE(provider.cachedImage(path, 180, 100).size(), QSize(180, 90));

        Delivery second;
        provider.thumbnail(path, 180, 100, this, second.callback());
        QTRY_COMPARE_WITH_TIMEOUT(second.count, 1, 10000);
        QCOMPARE(second.image.size(), QSize(50, 100));
        QCOMPARE(provider.decodeCount(), 2);
        QCOMPARE(provider.cachedImage(path, 180, 100).size(), QSize(50, 100));
        // Another box size is another slot.
        QVERIFY(provider.cachedImage(path, 360, 200).isNull());
    }

    void cacheIsBoundedByBytes()
    {
        const QString a = write(QStringLiteral("a.png"), drawn(180, 100));
        const QString b = write(QStringLiteral("b.png"), drawn(180, 100));
        // Room for one 180 × 100 32-bit bitmap, not two.
        ThumbnailProvider provider(1, 180 * 4 * 100 + 10);
        QVERIFY(!provider.load(a, 180, 100).isNull());
        QVERIFY(!provider.cachedImage(a, 180, 100).isNull());
        QVERIFY(!provider.load(b, 180, 100).isNull());
        QVERIFY(!provider.cachedImage(b, 180, 100).isNull());
        QVERIFY(provider.cachedImage(a, 180, 100).isNull());
    }

    void keyTexts()
    {
        const ThumbnailProvider::Key key { QStringLiteral("/p/a.png"),
            QDateTime(QDate(2001, 1, 1), QTime(0, 1, 40, 500), Qt::UTC), 360, 200 };
        QCOMPARE(key.requestSlot(), QStringLiteral("/p/a.png|360x200"));
        QCOMPARE(key.cacheKey(), QStringLiteral("/p/a.png|100.5|360x200"));
    }
};

MARLOX_TEST_MAIN(TestThumbnailProvider)
#include "tst_thumbnailprovider.moc"
