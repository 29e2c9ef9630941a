#include <algorithm>
#include <cerrno>

#include <dirent.h>

#include <QFile>
#include <QFileInfo>

#include "detection/folderwatchercore.h"
#include "detection/logtext.h"
#include "platform/log.h"

namespace marlox {

namespace {

// A folder whose last change is closer than this to a listing may change
// again within the same timestamp tick (FAT counts in 2 s steps) without
// its stamp moving, so that stamp cannot tell that nothing changed.
constexpr double stampSettleTime = 3.0;

// A folder is listed at least this often all the same (in seconds): a network
// file system may show another machine's changes late in the stamp.
constexpr double relistInterval = 60.0;

} // namespace

void FolderWatcherCore::scan(bool force)
{
    if (m_isLost || m_inotifyFd < 0)
        return;
    if (!checkFolderIdentity())
        return;
    // Taken before the listing, so a change during it moves the stamp.
    const auto stamp = FolderStamp::of(QFile::encodeName(m_folder));
    force |= m_examineAllNext;
    const double listedAt = m_options.clock();
    if (!force && stamp && m_trustedStamp && *stamp == *m_trustedStamp
        && listedAt - m_listedAt < relistInterval)
        return;
    int error = 0;
    const auto listing = listFolder(force, &error);
    if (!listing) {
        if (error == ENOENT || error == ENOTDIR)
            m_folderMissing = true;
        else
            loseAfterPendingEvents(Loss::unreadable);
        return;
    }
    trustStampIfSettled(stamp, listedAt);
    for (auto it = m_ledger.seen.begin(); it != m_ledger.seen.end();) {
        if (listing->contains(it.key()))
            ++it;
        else
            it = m_ledger.seen.erase(it);
    }
    QStringList newNames;
    for (auto it = listing->cbegin(); it != listing->cend(); ++it) {
        const auto seen = m_ledger.seen.constFind(it.key());
        if (seen == m_ledger.seen.cend() || *seen != it.value().identity)
            newNames.append(it.key());
    }
    std::sort(newNames.begin(), newNames.end());
    for (const QString &name : std::as_const(newNames)) {
        if (addCandidate(name, listing->value(name)))
            qCDebug(lcFolderWatcher, "Scan found new file %s", qUtf8Printable(escapedForLog(name)));
    }
}

// With examineAll false, a name the ledger holds whose directory entry still
// has the recorded inode number is taken as that file without examining it:
// replacing a file under its name is an event, or moves the inode number.
std::optional<FolderWatcherCore::Listing> FolderWatcherCore::listFolder(bool examineAll, int *error)
{
    DIR *dir = opendir(QFile::encodeName(m_folder).constData());
    if (!dir) {
        if (error)
            *error = errno;
        return std::nullopt;
    }
    Listing listing;
    QSet<QByteArray> undecodable;
    while (const dirent *entry = readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (raw.startsWith('.'))
            continue;
        const auto name = decodedName(raw);
        if (!name) {
            undecodable.insert(raw);
            continue;
        }
        if (!isCandidateName(*name))
            continue;
        if (!examineAll) {
            const auto seen = m_ledger.seen.constFind(*name);
            if (seen != m_ledger.seen.cend() && seen->fileNumber == entry->d_ino) {
                FileInfo known;
                known.identity = *seen;
                listing.insert(*name, known);
                continue;
            }
        }
        const auto info = FileInfo::examineAt(dirfd(dir), raw);
        if (!info || info->isDirectory)
            continue;
        listing.insert(*name, *info);
    }
    closedir(dir);
    noteUndecodable(undecodable);
    return listing;
}

// Such a name cannot be handed on as a path that opens the file: say so once
// per name rather than at every listing.
void FolderWatcherCore::noteUndecodable(const QSet<QByteArray> &names)
{
    for (const QByteArray &raw : names) {
        if (!m_undecodable.contains(raw)
            && isScreenshotExtension(QFileInfo(QString::fromLatin1(raw)).suffix()))
            qCWarning(lcFolderWatcher, "Skipping %s: its name is not valid UTF-8",
                qUtf8Printable(escapedForLog(raw)));
    }
    m_undecodable = names;
}

void FolderWatcherCore::trustStampIfSettled(
    const std::optional<FolderStamp> &stamp, double listedAt)
{
    m_examineAllNext = false;
    m_listedAt = listedAt;
    if (stamp && listedAt - stamp->latest() >= stampSettleTime)
        m_trustedStamp = stamp;
    else
        m_trustedStamp.reset();
}

// Answers whether a file was held back from the baseline: one that changed
// after the watch was asked to start may be a new screenshot.
bool FolderWatcherCore::takeBaseline(double requestedAt)
{
    if (m_options.beforeBaseline)
        m_options.beforeBaseline();
    const auto stamp = FolderStamp::of(QFile::encodeName(m_folder));
    const double listedAt = m_options.clock();
    const auto listing = listFolder(true);
    if (!listing)
        return false;
    trustStampIfSettled(stamp, listedAt);
    m_ledger.seen.clear();
    bool heldBack = false;
    for (auto it = listing->cbegin(); it != listing->cend(); ++it) {
        if (it.value().changeTime >= requestedAt) {
            heldBack = true;
            continue;
        }
        m_ledger.seen.insert(it.key(), it.value().identity);
    }
    m_hasBaseline = true;
    return heldBack;
}

} // namespace marlox
