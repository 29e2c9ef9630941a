#include "storage/bookmarkstore.h"

#include <cerrno>

#include <QDir>
#include <QFileInfo>

#include "platform/errors.h"
#include "platform/log.h"
#include "storage/preferences.h"

namespace marlox {

QString BookmarkStore::Resolution::toString() const
{
    switch (kind) {
    case Kind::resolved:
        return QStringLiteral("resolved(%1)").arg(location);
    case Kind::failed:
        return QStringLiteral("failed(%1)").arg(reason);
    case Kind::notSet:
        return QStringLiteral("notSet");
    }
    return {};
}

void BookmarkStore::save(const QString &location, const QString &key)
{
    if (!QDir::isAbsolutePath(location))
        throw FileError(EINVAL, location, QStringLiteral("remember"));
    Preferences::setValue(key, QDir::cleanPath(location).toUtf8());
    qCInfo(lcBookmarkStore, "Saved bookmark for key %s: %s", qUtf8Printable(key),
        qUtf8Printable(location));
}

BookmarkStore::Resolution BookmarkStore::resolve(const QString &key)
{
    const QVariant stored = Preferences::value(key);
    const QByteArray bytes = stored.toByteArray();
    if (!stored.isValid() || bytes.isEmpty()) {
        qCInfo(lcBookmarkStore, "No bookmark stored for key %s", qUtf8Printable(key));
        return Resolution::notSet();
    }
    const QString path = QString::fromUtf8(bytes);
    const QFileInfo info(path);
    if (!QDir::isAbsolutePath(path) || !info.isDir()) {
        const QString reason = QStringLiteral("The folder “%1” doesn't exist.").arg(path);
        qCWarning(lcBookmarkStore, "Bookmark resolve failed for key %s: %s", qUtf8Printable(key),
            qUtf8Printable(reason));
        return Resolution::failed(reason);
    }
    qCInfo(lcBookmarkStore, "Bookmark resolved for key %s: %s (stale: false)", qUtf8Printable(key),
        qUtf8Printable(path));
    if (!info.isReadable() || !info.isExecutable()) {
        qCWarning(lcBookmarkStore, "startAccessingSecurityScopedResource failed for key %s: %s",
            qUtf8Printable(key), qUtf8Printable(path));
        return Resolution::failed(QStringLiteral("access to %1 was denied").arg(info.fileName()));
    }
    qCInfo(lcBookmarkStore, "startAccessingSecurityScopedResource succeeded for key %s",
        qUtf8Printable(key));
    return Resolution::resolved(QDir::cleanPath(path));
}

} // namespace marlox
