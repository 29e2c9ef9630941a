#include "detection/watchrecovery.h"

#include <QDir>
#include <QFileInfo>

namespace marlox::WatchRecovery {

namespace {
QString lastComponent(const QString &path)
{
    return QFileInfo(QDir::cleanPath(path)).fileName();
}
} // namespace

QString triggerName(Trigger trigger)
{
    switch (trigger) {
    case Trigger::wake:
        return QStringLiteral("wake");
    case Trigger::mount:
        return QStringLiteral("mount");
    case Trigger::retry:
        return QStringLiteral("retry");
    }
    return {};
}

Location locate(const QString &folder, const std::function<bool(const QString &)> &reachable,
    const std::function<BookmarkStore::Resolution()> &resolve)
{
    if (reachable(folder))
        return Location::available(folder);
    const BookmarkStore::Resolution resolution = resolve();
    switch (resolution.kind) {
    case BookmarkStore::Resolution::Kind::resolved:
        if (reachable(resolution.location))
            return Location::available(resolution.location);
        // Folder access is never scoped on Linux, so there is nothing to end here.
        return Location::unavailable(lastComponent(resolution.location)
            + QStringLiteral(" isn't available — it may have been moved, deleted, or its disk "
                             "disconnected. Retrying…"));
    case BookmarkStore::Resolution::Kind::failed:
        return Location::unavailable(QStringLiteral("Couldn't reopen ") + lastComponent(folder)
            + QStringLiteral(" (") + resolution.reason + QStringLiteral("). Retrying…"));
    case BookmarkStore::Resolution::Kind::notSet:
        return Location::unavailable(QStringLiteral("No screenshot folder is set."));
    }
    return Location::unavailable(QString());
}

bool isReachable(const QString &location)
{
    const QFileInfo info(location);
    return info.isDir() && info.isReadable();
}

QString lossMessage(Loss loss, const QString &folder)
{
    const QString name = lastComponent(folder);
    switch (loss) {
    case Loss::deleted:
        return name + QStringLiteral(" was deleted or moved to the Trash. Retrying…");
    case Loss::renamed:
        return name + QStringLiteral(" was renamed or moved. Retrying…");
    case Loss::revoked:
        return QStringLiteral("The disk holding ") + name
            + QStringLiteral(" was disconnected. Retrying…");
    case Loss::unreadable:
        return name + QStringLiteral(" can't be read right now. Retrying…");
    }
    return {};
}

QString unmountMessage(const QString &volume, const QString &folder)
{
    return QStringLiteral("The disk “") + lastComponent(volume) + QStringLiteral("” holding ")
        + lastComponent(folder) + QStringLiteral(" was disconnected. Retrying…");
}

bool isInside(const QString &folder, const QString &container)
{
    const QString f = QDir::cleanPath(folder);
    const QString c = QDir::cleanPath(container);
    return f == c || f.startsWith(c + QLatin1Char('/'));
}

} // namespace marlox::WatchRecovery
