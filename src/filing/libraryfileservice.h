#pragma once

#include <exception>
#include <functional>
#include <optional>

#include <QString>

#include "platform/errors.h"
#include "storage/screenshotdatabase.h"
#include "storage/screenshotrecord.h"

namespace marlox::LibraryFileService {

class ServiceError : public Error
{
public:
    enum class Kind { emptyTitle, invalidFolderName, captureGone };
    explicit ServiceError(Kind kind) : m_kind(kind) { }
    Kind kind() const { return m_kind; }
    QString description() const override;

private:
    Kind m_kind;
};

// Moves the record's file to libraryRoot/folder/<libraryFileName(title)> and
// marks the row filed. An empty libraryRoot means none is set (FileError::noSuchFile()).
ScreenshotRecord fileRecord(const ScreenshotRecord &record, const QString &title,
    const QString &folder, const QString &libraryRoot, ScreenshotDatabase &database);

// After the index refused a move: moves the file back to where its row still
// points. Logs, never throws: the caller rethrows the index's error.
void moveBack(const QString &movedTo, const QString &original, const std::exception &cause);

// The longest file name most Linux file systems accept, in bytes.
constexpr qsizetype maxFileNameBytes = 255;

// Shortened at a character boundary to fit maxFileNameBytes with its extension.
QString libraryFileName(const QString &title, const QString &extension);
// directory/fileName, or "base 2.ext", "base 3.ext"… when taken: by an entry
// on disk, or by whatever isTaken (given a candidate path) also counts. The
// base is shortened where a suffix would overflow the name limit.
QString uniqueFileURL(const QString &directory, const QString &fileName,
    const std::function<bool(const QString &path)> &isTaken = {});
// The first folder below root that holds file, or none.
std::optional<QString> libraryFolderName(const QString &file, const QString &root);

} // namespace marlox::LibraryFileService
