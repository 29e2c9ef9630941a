#pragma once

#include <QtGlobal>

class QImage;

namespace marlox::PerceptualHash {

// A 64-bit difference hash: the image shrunk to 9×8 grey cells, one bit per
// pair of neighbours in a row (left brighter than right). The same window
// captured twice lands a few bits apart even when a clock or the pointer
// changed; unrelated images land about half the bits apart.
quint64 of(const QImage &image);

// How many bits differ.
int distance(quint64 a, quint64 b);

// At most this many differing bits counts as "similar".
inline constexpr int similarDistance = 4;

} // namespace marlox::PerceptualHash
