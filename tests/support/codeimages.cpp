#include "support/codeimages.h"

#define ZX_USE_UTF8 1
#include <QPainter>

#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>

namespace marlox::test {

namespace {

constexpr int quietModules = 4;

} // namespace

QImage qrCode(const QString &text, int module)
{
    const ZXing::BitMatrix matrix = ZXing::MultiFormatWriter(ZXing::BarcodeFormat::QRCode)
                                        .setMargin(0)
                                        .encode(text.toStdString(), 0, 0);
    const int side = (matrix.width() + 2 * quietModules) * module;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < matrix.height(); ++y) {
        for (int x = 0; x < matrix.width(); ++x) {
            if (matrix.get(x, y))
                painter.fillRect((x + quietModules) * module, (y + quietModules) * module, module,
                    module, Qt::black);
        }
    }
    return image;
}

QImage screenshotWithCode(const QString &text, QPoint at, QRect *symbol, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(0xf4, 0xf4, 0xf6));
    QPainter painter(&image);
    QFont font = painter.font();
    font.setPixelSize(22);
    painter.setFont(font);
    painter.setPen(QColor(0x20, 0x20, 0x28));
    painter.drawText(QPoint(40, 50), QStringLiteral("Your boarding pass"));
    painter.drawText(QPoint(40, 90), QStringLiteral("Show this code at the gate"));
    const QImage code = qrCode(text);
    painter.drawImage(at, code);
    if (symbol) {
        const int margin = quietModules * 4;
        *symbol = QRect(at, code.size()).adjusted(margin, margin, -margin, -margin);
    }
    return image;
}

} // namespace marlox::test
