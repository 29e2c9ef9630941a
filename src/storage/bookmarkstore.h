#pragma once

#include <QString>

namespace marlox {

// Remembers a folder chosen by the user across launches. Without a sandbox a
// reference is simply the folder's absolute path, stored as UTF-8 bytes; it
// is never stale.
class BookmarkStore
{
public:
    struct Resolution
    {
        enum class Kind { resolved, failed, notSet };
        Kind kind = Kind::notSet;
        QString location; // resolved
        QString reason; // failed

        static Resolution resolved(const QString &location)
        {
            return { Kind::resolved, location, {} };
        }
        static Resolution failed(const QString &reason) { return { Kind::failed, {}, reason }; }
        static Resolution notSet() { return {}; }
        bool isResolved() const { return kind == Kind::resolved; }
        // "resolved(/path)", "failed(reason)" or "notSet", for log lines.
        QString toString() const;
        bool operator==(const Resolution &) const = default;
    };

    // Throws FileError when the location is not an absolute path.
    void save(const QString &location, const QString &key);
    Resolution resolve(const QString &key);
};

} // namespace marlox
