#include "filing/perceptualhash.h"

#include <bit>

#include <QImage>

namespace marlox::PerceptualHash {

quint64 of(const QImage &image)
{
    if (image.isNull())
        return 0;
    // The smooth filter averages every pixel of a cell when it shrinks, so
    // thin text like a clock moves a cell's grey level only a little.
    const QImage small = image.scaled(9, 8, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                             .convertToFormat(QImage::Format_Grayscale8);
    quint64 hash = 0;
    for (int y = 0; y < 8; ++y) {
        const uchar *row = small.constScanLine(y);
        for (int x = 0; x < 8; ++x)
            hash = (hash << 1) | (row[x] > row[x + 1] ? 1 : 0);
    }
    return hash;
}

int distance(quint64 a, quint64 b)
{
    return std::popcount(a ^ b);
}

} // namespace marlox::PerceptualHash
