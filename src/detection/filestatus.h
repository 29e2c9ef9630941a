#pragma once

#include <optional>

#include <QByteArray>
#include <QHash>
#include <QString>

namespace marlox {

// Who a file is, independent of its name: inode number and birth time
// (seconds since 1970; 0 where the file system keeps no birth time).
struct FileIdentity
{
    quint64 fileNumber = 0;
    double birthTime = 0;

    bool operator==(const FileIdentity &) const = default;
};

size_t qHash(const FileIdentity &identity, size_t seed = 0) noexcept;

// The image files already accounted for, by name.
struct SeenFileLedger
{
    QHash<QString, FileIdentity> seen;
};

// What one look at a path tells.
struct FileInfo
{
    FileIdentity identity;
    qint64 size = 0;
    double creationDate = 0; // seconds since 1970
    bool isDirectory = false;
    double changeTime = 0; // last status change, seconds since 1970

    // The status of path, following links; none when it cannot be examined.
    static std::optional<FileInfo> examine(const QString &path);
    // The same for a name inside the open directory dirFd.
    static std::optional<FileInfo> examineAt(int dirFd, const QByteArray &name);
};

// The folder's own change stamp: any name added, removed or renamed in it
// moves its modification and change times.
struct FolderStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 modifiedSeconds = 0;
    quint32 modifiedNanoseconds = 0;
    qint64 changedSeconds = 0;
    quint32 changedNanoseconds = 0;

    bool operator==(const FolderStamp &) const = default;

    double latest() const;
    static std::optional<FolderStamp> of(const QByteArray &path);
};

// Seconds since 1970 on the clock file systems stamp times with: a file
// changed after a reading of it never carries an earlier time, which the
// finer system clock cannot promise.
double fileSystemNow();

// The name as Qt spells it, or none when that spelling would not lead back
// to the same bytes (not valid in the file name encoding).
std::optional<QString> decodedName(const QByteArray &raw);

// A visible file with a screenshot extension.
bool isCandidateName(const QString &name);

} // namespace marlox
