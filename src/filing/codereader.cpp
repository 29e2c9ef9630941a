#include "filing/codereader.h"

#include <exception>

// text() as UTF-8, the form the next zxing-cpp releases keep.
#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>

#include "platform/log.h"

namespace marlox::CodeReader {

QList<ScreenshotCode> read(const QImage &image)
{
    if (image.isNull())
        return {};
    // 32-bit pixels are read in place; anything else goes through gray once.
    QImage pixels = image;
    ZXing::ImageFormat format = ZXing::ImageFormat::BGRX;
    if (QSysInfo::ByteOrder != QSysInfo::LittleEndian)
        format = ZXing::ImageFormat::XRGB;
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32
        && image.format() != QImage::Format_ARGB32_Premultiplied) {
        pixels = image.convertToFormat(QImage::Format_Grayscale8);
        format = ZXing::ImageFormat::Lum;
    }
    QList<ScreenshotCode> codes;
    try {
        const ZXing::ImageView view(pixels.constBits(), pixels.width(), pixels.height(), format,
            int(pixels.bytesPerLine()));
        // Screenshots show codes upright and at screen size: no turned or
        // shrunk copies to try, which would cost more than the rest.
        const ZXing::DecodeHints hints = ZXing::DecodeHints().setTryRotate(false);
        for (const ZXing::Result &result : ZXing::ReadBarcodes(view, hints)) {
            if (!result.isValid())
                continue;
            ScreenshotCode code { QString::fromLatin1(ZXing::ToString(result.format())),
                QString::fromStdString(result.text()), {} };
            const ZXing::Position &position = result.position();
            for (int i = 0; i < 4; ++i)
                code.corners[size_t(i)] = QPoint(position[i].x, position[i].y);
            codes.append(std::move(code));
        }
    } catch (const std::exception &e) {
        qCWarning(lcOCR, "Reading the codes of an image failed: %s", e.what());
        return {};
    }
    return codes;
}

} // namespace marlox::CodeReader
