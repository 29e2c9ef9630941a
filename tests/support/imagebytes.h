#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>

namespace marlox::test {

// An RGB image of one colour.
QImage filledImage(QSize size, const QColor &colour);
// The image encoded in `format`; quality as QImage::save.
QByteArray imageBytes(const QImage &image, const char *format = "PNG", int quality = -1);

// Small, valid image files in formats Qt has no writer for here, built byte
// by byte. An animated GIF of `frames` 1×1 frames decodes with Qt's reader.
QByteArray gifBytes(int frames = 3);
// 8×8 grey, uncompressed, little-endian; one strip after the directory.
QByteArray tiffBytes();
// Only the container is real: a RIFF header around one opaque chunk.
QByteArray webpBytes();
// ftyp, meta and mdat boxes with opaque payloads.
QByteArray heicBytes();

} // namespace marlox::test
