#pragma once

#include <atomic>
#include <functional>
#include <utility>

#include <QList>
#include <QString>

#include "storage/screenshotdatabase.h"

namespace marlox {

// Keeps the index in line with the library tree, which is the truth: rebuilds
// it after a fresh start and reconciles it with files moved, removed or added
// by hand. Neither operation throws: a file that cannot be read is skipped and
// a failed statement for one record is logged and left for the next run.
namespace LibraryReconciler {

// A library file no record points to.
struct Candidate
{
    QString url;
    qint64 size = 0; // 0 when unknown
};

// Lets a long run report how far it got.
using Progress = std::function<void(qsizetype done, qsizetype total)>;

struct Options
{
    // A file changed less than this many seconds ago may be in the middle of
    // being filed by this very process (moved, its row not yet written): a
    // rebuild waits for it, a reconcile leaves it for the next run.
    double quietSeconds = 0;
    // Set from another thread to end a rebuild early.
    const std::atomic<bool> *stop = nullptr;
};

// Indexes every image file below libraryRoot (hidden items skipped) that no
// record points to yet: folder from its first folder below the root, title
// from its name, no text, each new row owed recognition. Answers the new ids
// in insertion order.
QList<qint64> rebuild(const QString &libraryRoot, ScreenshotDatabase &database,
    const Progress &progress = {}, const Options &options = {});

struct Report
{
    int relinked = 0; // rows moved to their file's new place
    int removed = 0; // rows whose file is gone for good
    int finishedMoves = 0; // moves between disks a kill cut short, completed
    int adopted = 0; // image files put into the tree by hand, now indexed
    int temporariesRemoved = 0; // hidden copies a killed move left behind
    int deferred = 0; // files left for a later run: changed too recently
    int failedWrites = 0; // index writes refused, logged, left for the next run
    QList<qint64> adoptedIds;
    bool changedRows() const { return relinked + removed + finishedMoves + adopted > 0; }
};

// Brings the index in line with the tree: finishes moves between disks that
// a kill interrupted (the copy complete, the source still there), relinks
// records whose file moved within the library (same content hash), removes
// those whose file is gone for good, adopts image files copied in by hand,
// removes hidden move temporaries and fills unknown sizes. A record counts as
// gone only when the folder that should hold it can be listed and its disk
// is the one last seen there; when the library root is away (a disk that is
// not mounted), nothing changes.
Report reconcileTree(
    const QString &libraryRoot, ScreenshotDatabase &database, const Options &options = {});

// reconcileTree as (relinked, removed), moves finished and files adopted
// counted as relinked.
std::pair<int, int> reconcile(const QString &libraryRoot, ScreenshotDatabase &database);

} // namespace LibraryReconciler
} // namespace marlox
