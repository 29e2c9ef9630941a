#include "app/selfplacedfiles.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>

namespace marlox {

bool SelfPlacedFiles::identify(const QString &path, Identity &identity)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    identity = { quint64(info.st_dev), quint64(info.st_ino), qint64(info.st_size),
        qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec };
    return true;
}

void SelfPlacedFiles::dropExpired()
{
    const qint64 now = m_clock.elapsed();
    for (auto it = m_files.begin(); it != m_files.end();) {
        if (now - it->notedAtMs > m_lifetimeMs)
            it = m_files.erase(it);
        else
            ++it;
    }
}

void SelfPlacedFiles::note(const QString &path)
{
    dropExpired();
    Identity identity;
    if (identify(path, identity))
        m_files.insert(QDir::cleanPath(path), { identity, m_clock.elapsed() });
}

bool SelfPlacedFiles::isSelfPlaced(const QString &path)
{
    dropExpired();
    const auto found = m_files.find(QDir::cleanPath(path));
    if (found == m_files.end())
        return false;
    Identity now;
    if (identify(path, now) && now == found->identity)
        return true;
    m_files.erase(found);
    return false;
}

} // namespace marlox
