#include <QImage>
#include <QTest>

#include "platform/imagecompleteness.h"
#include "support/imagebytes.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

QByteArray qtImage(const char *format)
{
    return imageBytes(filledImage({ 64, 48 }, Qt::darkCyan), format);
}

} // namespace

class TestImageCompleteness : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wholeFilesOnly_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("complete");
        const QByteArray png = qtImage("PNG");
        const QByteArray jpeg = qtImage("JPEG");
        const QByteArray gif = gifBytes(3);
        const QByteArray tiff = tiffBytes();
        const QByteArray webp = webpBytes();
        const QByteArray heic = heicBytes();
        const struct
        {
            const char *name;
            QByteArray bytes;
        } formats[] = { { "PNG", png }, { "JPEG", jpeg }, { "GIF", gif }, { "TIFF", tiff },
            { "WebP", webp }, { "HEIC", heic } };
        for (const auto &format : formats) {
            const QByteArray &bytes = format.bytes;
            QTest::addRow("%s whole", format.name) << bytes << true;
            QTest::addRow("%s without its last byte", format.name) << bytes.chopped(1) << false;
            QTest::addRow("%s half", format.name) << bytes.left(bytes.size() / 2) << false;
            QTest::addRow("%s header only", format.name) << bytes.left(16) << false;
        }
        // The cuts a writer in pieces leaves: each at a structural boundary.
        QTest::newRow("PNG up to its last chunk") << png.chopped(12) << false;
        QTest::newRow("PNG with bytes after its end") << png + "trailing" << true;
        QTest::newRow("GIF after its first frame") << gif.left(gifBytes(1).size() - 1) << false;
        QTest::newRow("HEIC before its data box") << heic.left(heic.size() - 208) << false;
        QTest::newRow("unknown format is left to the decoder") << QByteArray("plain text") << true;
    }
    void wholeFilesOnly()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, complete);
        QCOMPARE(ImageCompleteness::isComplete(bytes), complete);
    }
};

MARLOX_TEST_MAIN(TestImageCompleteness)
#include "tst_imagecompleteness.moc"
