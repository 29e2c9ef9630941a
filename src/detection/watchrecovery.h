#pragma once

#include <functional>

#include <QString>

#include "detection/detection.h"
#include "storage/bookmarkstore.h"

namespace marlox {

// The decisions of getting a lost screenshot folder back: where it is now and
// what to tell the user about it.
namespace WatchRecovery {

using Trigger = WatchTrigger;
// "wake", "mount" or "retry", for log lines.
QString triggerName(Trigger trigger);

// Where the folder was found, or the reason it could not be.
struct Location
{
    enum class Kind { available, unavailable };
    Kind kind = Kind::unavailable;
    QString location; // available
    QString message; // unavailable

    static Location available(const QString &location) { return { Kind::available, location, {} }; }
    static Location unavailable(const QString &message)
    {
        return { Kind::unavailable, {}, message };
    }
    bool isAvailable() const { return kind == Kind::available; }
    bool operator==(const Location &) const = default;
};

// The folder itself when reachable, else where its stored reference leads.
Location locate(const QString &folder, const std::function<bool(const QString &)> &reachable,
    const std::function<BookmarkStore::Resolution()> &resolve);
// A directory is there and can be listed.
bool isReachable(const QString &location);

QString lossMessage(Loss loss, const QString &folder);
QString unmountMessage(const QString &volume, const QString &folder);
// Whether folder is container itself or lies below it.
bool isInside(const QString &folder, const QString &container);

} // namespace WatchRecovery
} // namespace marlox
