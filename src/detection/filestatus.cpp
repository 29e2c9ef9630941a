#include "detection/filestatus.h"

#include <algorithm>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QFile>
#include <QFileInfo>
#include <QHashFunctions>

#include "detection/detection.h"

namespace marlox {

namespace {
double seconds(const statx_timestamp &t)
{
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
} // namespace

size_t qHash(const FileIdentity &identity, size_t seed) noexcept
{
    return qHashMulti(seed, identity.fileNumber, identity.birthTime);
}

std::optional<FileInfo> FileInfo::examine(const QString &path)
{
    return examineAt(AT_FDCWD, QFile::encodeName(path));
}

std::optional<FileInfo> FileInfo::examineAt(int dirFd, const QByteArray &name)
{
    struct statx stx = {};
    if (statx(dirFd, name.constData(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &stx)
        != 0)
        return std::nullopt;
    FileInfo info;
    const bool hasBirth = (stx.stx_mask & STATX_BTIME) != 0;
    info.identity = { stx.stx_ino, hasBirth ? seconds(stx.stx_btime) : 0.0 };
    info.size = qint64(stx.stx_size);
    // Without a birth time the last status change is the best guess at when
    // the file appeared.
    info.creationDate = hasBirth ? seconds(stx.stx_btime) : seconds(stx.stx_ctime);
    info.isDirectory = S_ISDIR(stx.stx_mode);
    info.changeTime = seconds(stx.stx_ctime);
    return info;
}

double FolderStamp::latest() const
{
    return std::max(double(modifiedSeconds) + modifiedNanoseconds / 1e9,
        double(changedSeconds) + changedNanoseconds / 1e9);
}

std::optional<FolderStamp> FolderStamp::of(const QByteArray &path)
{
    struct statx stx = {};
    if (statx(AT_FDCWD, path.constData(), AT_STATX_SYNC_AS_STAT,
            STATX_INO | STATX_MTIME | STATX_CTIME, &stx)
        != 0)
        return std::nullopt;
    return FolderStamp { makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino,
        stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec, stx.stx_ctime.tv_sec, stx.stx_ctime.tv_nsec };
}

double fileSystemNow()
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

std::optional<QString> decodedName(const QByteArray &raw)
{
    QString name = QFile::decodeName(raw);
    if (QFile::encodeName(name) != raw)
        return std::nullopt;
    return name;
}

bool isCandidateName(const QString &name)
{
    return !name.startsWith(QLatin1Char('.')) && isScreenshotExtension(QFileInfo(name).suffix());
}

} // namespace marlox
