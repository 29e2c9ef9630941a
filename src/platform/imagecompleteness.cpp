#include "platform/imagecompleteness.h"

#include <initializer_list>

#include <QStringList>

namespace marlox {

bool isScreenshotExtension(const QString &suffix)
{
    static const QStringList extensions
        = { QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg"),
              QStringLiteral("heic"), QStringLiteral("tiff"), QStringLiteral("gif") };
    return extensions.contains(suffix.toLower());
}

} // namespace marlox

namespace marlox::ImageCompleteness {

namespace {

// Bounds-checked reads; a read past the end answers none via `ok`.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes, bool littleEndian = false)
        : m_data(reinterpret_cast<const uchar *>(bytes.constData())),
          m_size(bytes.size()),
          m_little(littleEndian)
    { }

    qint64 size() const { return m_size; }
    bool has(qint64 at, qint64 count) const
    {
        return at >= 0 && count >= 0 && at <= m_size && count <= m_size - at;
    }
    quint64 number(qint64 at, int width, bool &ok) const
    {
        if (!has(at, width)) {
            ok = false;
            return 0;
        }
        quint64 value = 0;
        for (int i = 0; i < width; ++i) {
            const int index = m_little ? width - 1 - i : i;
            value = (value << 8) | m_data[at + index];
        }
        return value;
    }
    bool startsWith(qint64 at, const char *text, int length) const
    {
        if (!has(at, length))
            return false;
        for (int i = 0; i < length; ++i) {
            if (m_data[at + i] != uchar(text[i]))
                return false;
        }
        return true;
    }
    uchar byte(qint64 at) const { return m_data[at]; }

private:
    const uchar *m_data;
    qint64 m_size;
    bool m_little;
};

bool pngComplete(const Reader &in)
{
    qint64 at = 8;
    for (;;) {
        bool ok = true;
        const quint64 length = in.number(at, 4, ok);
        if (!ok || length > 0x7fffffffu || !in.has(at, 12 + qint64(length)))
            return false;
        if (in.startsWith(at + 4, "IEND", 4))
            return true;
        at += 12 + qint64(length);
    }
}

// Skips a run of GIF data sub-blocks; the position after the terminator, or -1.
qint64 skipSubBlocks(const Reader &in, qint64 at)
{
    while (in.has(at, 1)) {
        const int length = in.byte(at);
        if (length == 0)
            return at + 1;
        at += 1 + length;
    }
    return -1;
}

bool gifComplete(const Reader &in)
{
    if (!in.has(0, 13))
        return false;
    qint64 at = 13;
    const uchar flags = in.byte(10);
    if (flags & 0x80)
        at += 3 * (qint64(1) << ((flags & 7) + 1));
    while (in.has(at, 1)) {
        switch (in.byte(at)) {
        case 0x3B:
            return true;
        case 0x21: // extension: label, then sub-blocks
            at = skipSubBlocks(in, at + 2);
            break;
        case 0x2C: { // image: descriptor, optional colour table, code size, sub-blocks
            if (!in.has(at, 10))
                return false;
            const uchar local = in.byte(at + 9);
            at += 10;
            if (local & 0x80)
                at += 3 * (qint64(1) << ((local & 7) + 1));
            at = skipSubBlocks(in, at + 1);
            break;
        }
        default:
            return false;
        }
        if (at < 0)
            return false;
    }
    return false;
}

bool jpegComplete(const QByteArray &bytes)
{
    return bytes.endsWith(QByteArrayLiteral("\xFF\xD9"));
}

int tiffTypeSize(quint64 type)
{
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
        return 1;
    case 3:
    case 8:
        return 2;
    case 4:
    case 9:
    case 11:
    case 13:
        return 4;
    case 5:
    case 10:
    case 12:
        return 8;
    default:
        return 0;
    }
}

// The first image's directory and every value and strip or tile it names
// must lie within the bytes.
bool tiffComplete(const Reader &in)
{
    bool ok = true;
    const qint64 directory = qint64(in.number(4, 4, ok));
    const qint64 entries = qint64(in.number(directory, 2, ok));
    if (!ok || !in.has(directory + 2, entries * 12 + 4))
        return false;
    struct Array
    {
        qint64 offset = -1; // where the values are
        qint64 count = 0;
        int width = 0;
    };
    Array offsets, counts;
    for (qint64 i = 0; i < entries; ++i) {
        const qint64 entry = directory + 2 + i * 12;
        const quint64 tag = in.number(entry, 2, ok);
        const int width = tiffTypeSize(in.number(entry + 2, 2, ok));
        const quint64 count = in.number(entry + 4, 4, ok);
        if (!ok)
            return false;
        const qint64 bytes = qint64(count) * width;
        qint64 valueAt = entry + 8;
        if (bytes > 4) {
            valueAt = qint64(in.number(entry + 8, 4, ok));
            if (!in.has(valueAt, bytes))
                return false;
        }
        if (tag == 273 || tag == 324)
            offsets = { valueAt, qint64(count), width };
        else if (tag == 279 || tag == 325)
            counts = { valueAt, qint64(count), width };
    }
    if (offsets.offset < 0 || counts.offset < 0 || offsets.count != counts.count)
        return offsets.offset < 0 && counts.offset < 0;
    for (qint64 i = 0; i < offsets.count; ++i) {
        const qint64 start
            = qint64(in.number(offsets.offset + i * offsets.width, offsets.width, ok));
        const qint64 length = qint64(in.number(counts.offset + i * counts.width, counts.width, ok));
        if (!ok || !in.has(start, length))
            return false;
    }
    return true;
}

bool webpComplete(const Reader &in)
{
    bool ok = true;
    const quint64 size = in.number(4, 4, ok);
    return ok && in.has(8, qint64(size));
}

// Top-level boxes must tile the bytes exactly, and both the box describing
// the image and the one holding its data must be among them.
bool isoMediaComplete(const Reader &in)
{
    qint64 at = 0;
    bool sawMeta = false;
    bool sawData = false;
    while (at < in.size()) {
        bool ok = true;
        qint64 size = qint64(in.number(at, 4, ok));
        if (!ok || !in.has(at + 4, 4))
            return false;
        sawMeta = sawMeta || in.startsWith(at + 4, "meta", 4);
        sawData = sawData || in.startsWith(at + 4, "mdat", 4);
        if (size == 1) {
            size = qint64(in.number(at + 8, 8, ok));
            if (!ok || size < 16)
                return false;
        } else if (size == 0) {
            return sawMeta && sawData; // runs to the end of the file
        } else if (size < 8) {
            return false;
        }
        if (!in.has(at, size))
            return false;
        at += size;
    }
    return sawMeta && sawData;
}

} // namespace

bool isComplete(const QByteArray &bytes)
{
    const Reader big(bytes);
    if (big.startsWith(0, "\x89PNG\r\n\x1a\n", 8))
        return pngComplete(big);
    if (big.startsWith(0, "GIF87a", 6) || big.startsWith(0, "GIF89a", 6))
        return gifComplete(Reader(bytes, true));
    if (big.startsWith(0, "\xFF\xD8\xFF", 3))
        return jpegComplete(bytes);
    if (big.startsWith(0, "II*\0", 4))
        return tiffComplete(Reader(bytes, true));
    if (big.startsWith(0, "MM\0*", 4))
        return tiffComplete(big);
    if (big.startsWith(0, "RIFF", 4) && big.startsWith(8, "WEBP", 4))
        return webpComplete(Reader(bytes, true));
    if (big.startsWith(4, "ftyp", 4))
        return isoMediaComplete(big);
    return true;
}

} // namespace marlox::ImageCompleteness
