#pragma once

#include <memory>
#include <optional>

#include <QDateTime>
#include <QString>

#include "storage/screenshotdatabase.h"

namespace marlox {

// Opens the index and, when it cannot be opened, moves the broken file (with
// its -wal and -shm companions) aside under a dated name and starts afresh.
// A broken index is never deleted.
namespace DatabaseRecovery {

struct Opened
{
    std::unique_ptr<ScreenshotDatabase> database;
    std::optional<QString> movedAsideTo;
    std::optional<QString> originalError;
};

// Throws when the file cannot be moved aside or the fresh index cannot be opened.
Opened open(const QString &path, const QDateTime &now = QDateTime::currentDateTime());

// "yyyyMMdd-HHmmss" in local time.
QString stamp(const QDateTime &now);

// Moves path, path-wal and path-shm to path.corrupt-<stamp>[-N]; answers where
// the main file went, or none when it did not exist. Throws FileError.
std::optional<QString> moveAside(const QString &path, const QString &stamp);

} // namespace DatabaseRecovery
} // namespace marlox
