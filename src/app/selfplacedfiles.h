#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QString>

namespace marlox {

// Files Marlox itself put (back) into the screenshot folder: a restored
// discard, a capture returned after the index refused its filing. The watcher
// reports them like new screenshots; they are known already, so their
// detection is dropped. A file counts only while it is exactly the one put
// there (same inode, size and modification time) and for a limited time.
class SelfPlacedFiles
{
public:
    explicit SelfPlacedFiles(qint64 lifetimeMs = 10 * 60 * 1000) : m_lifetimeMs(lifetimeMs)
    {
        m_clock.start();
    }

    // Remembers the file now at path; nothing when there is none.
    void note(const QString &path);
    // Whether path is such a file, unchanged (a watcher may report it more
    // than once); a changed one is forgotten and counts as new.
    bool isSelfPlaced(const QString &path);

private:
    struct Identity
    {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        bool operator==(const Identity &) const = default;
    };
    struct Entry
    {
        Identity identity;
        qint64 notedAtMs = 0;
    };
    static bool identify(const QString &path, Identity &identity);
    void dropExpired();

    qint64 m_lifetimeMs;
    QElapsedTimer m_clock;
    QHash<QString, Entry> m_files;
};

} // namespace marlox
