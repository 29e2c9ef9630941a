#include "filing/perceptualhash.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include <QImage>

namespace marlox::PerceptualHash {

namespace {

// The smooth filter averages every pixel of a cell when it shrinks, so thin
// text like a clock moves a cell's grey level only a little.
QImage cells(const QImage &image, int columns, int rows)
{
    return image.scaled(columns, rows, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_Grayscale8);
}

} // namespace

Hash of(const QImage &image)
{
    if (image.isNull())
        return {};
    Hash hash;
    const QImage coarse = cells(image, 9, 8);
    for (int y = 0; y < 8; ++y) {
        const uchar *row = coarse.constScanLine(y);
        for (int x = 0; x < 8; ++x)
            hash.coarse = (hash.coarse << 1) | (row[x] > row[x + 1] ? 1 : 0);
    }
    const QImage fine = cells(image, 33, 32);
    hash.fine = QByteArray(128, '\0');
    for (int y = 0; y < 32; ++y) {
        const uchar *row = fine.constScanLine(y);
        for (int x = 0; x < 32; ++x) {
            if (row[x] > row[x + 1])
                hash.fine[y * 4 + x / 8] = char(uchar(hash.fine[y * 4 + x / 8]) | (1 << (x % 8)));
        }
    }
    return hash;
}

int distance(quint64 a, quint64 b)
{
    return std::popcount(a ^ b);
}

int distance(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return int(std::max(a.size(), b.size())) * 8;
    int bits = 0;
    for (qsizetype i = 0; i + 8 <= a.size(); i += 8) {
        quint64 x = 0;
        quint64 y = 0;
        std::memcpy(&x, a.constData() + i, 8);
        std::memcpy(&y, b.constData() + i, 8);
        bits += std::popcount(x ^ y);
    }
    for (qsizetype i = a.size() / 8 * 8; i < a.size(); ++i)
        bits += std::popcount(uchar(a.at(i) ^ b.at(i)));
    return bits;
}

bool similar(quint64 coarseA, const QByteArray &fineA, quint64 coarseB, const QByteArray &fineB)
{
    return distance(coarseA, coarseB) <= similarDistance
        && distance(fineA, fineB) <= similarFineDistance;
}

} // namespace marlox::PerceptualHash
