#include "support/codeimages.h"

#define ZX_USE_UTF8 1
#include <QPainter>

#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>

namespace marlox::test {

QImage screenshotWithCode(const QString &text, QPoint at, QRect *symbol)
{
    const ZXing::BitMatrix matrix = ZXing::MultiFormatWriter(ZXing::BarcodeFormat::QRCode)
                                        .setMargin(0)
                                        .encode(text.toStdString(), 0, 0);
    QImage image(900, 600, QImage::Format_RGB32);
    image.fill(QColor(0xf4, 0xf4, 0xf6));
    QPainter painter(&image);
    painter.drawText(QPoint(40, 50), QStringLiteral("Your boarding pass"));
    painter.drawText(QPoint(40, 90), QStringLiteral("Show this code at the gate"));
    const QRect modules(at + QPoint(16, 16), QSize(matrix.width(), matrix.height()) * 4);
    painter.fillRect(modules.adjusted(-16, -16, 16, 16), Qt::white);
    for (int y = 0; y < matrix.height(); ++y)
        for (int x = 0; x < matrix.width(); ++x)
            if (matrix.get(x, y))
                painter.fillRect(modules.x() + 4 * x, modules.y() + 4 * y, 4, 4, Qt::black);
    if (symbol)
        *symbol = modules;
    return image;
}

} // namespace marlox::test
