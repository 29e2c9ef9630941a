#pragma once

#include <optional>

#include <QString>

namespace marlox {

// Moves a file to the Trash and answers where it went (absolute path), or
// none when the Trash did not say; throws FileError.
class FileTrashing
{
public:
    virtual ~FileTrashing() = default;
    virtual std::optional<QString> trash(const QString &path) = 0;
};

// The desktop's shared Trash (freedesktop.org Trash 1.0): the home trash for
// files on the home file system, else a trash at the top of the file's own
// file system, so trashing never copies.
class SystemFileTrasher : public FileTrashing
{
public:
    std::optional<QString> trash(const QString &path) override;

    // $XDG_DATA_HOME/Trash.
    static QString homeTrash();
    // After a trashed file was moved back out: drops its .trashinfo, so file
    // managers do not list a ghost. Anything not inside a trash is left alone.
    static void forgetTrashedFile(const QString &trashedPath);
};

} // namespace marlox
