#include "filing/libraryrootguard.h"

#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QStringList>

#include "platform/log.h"
#include "storage/screenshotdatabase.h"

namespace marlox::LibraryRootGuard {

namespace {

// The folder's disk as a good look saw it: which file system (its id, which
// for most file systems comes from the volume's own id and, unlike the device
// number, differs between two disks mounted in turn at one place), and
// whether the folder was a mount point itself (on another device than its
// parent).
struct Look
{
    quint64 device = 0;
    bool mountPoint = false;
    // Some look at this file system listed entries in the folder.
    bool sawEntries = false;

    QString encoded() const
    {
        return QStringLiteral("%1 %2 %3")
            .arg(device)
            .arg(mountPoint ? 1 : 0)
            .arg(sawEntries ? 1 : 0);
    }
    static std::optional<Look> decoded(const std::optional<QString> &text)
    {
        const QStringList parts = text.value_or(QString()).split(u' ');
        bool ok = false;
        const quint64 device = parts.value(0).toULongLong(&ok);
        if (!ok || parts.size() != 3)
            return std::nullopt;
        return Look { device, parts[1] == QLatin1String("1"), parts[2] == QLatin1String("1") };
    }
    bool operator==(const Look &) const = default;
};

QMutex memoryMutex;
QHash<QString, Look> &memory()
{
    static QHash<QString, Look> looks;
    return looks;
}

QString stateKey(const QString &folder)
{
    return QStringLiteral("goodLook:") + folder;
}

enum class Listing { unlistable, empty, holdsEntries };

Listing listing(const QString &folder)
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return Listing::unlistable;
    Listing result = Listing::empty;
    while (const dirent *entry = ::readdir(dir)) {
        if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0) {
            result = Listing::holdsEntries;
            break;
        }
    }
    ::closedir(dir);
    return result;
}

std::optional<Look> remembered(const QString &folder, ScreenshotDatabase &database)
{
    {
        QMutexLocker lock(&memoryMutex);
        const auto it = memory().constFind(folder);
        if (it != memory().cend())
            return *it;
    }
    try {
        return Look::decoded(database.stateValue(stateKey(folder)));
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Couldn't read what is known of %s: %s", qUtf8Printable(folder),
            qUtf8Printable(describe(e)));
        return std::nullopt;
    }
}

void remember(const QString &folder, const Look &look, const std::optional<Look> &before,
    ScreenshotDatabase &database)
{
    {
        QMutexLocker lock(&memoryMutex);
        memory().insert(folder, look);
    }
    if (before == look)
        return;
    try {
        database.setStateValue(stateKey(folder), look.encoded());
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Couldn't remember the disk of %s: %s", qUtf8Printable(folder),
            qUtf8Printable(describe(e)));
    }
}

} // namespace

std::optional<QString> unreachableReason(const QString &path, ScreenshotDatabase &database)
{
    const QString folder = QDir::cleanPath(path);
    const QString away = QStringLiteral("The folder “%1” isn't available right now. Is its disk "
                                        "connected?")
                             .arg(folder);
    struct stat own;
    struct stat parent;
    if (::stat(QFile::encodeName(folder).constData(), &own) != 0 || !S_ISDIR(own.st_mode)
        || ::stat(QFile::encodeName(QDir::cleanPath(folder + QStringLiteral("/.."))).constData(),
               &parent)
            != 0)
        return away;
    const Listing seen = listing(folder);
    if (seen == Listing::unlistable)
        return away;

    struct statfs volume;
    quint64 id = quint64(own.st_dev);
    if (::statfs(QFile::encodeName(folder).constData(), &volume) == 0) {
        quint64 fsid = 0;
        static_assert(sizeof(volume.f_fsid) == sizeof(fsid));
        std::memcpy(&fsid, &volume.f_fsid, sizeof(fsid));
        if (fsid != 0)
            id = fsid;
    }
    Look now { id, own.st_dev != parent.st_dev, seen == Listing::holdsEntries };
    const std::optional<Look> before = remembered(folder, database);
    if (before && before->mountPoint && !now.mountPoint)
        return away;
    const bool sameDisk
        = before && before->device == now.device && before->mountPoint == now.mountPoint;
    if (seen == Listing::empty && !(sameDisk && before->sawEntries)) {
        bool indexed = true;
        try {
            indexed = database.hasRowsUnder(folder);
        } catch (const std::exception &e) {
            // Unknown counts as indexed: an empty folder is then taken for a missing disk.
            qCWarning(lcAppState, "Couldn't tell whether %s holds indexed files: %s",
                qUtf8Printable(folder), qUtf8Printable(describe(e)));
        }
        if (indexed)
            return away;
    }
    if (sameDisk)
        now.sawEntries = now.sawEntries || before->sawEntries;
    remember(folder, now, before, database);
    return std::nullopt;
}

void requireReachable(const QString &folder, ScreenshotDatabase &database)
{
    if (const auto reason = unreachableReason(folder, database))
        throw Unreachable(*reason);
}

} // namespace marlox::LibraryRootGuard
