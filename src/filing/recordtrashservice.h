#pragma once

#include <exception>
#include <optional>

#include <QString>

#include "filing/pendingundo.h"
#include "platform/trash.h"
#include "storage/screenshotdatabase.h"
#include "storage/screenshotrecord.h"

namespace marlox::RecordTrashService {

// What became of a record sent to the Trash.
struct Outcome
{
    enum class Kind { trashed, failed, fileAlreadyMissing };
    Kind kind = Kind::fileAlreadyMissing;
    // trashed: absent when the Trash did not say where the file went.
    std::optional<PendingUndo> undo;
    // failed: what the Trash threw; the file and the record are untouched.
    std::exception_ptr error;

    static Outcome trashed(std::optional<PendingUndo> undo)
    {
        return { Kind::trashed, std::move(undo), nullptr };
    }
    static Outcome failed(std::exception_ptr error)
    {
        return { Kind::failed, {}, std::move(error) };
    }
    static Outcome fileAlreadyMissing() { return { Kind::fileAlreadyMissing, {}, nullptr }; }

    // The failure's text for alerts and log lines; empty unless failed.
    QString errorDescription() const;
    // Throws the stored error again (failed only).
    [[noreturn]] void rethrow() const;
};

// Never throws: a refusal comes back as Outcome::failed.
Outcome trash(const ScreenshotRecord &record, ScreenshotDatabase &database, FileTrashing &trasher);

// Removes the file (if there) and the row; throws FileError or SQLiteError.
void deletePermanently(const ScreenshotRecord &record, ScreenshotDatabase &database);

// Moves the file back (to "name 2.ext"… when its place is taken, never
// replacing anything) and re-creates it as an Inbox record under its old id.
ScreenshotRecord restore(const PendingUndo &undo, ScreenshotDatabase &database);

} // namespace marlox::RecordTrashService
