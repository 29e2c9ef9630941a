#pragma once

#include <functional>
#include <utility>

#include <QList>
#include <QString>

#include "storage/screenshotdatabase.h"

namespace marlox {

// Keeps the index in line with the library tree, which is the truth: rebuilds
// it after a fresh start and reconciles it with files moved or removed by
// hand. Neither operation throws: a file that cannot be read is skipped and a
// failed statement for one record is ignored.
namespace LibraryReconciler {

// A library file no record points to.
struct Candidate
{
    QString url;
    qint64 size = 0; // 0 when unknown
};

// Lets a long run report how far it got.
using Progress = std::function<void(qsizetype done, qsizetype total)>;

// Indexes every image file below libraryRoot (hidden items skipped) that no
// record points to yet: folder from its first folder below the root, title
// from its name, no text. Answers the new ids in insertion order.
QList<qint64> rebuild(
    const QString &libraryRoot, ScreenshotDatabase &database, const Progress &progress = {});

// Relinks records whose file moved within the library (same content hash),
// removes those whose file is gone for good, and fills unknown sizes.
// Answers (relinked, removed). A record counts as gone only when the folder
// that should hold it can be listed; when the library root itself cannot be
// listed (a disk that is not mounted), nothing changes.
std::pair<int, int> reconcile(const QString &libraryRoot, ScreenshotDatabase &database);

} // namespace LibraryReconciler
} // namespace marlox
