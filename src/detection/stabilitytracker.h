#pragma once

#include <functional>
#include <optional>
#include <utility>

#include <QHash>
#include <QList>
#include <QString>

#include "detection/filestatus.h"

namespace marlox {

// The new files a watcher follows until they stop growing. A file is stable
// once `requiredPolls` polls in a row found the size the poll before it saw;
// a change of size starts the count again, and an empty file never counts.
class StabilityTracker
{
public:
    explicit StabilityTracker(int requiredPolls) : m_requiredPolls(requiredPolls) { }

    // Follows name from the size it has now. Answers false when the same
    // file is already followed.
    bool add(const QString &name, const FileIdentity &identity, qint64 size);
    void forget(const QString &name) { m_candidates.remove(name); }
    void clear() { m_candidates.clear(); }
    bool contains(const QString &name) const { return m_candidates.contains(name); }
    bool isEmpty() const { return m_candidates.isEmpty(); }

    // One poll: sizeOf gives each file's size now, none when it is gone (it
    // is then forgotten). Answers the files found stable with the identity
    // they were added under; they are no longer followed.
    QList<std::pair<QString, FileIdentity>> poll(
        const std::function<std::optional<qint64>(const QString &)> &sizeOf);

private:
    struct Candidate
    {
        FileIdentity identity;
        qint64 size = 0;
        int stablePolls = 0;
    };

    int m_requiredPolls;
    QHash<QString, Candidate> m_candidates;
};

} // namespace marlox
