#include "support/imagebytes.h"

#include <QBuffer>
#include <QtEndian>

namespace marlox::test {

namespace {

void appendLe(QByteArray &bytes, quint32 value, int width)
{
    for (int i = 0; i < width; ++i)
        bytes.append(char((value >> (8 * i)) & 0xff));
}

void appendBe32(QByteArray &bytes, quint32 value)
{
    for (int i = 3; i >= 0; --i)
        bytes.append(char((value >> (8 * i)) & 0xff));
}

QByteArray box(const char *type, const QByteArray &payload)
{
    QByteArray bytes;
    appendBe32(bytes, quint32(8 + payload.size()));
    bytes.append(type, 4);
    return bytes + payload;
}

} // namespace

QImage filledImage(QSize size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QByteArray imageBytes(const QImage &image, const char *format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, quality);
    return bytes;
}

QByteArray gifBytes(int frames)
{
    QByteArray bytes = QByteArrayLiteral("GIF89a\x01\x00\x01\x00\x80\x00\x00"
                                         "\xff\xff\xff\x00\x00\x00");
    for (int i = 0; i < frames; ++i) {
        bytes += QByteArrayLiteral("\x21\xf9\x04\x00\x0a\x00\x00\x00");
        bytes += QByteArrayLiteral("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00");
    }
    return bytes + '\x3b';
}

QByteArray tiffBytes()
{
    const int side = 8;
    const quint16 entries = 9;
    const quint32 dataAt = 8 + 2 + entries * 12 + 4;
    const struct
    {
        quint16 tag, type;
        quint32 value;
    } fields[entries]
        = { { 256, 3, side }, { 257, 3, side }, { 258, 3, 8 }, { 259, 3, 1 }, { 262, 3, 1 },
              { 273, 4, dataAt }, { 277, 3, 1 }, { 278, 3, side }, { 279, 4, side * side } };
    QByteArray bytes = QByteArray("II*\0", 4);
    appendLe(bytes, 8, 4);
    appendLe(bytes, entries, 2);
    for (const auto &field : fields) {
        appendLe(bytes, field.tag, 2);
        appendLe(bytes, field.type, 2);
        appendLe(bytes, 1, 4);
        appendLe(bytes, field.value, 4);
    }
    appendLe(bytes, 0, 4);
    for (int i = 0; i < side * side; ++i)
        bytes.append(char(i * 4));
    return bytes;
}

QByteArray webpBytes()
{
    const QByteArray chunk
        = QByteArrayLiteral("VP8L") + QByteArray(4, '\x40') + QByteArray(64, 'x');
    QByteArray bytes = QByteArrayLiteral("RIFF");
    appendLe(bytes, quint32(4 + chunk.size()), 4);
    return bytes + "WEBP" + chunk;
}

QByteArray heicBytes()
{
    return box("ftyp", QByteArray("heic\0\0\0\0mif1heic", 16)) + box("meta", QByteArray(40, 'm'))
        + box("mdat", QByteArray(200, 'd'));
}

} // namespace marlox::test
