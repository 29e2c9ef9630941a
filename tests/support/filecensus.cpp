#include "support/filecensus.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include "support/imagebytes.h"

namespace marlox::test {

QStringList regularFilesBelow(const QStringList &folders)
{
    QStringList files;
    for (const QString &folder : folders) {
        QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (it.fileInfo().isFile() && !it.fileInfo().isSymLink())
                files.append(path);
        }
    }
    files.sort();
    return files;
}

QMap<QByteArray, int> contentCensus(const QStringList &folders)
{
    QMap<QByteArray, int> census;
    for (const QString &path : regularFilesBelow(folders))
        ++census[contentDigest(path)];
    return census;
}

QByteArray contentDigest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

bool writeWholeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (file.write(bytes) != bytes.size() || !file.flush())
        return false;
    return ::fsync(file.handle()) == 0;
}

QByteArray distinctPng(int seed, int width, int height)
{
    QImage image = filledImage(
        { width, height }, QColor::fromRgb(quint32(seed * 2654435761u) | 0xff000000u));
    image.setPixel(seed % width, (seed / width) % height, qRgb(seed & 0xff, 0, 0));
    return imageBytes(image);
}

} // namespace marlox::test
