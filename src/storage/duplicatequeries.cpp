#include <sqlite3.h>

#include "storage/databaserows.h"
#include "storage/screenshotdatabase.h"

namespace marlox {

using namespace DatabaseRows;

namespace {

// The lookup by bytes seeks this index instead of scanning the table. The
// perceptual hashes sit in a table of their own, so indexes made before them
// open unchanged; a null hash is a file that could not be decoded. A changed
// file drops its hash (an empty old hash is a capture getting its first one).
const char *const kDuplicateSchema[] = {
    "CREATE INDEX IF NOT EXISTS screenshots_content_hash ON screenshots(content_hash);",
    "CREATE TABLE IF NOT EXISTS screenshot_phash (\n    screenshot_id INTEGER PRIMARY KEY,\n"
    "    phash INTEGER,\n    detail BLOB\n);",
    "CREATE TRIGGER IF NOT EXISTS screenshot_phash_ad AFTER DELETE ON screenshots BEGIN\n"
    "    DELETE FROM screenshot_phash WHERE screenshot_id = old.id;\nEND;",
    "CREATE TRIGGER IF NOT EXISTS screenshot_phash_au AFTER UPDATE OF content_hash ON "
    "screenshots WHEN old.content_hash != '' AND old.content_hash IS NOT new.content_hash BEGIN\n"
    "    DELETE FROM screenshot_phash WHERE screenshot_id = old.id;\nEND;",
};

} // namespace

void ScreenshotDatabase::createDuplicateSchema()
{
    for (const char *statement : kDuplicateSchema)
        exec(statement);
}

std::optional<ScreenshotRecord> ScreenshotDatabase::filedWithContentHash(
    const QString &hash, qint64 excludeId)
{
    if (hash.isEmpty())
        return std::nullopt;
    QMutexLocker lock(&m_mutex);
    Statement st(*this,
        QStringLiteral("SELECT %1 FROM screenshots WHERE content_hash = ? AND status = 'filed' "
                       "AND id != ? ORDER BY created_at, id LIMIT 1;")
            .arg(QLatin1String(listColumns)));
    st.bind(1, hash);
    st.bind(2, excludeId);
    if (!st.next())
        return std::nullopt;
    return recordFromRow(st.get());
}

void ScreenshotDatabase::storePerceptualHash(
    qint64 id, std::optional<quint64> hash, const QByteArray &detail)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this,
        QStringLiteral("INSERT OR REPLACE INTO screenshot_phash (screenshot_id, phash, detail) "
                       "SELECT id, ?, ? FROM screenshots WHERE id = ?;"));
    if (hash) {
        st.bind(1, qint64(*hash));
        st.bindBlob(2, detail);
    } else {
        st.bindNull(1);
        st.bindNull(2);
    }
    st.bind(3, id);
    st.run();
}

QList<ScreenshotDatabase::FileToHash> ScreenshotDatabase::rowsWithoutPerceptualHash(int limit)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this,
        QStringLiteral("SELECT s.id, s.path FROM screenshots s LEFT JOIN screenshot_phash p ON "
                       "p.screenshot_id = s.id WHERE p.screenshot_id IS NULL ORDER BY s.id "
                       "LIMIT ?;"));
    st.bind32(1, limit);
    QList<FileToHash> rows;
    while (st.next())
        rows.append({ sqlite3_column_int64(st.get(), 0), columnText(st.get(), 1) });
    return rows;
}

QList<ScreenshotDatabase::HashRow> ScreenshotDatabase::hashRows()
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this,
        QStringLiteral(
            "SELECT s.id, s.content_hash, p.phash, p.detail FROM screenshots s LEFT JOIN "
            "screenshot_phash p ON p.screenshot_id = s.id ORDER BY s.created_at "
            "DESC, s.id DESC;"));
    QList<HashRow> rows;
    while (st.next()) {
        HashRow row { sqlite3_column_int64(st.get(), 0), columnText(st.get(), 1), std::nullopt,
            {} };
        if (sqlite3_column_type(st.get(), 2) != SQLITE_NULL) {
            row.perceptualHash = quint64(sqlite3_column_int64(st.get(), 2));
            const auto *detail = static_cast<const char *>(sqlite3_column_blob(st.get(), 3));
            row.perceptualDetail = QByteArray(detail, sqlite3_column_bytes(st.get(), 3));
        }
        rows.append(std::move(row));
    }
    return rows;
}

QList<ScreenshotRecord> ScreenshotDatabase::recordsWithIds(const QList<qint64> &ids)
{
    if (ids.isEmpty())
        return {};
    // Numbers only, so the list can stand in the statement.
    return fetchRecords(listColumns, QStringLiteral("id IN (%1)").arg(idList(ids)));
}

} // namespace marlox
