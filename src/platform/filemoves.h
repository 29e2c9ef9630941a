#pragma once

#include <functional>

#include <QString>

#include "platform/errors.h"

namespace marlox::FileMoves {

// Moves the file (or, within one file system, the directory) at `from` to
// `to` and never replaces anything already at `to` (EEXIST). Across file
// systems a file is copied into the destination folder, flushed, linked into
// place and only then removed at the source; a failure before the link leaves
// the source untouched and no partial copy. Throws FileError, or
// SourceChanged when the source was written to during the copy: then the
// source stays and the copy is removed, so nothing is lost half-copied.
void moveFile(const QString &from, const QString &to);

class SourceChanged : public Error
{
public:
    explicit SourceChanged(QString path) : m_path(std::move(path)) { }
    const QString &path() const { return m_path; }
    QString description() const override;

private:
    QString m_path;
};

// Writes all of `data`, resuming after interrupted writes. Throws FileError.
void writeAll(int fd, const char *data, qsizetype size, const QString &path);

// Whether anything is at the path, a dangling link included.
bool entryExists(const QString &path);

// Whether the path leads, through any links, to a regular file.
bool isRegularFile(const QString &path);

// Runs between a cross-file-system copy and the check of its source. Tests only.
void setAfterCopyHookForTesting(std::function<void()> hook);

} // namespace marlox::FileMoves
