#pragma once

#include <memory>
#include <optional>

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include "storage/screenshotrecord.h"

namespace marlox {

class ScreenshotDatabase;
template <typename T> class CoalescedLoader;

// Puts `record` (none: removes the row) into the newest-first `list` in
// place; returns the entry it replaced.
std::optional<ScreenshotRecord> mergeRecord(
    QList<ScreenshotRecord> &list, qint64 id, const std::optional<ScreenshotRecord> &record);

// The newest-first list of every row (without its text) that the windows
// show, with the per-folder and Inbox counts kept alongside so a filing never
// scans the whole list. Full reloads run off the GUI thread and coalesce; a
// single changed row is merged in place.
class RecordList : public QObject
{
    Q_OBJECT

public:
    // `database` outlives the list.
    explicit RecordList(ScreenshotDatabase &database, QObject *parent = nullptr);
    ~RecordList() override;

    const QList<ScreenshotRecord> &records() const { return m_records; }
    int inboxCount() const { return m_inboxCount; }
    // Folders that hold at least one row.
    QStringList folders() const { return m_folderCounts.keys(); }

    // Reads the whole list now, on the calling thread (start-up only).
    void loadNow();
    // Asks for a full reload in the background.
    void reload();
    // Reads one row again and merges it in place.
    void refresh(qint64 id);

Q_SIGNALS:
    // The whole list was replaced.
    void recordsChanged();
    // One row changed; before or after is none when it came or went.
    void recordReplaced(const std::optional<marlox::ScreenshotRecord> &before,
        const std::optional<marlox::ScreenshotRecord> &after);

private:
    CoalescedLoader<QList<ScreenshotRecord>> &loader();
    void deliver(QList<ScreenshotRecord> records);
    void setRecords(QList<ScreenshotRecord> records);
    void count(const ScreenshotRecord &record, int delta);

    ScreenshotDatabase &m_database;
    QList<ScreenshotRecord> m_records;
    QHash<QString, int> m_folderCounts;
    int m_inboxCount = 0;
    // Rows refreshed while a full reload was under way, merged into its list.
    QSet<qint64> m_changedDuringReload;
    std::unique_ptr<CoalescedLoader<QList<ScreenshotRecord>>> m_loader;
};

} // namespace marlox
