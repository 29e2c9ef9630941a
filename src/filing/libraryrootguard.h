#pragma once

#include <optional>

#include <QString>

#include "platform/errors.h"

namespace marlox {

class ScreenshotDatabase;

// Keeps Marlox from writing into, or judging files gone by, a folder whose
// disk is not there: a missing folder, one that was a mount point and is now
// the bare folder under it, or one that is empty while the index says files
// are inside, unless a good look saw entries there on the same file system.
// (A bare mount point is empty; an empty listing proves nothing.) What a good
// look saw is remembered with the index.
namespace LibraryRootGuard {

// Why the folder cannot be used now, or none when it can (then remembered
// as the last good look).
std::optional<QString> unreachableReason(const QString &folder, ScreenshotDatabase &database);

// The folder is not reachable: nothing was created or moved.
class Unreachable : public Error
{
public:
    explicit Unreachable(QString reason) : m_reason(std::move(reason)) { }
    QString description() const override { return m_reason; }

private:
    QString m_reason;
};

// Throws Unreachable when unreachableReason gives a reason.
void requireReachable(const QString &folder, ScreenshotDatabase &database);

} // namespace LibraryRootGuard
} // namespace marlox
