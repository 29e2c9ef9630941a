#include "platform/trash.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/errors.h"
#include "platform/filemoves.h"
#include "platform/log.h"

namespace marlox {

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

bool lstatPath(const QString &path, struct stat *info)
{
    return ::lstat(encoded(path).constData(), info) == 0;
}

// Creates a private directory, or accepts an existing one that is a real
// directory (not a link) owned by us.
void ensurePrivateDirectory(const QString &path)
{
    if (::mkdir(encoded(path).constData(), 0700) == 0)
        return;
    if (errno != EEXIST)
        throw FileError(errno, path, QStringLiteral("create"));
    struct stat info;
    if (!lstatPath(path, &info))
        throw FileError(errno, path, QStringLiteral("create"));
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
        throw FileError(EPERM, path, QStringLiteral("use trash"));
}

void ensureDirectories(const QString &path, mode_t mode)
{
    QString current;
    for (const QString &part : path.split(u'/')) {
        current += part;
        if (!part.isEmpty() && ::mkdir(encoded(current).constData(), mode) != 0 && errno != EEXIST)
            throw FileError(errno, current, QStringLiteral("create"));
        current += u'/';
    }
}

// The highest directory above path (itself included) on the same device: the
// mount point of path's file system.
QString topDirectory(const QString &path, dev_t device)
{
    QString top = QFileInfo(path).absolutePath();
    while (top != QLatin1String("/")) {
        const QString parent = QFileInfo(top).absolutePath();
        struct stat info;
        if (!lstatPath(parent, &info) || info.st_dev != device)
            break;
        top = parent;
    }
    return top;
}

struct TrashLocation
{
    QString directory;
    QString topDirectory; // empty for the home trash, whose paths are absolute
};

TrashLocation trashFor(const QString &path, dev_t device)
{
    const QString home = SystemFileTrasher::homeTrash();
    const QString dataHome = QFileInfo(home).absolutePath();
    // Without its parent the home trash would land wherever we happen to be.
    ensureDirectories(dataHome, 0700);
    struct stat info;
    if (!lstatPath(dataHome, &info))
        throw FileError(errno, dataHome, QStringLiteral("use trash"));
    if (info.st_dev == device) {
        ensurePrivateDirectory(home);
        return { home, {} };
    }

    const QString top = topDirectory(path, device);
    const QString uid = QString::number(::getuid());
    const QString shared = QDir(top).filePath(QStringLiteral(".Trash"));
    if (lstatPath(shared, &info) && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX)) {
        const QString own = shared + u'/' + uid;
        try {
            ensurePrivateDirectory(own);
            return { own, top };
        } catch (const FileError &error) {
            qCInfo(lcPlatform, "Not using the shared trash %s: %s", qUtf8Printable(shared),
                qUtf8Printable(error.description()));
        }
    }
    const QString own = QDir(top).filePath(QStringLiteral(".Trash-") + uid);
    ensurePrivateDirectory(own);
    return { own, top };
}

QString candidateName(const QString &fileName, int n)
{
    if (n == 1)
        return fileName;
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot <= 0)
        return fileName + u' ' + QString::number(n);
    return fileName.left(dot) + u' ' + QString::number(n) + fileName.mid(dot);
}

} // namespace

QString SystemFileTrasher::homeTrash()
{
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || !QDir::isAbsolutePath(dataHome))
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(dataHome + QStringLiteral("/Trash"));
}

std::optional<QString> SystemFileTrasher::trash(const QString &path)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    struct stat info;
    if (!lstatPath(absolute, &info))
        throw FileError(errno, absolute, QStringLiteral("trash"));

    const TrashLocation trash = trashFor(absolute, info.st_dev);
    const QString filesDirectory = trash.directory + QStringLiteral("/files");
    const QString infoDirectory = trash.directory + QStringLiteral("/info");
    ensurePrivateDirectory(filesDirectory);
    ensurePrivateDirectory(infoDirectory);

    const QString storedPath = trash.topDirectory.isEmpty()
        ? absolute
        : QDir(trash.topDirectory).relativeFilePath(absolute);
    const QByteArray contents = "[Trash Info]\nPath=" + encoded(storedPath).toPercentEncoding("/")
        + "\nDeletionDate="
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toLatin1()
        + "\n";

    const QString fileName = QFileInfo(absolute).fileName();
    for (int n = 1;; ++n) {
        const QString name = candidateName(fileName, n);
        const QString infoPath = infoDirectory + u'/' + name + QStringLiteral(".trashinfo");
        const QString trashedPath = filesDirectory + u'/' + name;
        // The .trashinfo claims the name first, so two trashers never share one.
        const int fd
            = ::open(encoded(infoPath).constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            throw FileError(errno, infoPath, QStringLiteral("create"));
        }
        try {
            FileMoves::writeAll(fd, contents.constData(), contents.size(), infoPath);
            if (::fsync(fd) != 0)
                throw FileError(errno, infoPath, QStringLiteral("sync"));
            ::close(fd);
        } catch (...) {
            ::close(fd);
            ::unlink(encoded(infoPath).constData());
            throw;
        }
        try {
            FileMoves::moveFile(absolute, trashedPath);
        } catch (const FileError &error) {
            ::unlink(encoded(infoPath).constData());
            // A leftover without its .trashinfo holds this name; take the next.
            if (error.code() == EEXIST && error.path() == trashedPath)
                continue;
            throw;
        }
        return trashedPath;
    }
}

void SystemFileTrasher::forgetTrashedFile(const QString &trashedPath)
{
    const QFileInfo trashed(QDir::cleanPath(trashedPath));
    const QDir files = trashed.dir();
    if (files.dirName() != QLatin1String("files"))
        return;
    const QString infoPath = QDir::cleanPath(files.absoluteFilePath(
        QStringLiteral("../info/") + trashed.fileName() + QStringLiteral(".trashinfo")));
    if (::unlink(encoded(infoPath).constData()) != 0 && errno != ENOENT)
        qCWarning(lcPlatform, "Couldn't remove %s: %s", qUtf8Printable(infoPath),
            qUtf8Printable(FileError(errno, infoPath).description()));
}

} // namespace marlox
