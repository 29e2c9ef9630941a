#pragma once

#include <QByteArray>
#include <QtGlobal>

class QImage;

namespace marlox::PerceptualHash {

// Difference hashes of a picture: shrunk to grey cells, one bit per pair of
// neighbours in a row (left brighter than right). `coarse` (9×8 cells, 64
// bits) finds candidates fast; `fine` (33×32 cells, 1024 bits) tells the same
// window with another time on its clock from another document in the same
// program, which the coarse cells average away.
struct Hash
{
    quint64 coarse = 0;
    QByteArray fine; // 128 bytes
    bool operator==(const Hash &) const = default;
};

Hash of(const QImage &image);

// How many bits differ (fine hashes of different lengths: all of them).
int distance(quint64 a, quint64 b);
int distance(const QByteArray &a, const QByteArray &b);

// At most this many differing coarse bits makes a candidate...
inline constexpr int similarDistance = 4;
// ...and at most this many fine ones (of 1024) a similar picture. A changed
// clock or pointer moves a few cells; other text moves hundreds.
inline constexpr int similarFineDistance = 24;

bool similar(quint64 coarseA, const QByteArray &fineA, quint64 coarseB, const QByteArray &fineB);

} // namespace marlox::PerceptualHash
