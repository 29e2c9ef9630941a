#include <QPainter>
#include <QTest>

#include "filing/codereader.h"
#include "support/codeimages.h"
#include "support/testmain.h"

using namespace marlox;

class TestCodeReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Two codes in one screenshot, each with its text and where it is drawn
    // (within a module or so), from 32-bit pixels and through gray.
    void findsEachCodeWithItsTextAndOutline()
    {
        const QString link = QStringLiteral("https://tickets.example.org/seat/42A?ref=Zürich");
        const QString secret
            = QStringLiteral("otpauth://totp/Example:alice?secret=JBSWY3DPEHPK3PXP");
        QRect linkAt;
        QRect secretAt;
        QImage image = test::screenshotWithCode(link, QPoint(60, 160), &linkAt);
        const QImage second = test::screenshotWithCode(secret, QPoint(20, 20), &secretAt);
        QPainter(&image).drawImage(QPoint(500, 140), second, secretAt.adjusted(-16, -16, 16, 16));
        secretAt.moveTopLeft(QPoint(516, 156));

        for (const QImage::Format format : { QImage::Format_RGB32, QImage::Format_RGB888 }) {
            const QList<ScreenshotCode> codes = CodeReader::read(image.convertToFormat(format));
            QCOMPARE(codes.size(), 2);
            const bool linkFirst = codes.at(0).text == link;
            for (const auto &[code, text, at] :
                { std::tuple(codes.at(linkFirst ? 0 : 1), link, linkAt),
                    std::tuple(codes.at(linkFirst ? 1 : 0), secret, secretAt) }) {
                QCOMPARE(code.text, text);
                QCOMPARE(code.format, QStringLiteral("QRCode"));
                QPolygon corners;
                for (const QPoint &corner : code.corners)
                    corners.append(corner);
                const QRect found = corners.boundingRect();
                QVERIFY((found.topLeft() - at.topLeft()).manhattanLength() <= 8);
                QVERIFY((found.bottomRight() - at.bottomRight()).manhattanLength() <= 8);
            }
        }
        QVERIFY(CodeReader::read(QImage()).isEmpty());
    }
};

MARLOX_TEST_MAIN(TestCodeReader)
#include "tst_codereader.moc"
