#include <QPainter>
#include <QTest>

#include "filing/codereader.h"
#include "support/codeimages.h"
#include "support/testmain.h"

using namespace marlox;

namespace {

QRect bounds(const ScreenshotCode &code)
{
    QPolygon polygon;
    for (const QPoint &corner : code.corners)
        polygon.append(corner);
    return polygon.boundingRect();
}

// Corners found within a module or so of where the code was drawn.
bool near(const QRect &found, const QRect &drawn)
{
    const int slack = 6;
    return qAbs(found.left() - drawn.left()) <= slack && qAbs(found.top() - drawn.top()) <= slack
        && qAbs(found.right() - drawn.right()) <= slack
        && qAbs(found.bottom() - drawn.bottom()) <= slack;
}

} // namespace

class TestCodeReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void findsEachCodeWithItsTextAndOutline_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("32-bit") << int(QImage::Format_RGB32);
        QTest::newRow("24-bit, read through gray") << int(QImage::Format_RGB888);
    }
    void findsEachCodeWithItsTextAndOutline()
    {
        QFETCH(int, format);
        const QString link = QStringLiteral("https://tickets.example.org/seat/42A?ref=Zürich");
        const QString secret
            = QStringLiteral("otpauth://totp/Example:alice?secret=JBSWY3DPEHPK3PXP&issuer=Example");
        QRect linkAt;
        QImage image = test::screenshotWithCode(link, QPoint(60, 160), &linkAt);
        const QImage second = test::qrCode(secret);
        const QPoint secondOrigin(520, 200);
        QPainter(&image).drawImage(secondOrigin, second);
        const QRect secretAt = QRect(secondOrigin, second.size()).adjusted(16, 16, -16, -16);

        const QList<ScreenshotCode> codes
            = CodeReader::read(image.convertToFormat(QImage::Format(format)));

        QCOMPARE(codes.size(), 2);
        const qsizetype linkIndex = codes.at(0).text == link ? 0 : 1;
        const ScreenshotCode &linkCode = codes.at(linkIndex);
        const ScreenshotCode &secretCode = codes.at(1 - linkIndex);
        QCOMPARE(linkCode.text, link);
        QCOMPARE(linkCode.format, QStringLiteral("QRCode"));
        QVERIFY(near(bounds(linkCode), linkAt));
        QCOMPARE(secretCode.text, secret);
        QVERIFY(near(bounds(secretCode), secretAt));
    }

    void anImageWithoutCodesHasNone()
    {
        QImage plain(400, 300, QImage::Format_RGB32);
        plain.fill(Qt::white);
        QPainter(&plain).drawText(QPoint(20, 40), QStringLiteral("No codes here"));
        QVERIFY(CodeReader::read(plain).isEmpty());
        QVERIFY(CodeReader::read(QImage()).isEmpty());
    }
};

MARLOX_TEST_MAIN(TestCodeReader)
#include "tst_codereader.moc"
