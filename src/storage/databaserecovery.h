#pragma once

#include <chrono>
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

// How long the structural check of an index may run at start-up. Small and
// medium indexes are checked completely well within it; on a huge one the
// check stops there and the O(1) probes have to do.
inline constexpr std::chrono::milliseconds defaultCheckBudget { 150 };

// Opens path; a file that is not a database, a damaged one (checkIndex) or
// one whose schema cannot be created is moved aside and replaced. Throws the
// error itself when the file is sound but cannot be used right now (locked
// by another process, read-only, disk full…), when it cannot be moved aside,
// or when the fresh index cannot be opened either.
Opened open(const QString &path, const QDateTime &now = QDateTime::currentDateTime(),
    std::chrono::milliseconds checkBudget = defaultCheckBudget);

// Whether an error of opening or checking means the file itself is broken,
// as opposed to the file being busy or the system refusing for now.
bool isBroken(const SQLiteError &error);

struct CheckReport
{
    // False when the structural check ran out of budget before the end.
    bool complete = true;
};

// The cheap start-up check of an index file: the header against the file's
// length, the schema, both ends of the record table, of its path index and of
// the full-text index, a count over the path index, then SQLite's structural
// check for at most `budget`. Reads through a connection of its own that
// leaves -wal and -shm in place. Throws SQLiteError when the index is damaged,
// or when it is busy (isBroken tells them apart).
CheckReport checkIndex(const QString &path, std::chrono::milliseconds budget);

// "yyyyMMdd-HHmmss" in local time.
QString stamp(const QDateTime &now);

// Moves path, path-wal and path-shm to path.corrupt-<stamp>[-N]; answers where
// the main file went, or none when it did not exist. Throws FileError.
std::optional<QString> moveAside(const QString &path, const QString &stamp);

} // namespace DatabaseRecovery
} // namespace marlox
