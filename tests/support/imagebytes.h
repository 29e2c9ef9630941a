#pragma once

#include <QByteArray>

namespace marlox::test {

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
