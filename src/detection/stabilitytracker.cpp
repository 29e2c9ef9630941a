#include "detection/stabilitytracker.h"

namespace marlox {

bool StabilityTracker::add(const QString &name, const FileIdentity &identity, qint64 size)
{
    const auto known = m_candidates.constFind(name);
    if (known != m_candidates.cend() && known->identity == identity)
        return false;
    // Examined a moment ago: its size stands.
    m_candidates.insert(name, { identity, size, 0 });
    return true;
}

QList<std::pair<QString, FileIdentity>> StabilityTracker::poll(
    const std::function<std::optional<qint64>(const QString &)> &sizeOf)
{
    QList<std::pair<QString, FileIdentity>> stable;
    for (auto it = m_candidates.begin(); it != m_candidates.end();) {
        const std::optional<qint64> size = sizeOf(it.key());
        if (!size) {
            it = m_candidates.erase(it);
            continue;
        }
        if (*size > 0 && *size == it->size) {
            if (++it->stablePolls >= m_requiredPolls) {
                stable.append({ it.key(), it->identity });
                it = m_candidates.erase(it);
                continue;
            }
        } else {
            it->size = *size;
            it->stablePolls = 0;
        }
        ++it;
    }
    return stable;
}

} // namespace marlox
