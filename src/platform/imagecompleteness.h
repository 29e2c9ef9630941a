#pragma once

#include <QByteArray>
#include <QString>

namespace marlox {

// The image extensions Marlox watches and rebuilds from, in any case.
bool isScreenshotExtension(const QString &suffix);

namespace ImageCompleteness {

// Whether the bytes hold a whole image file rather than the first part of one
// still being written. Qt decodes a cut-off JPEG or GIF without complaint, so
// the decoder alone can't tell. Known formats are recognised by their magic
// bytes and checked by their own structure (PNG's IEND chunk, GIF's trailer,
// JPEG's end-of-image marker, the sizes in TIFF, WebP and HEIC containers);
// anything else is left to the decoder and counts as complete.
bool isComplete(const QByteArray &bytes);

} // namespace ImageCompleteness

} // namespace marlox
