#include "storage/screenshotdatabase.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include <sqlite3.h>

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QThread>

#include "platform/log.h"
#include "storage/databaserows.h"
#include "storage/searchquery.h"

namespace marlox {

using namespace DatabaseRows;

namespace {

// Copies the write-ahead log into the index on a connection of its own once
// the log holds about 4 MB (SQLite's own threshold), instead of inside the
// commit that filled it, which a filing on the GUI thread would wait for
// along with the copy's syncs. Lives as the argument of the connection's log
// hook.
class Checkpointer
{
public:
    explicit Checkpointer(QByteArray path) : m_path(std::move(path)) { }
    ~Checkpointer()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    Checkpointer(const Checkpointer &) = delete;
    Checkpointer &operator=(const Checkpointer &) = delete;

    static int committed(void *self, sqlite3 *, const char *, int pages)
    {
        if (pages >= 1000)
            static_cast<Checkpointer *>(self)->start();
        return SQLITE_OK;
    }

private:
    // Commits come one at a time (the database's mutex), so only the thread
    // started here runs alongside.
    void start()
    {
        if (m_running.load())
            return;
        if (m_thread.joinable())
            m_thread.join(); // finished
        m_running.store(true);
        m_thread = std::thread([this] {
            sqlite3 *db = nullptr;
            int rc = sqlite3_open_v2(m_path.constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
            // A read first: until then the new connection has not seen that
            // the file is in WAL mode, and the checkpoint does nothing.
            if (rc == SQLITE_OK)
                rc = sqlite3_exec(
                    db, "SELECT 1 FROM sqlite_master LIMIT 1;", nullptr, nullptr, nullptr);
            // Passive: waits for no reader or writer, and holds up no commit.
            if (rc == SQLITE_OK) {
                rc = sqlite3_wal_checkpoint_v2(
                    db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            }
            if (rc != SQLITE_OK && rc != SQLITE_BUSY) {
                qCWarning(lcDatabase, "Couldn't copy the index's write-ahead log into it: %s",
                    db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
            }
            sqlite3_close_v2(db);
            m_running.store(false);
        });
    }

    const QByteArray m_path;
    std::atomic<bool> m_running = false;
    std::thread m_thread;
};

} // namespace

QString ScreenshotDatabase::defaultLocation()
{
    const QString support = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (support.isEmpty())
        throw FileError(ENOENT, QStringLiteral("$XDG_DATA_HOME"), QStringLiteral("locate"));
    return support + QStringLiteral("/Marlox/library.sqlite3");
}

QString ScreenshotDatabase::defaultPath()
{
    const QString path = defaultLocation();
    const QString dir = QFileInfo(path).path();
    if (!QDir().mkpath(dir))
        throw FileError(errno ? errno : EACCES, dir, QStringLiteral("create"));
    return path;
}

ScreenshotDatabase::ScreenshotDatabase(const QString &path) : m_path(path)
{
    try {
        open();
    } catch (...) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw;
    }
}

ScreenshotDatabase::ScreenshotDatabase(const QString &path, ReadOnly) : m_path(path)
{
    try {
        openReadOnly();
    } catch (...) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw;
    }
}

ScreenshotDatabase::~ScreenshotDatabase()
{
    // Only a connection that writes has a checkpointer; the others keep
    // SQLite's own hook argument.
    if (m_db && sqlite3_db_readonly(m_db, "main") == 0)
        delete static_cast<Checkpointer *>(sqlite3_wal_hook(m_db, nullptr, nullptr));
    sqlite3_close_v2(m_db);
}

void ScreenshotDatabase::open()
{
    const QByteArray name = m_path.toUtf8();
    if (sqlite3_open(name.constData(), &m_db) != SQLITE_OK) {
        if (!m_db)
            throw SQLiteError(QStringLiteral("sqlite3_open failed"));
        throwError();
    }
    // Another process holding a write lock for a moment is waited out, not reported.
    sqlite3_busy_timeout(m_db, 5000);
    exec("PRAGMA journal_mode=WAL;");
    // No sync per commit: in WAL mode a commit then survives a crash of the
    // app, and only a power cut or a crash of the system can take the last
    // few. The index is rebuildable from the library tree, and the reconcile
    // at every launch puts such a capture back: a filed file whose row still
    // names the screenshot folder is relinked by its hash, one with no row
    // at all is adopted and its text read again. A sync per commit cost each
    // filing about 10 ms on the GUI thread.
    exec("PRAGMA synchronous=NORMAL;");
    createSchema();
    sqlite3_wal_hook(m_db, &Checkpointer::committed, new Checkpointer(m_path.toUtf8()));
}

void ScreenshotDatabase::openReadOnly()
{
    const QByteArray name = m_path.toUtf8();
    if (sqlite3_open_v2(name.constData(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        if (!m_db)
            throw SQLiteError(QStringLiteral("sqlite3_open failed"));
        throwError();
    }
    sqlite3_busy_timeout(m_db, 5000);
    // Reading the schema now makes a file that is no index fail here, not at
    // the first search.
    Statement st(*this,
        QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name IN ('screenshots', "
                       "'screenshots_fts', 'screenshots_trigram');"));
    if (!st.next() || sqlite3_column_int(st.get(), 0) != 3)
        throw SQLiteError(QStringLiteral("%1 holds no screenshot index").arg(m_path));
}

void ScreenshotDatabase::exec(const char *sql)
{
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throwError();
}

void ScreenshotDatabase::throwError()
{
    throw SQLiteError(QString::fromUtf8(sqlite3_errmsg(m_db)), sqlite3_extended_errcode(m_db));
}

void ScreenshotDatabase::failNthStatementForTesting(int n, bool anyThread)
{
    QMutexLocker lock(&m_mutex);
    m_failCountdown = n;
    m_failThread = anyThread ? nullptr : QThread::currentThread();
}

void ScreenshotDatabase::injectFault()
{
    // Only the armed thread's statements count, not a background job's.
    if (m_failCountdown > 0 && (!m_failThread || QThread::currentThread() == m_failThread)
        && --m_failCountdown == 0)
        throw SQLiteError(QStringLiteral("injected failure"));
}

void ScreenshotDatabase::upsert(std::optional<qint64> id, const QString &path, const QString &title,
    const QString &folder, double createdAt, const QString &ocrText, const QString &contentHash,
    ScreenshotStatus status, qint64 fileSize)
{
    Statement st(*this,
        QStringLiteral("INSERT INTO screenshots (%1path, title, folder, created_at, ocr_text, "
                       "content_hash, status, file_size)\nVALUES (%2?, ?, ?, ?, ?, ?, ?, ?)\n"
                       "ON CONFLICT(path) DO UPDATE SET\n    title = excluded.title,\n"
                       "    folder = excluded.folder,\n    created_at = excluded.created_at,\n"
                       "    ocr_text = excluded.ocr_text,\n"
                       "    content_hash = excluded.content_hash,\n"
                       "    status = excluded.status,\n    file_size = excluded.file_size;")
            .arg(id ? QStringLiteral("id, ") : QString(), id ? QStringLiteral("?, ") : QString()));
    int column = 1;
    if (id)
        st.bind(column++, *id);
    st.bind(column++, path);
    st.bind(column++, title);
    st.bind(column++, folder);
    st.bind(column++, createdAt);
    st.bind(column++, ocrText);
    st.bind(column++, contentHash);
    st.bind(column++, storedText(status));
    st.bind(column, fileSize);
    st.run();
}

qint64 ScreenshotDatabase::insertOrUpdate(const QString &path, const QString &title,
    const QString &folder, double createdAt, const QString &ocrText, const QString &contentHash,
    ScreenshotStatus status, qint64 fileSize)
{
    QMutexLocker lock(&m_mutex);
    upsert(std::nullopt, path, title, folder, createdAt, ocrText, contentHash, status, fileSize);
    sqlite3_stmt *stmt = nullptr;
    std::optional<qint64> id;
    if (sqlite3_prepare_v2(m_db, "SELECT id FROM screenshots WHERE path = ?;", -1, &stmt, nullptr)
        == SQLITE_OK) {
        const QByteArray utf8 = path.toUtf8();
        sqlite3_bind_text(stmt, 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(stmt) == SQLITE_ROW)
            id = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    return id.value_or(sqlite3_last_insert_rowid(m_db));
}

qint64 ScreenshotDatabase::insertOrUpdateKeepingId(qint64 id, const QString &path,
    const QString &title, const QString &folder, double createdAt, const QString &ocrText,
    const QString &contentHash, ScreenshotStatus status, qint64 fileSize)
{
    QMutexLocker lock(&m_mutex);
    try {
        upsert(id, path, title, folder, createdAt, ocrText, contentHash, status, fileSize);
    } catch (const SQLiteError &error) {
        if (error.code() != SQLITE_CONSTRAINT_PRIMARYKEY)
            throw;
        return insertOrUpdate(
            path, title, folder, createdAt, ocrText, contentHash, status, fileSize);
    }
    return idForPath(path).value_or(id);
}

QList<qint64> ScreenshotDatabase::insertNewFiles(const QList<NewFile> &files)
{
    QMutexLocker lock(&m_mutex);
    QList<qint64> ids;
    runInTransaction([&] {
        Statement insert(*this,
            QStringLiteral("INSERT INTO screenshots (path, title, folder, created_at, ocr_text, "
                           "content_hash, status, file_size) VALUES (?, ?, ?, ?, '', ?, ?, ?) "
                           "ON CONFLICT(path) DO NOTHING;"));
        Statement owe(
            *this, QStringLiteral("INSERT OR IGNORE INTO pending_recognition(id) VALUES (?);"));
        for (const NewFile &f : files) {
            insert.reset();
            insert.bind(1, f.path);
            insert.bind(2, f.title);
            insert.bind(3, f.folder);
            insert.bind(4, f.createdAt);
            insert.bind(5, f.contentHash);
            insert.bind(6, storedText(f.status));
            insert.bind(7, f.fileSize);
            insert.run();
            if (sqlite3_changes(m_db) != 1)
                continue;
            const qint64 id = sqlite3_last_insert_rowid(m_db);
            owe.reset();
            owe.bind(1, id);
            owe.run();
            ids.append(id);
        }
    });
    return ids;
}

QList<qint64> ScreenshotDatabase::pendingRecognition()
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this, QStringLiteral("SELECT id FROM pending_recognition ORDER BY id;"));
    QList<qint64> ids;
    while (st.next())
        ids.append(sqlite3_column_int64(st.get(), 0));
    return ids;
}

void ScreenshotDatabase::clearPendingRecognition(qint64 id)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this, QStringLiteral("DELETE FROM pending_recognition WHERE id = ?;"));
    st.bind(1, id);
    st.run();
}

bool ScreenshotDatabase::hasRowsUnder(const QString &folder)
{
    QString prefix = QDir::cleanPath(folder);
    if (!prefix.endsWith(u'/'))
        prefix += u'/';
    // A range over the unique path index: '0' follows '/'.
    QString end = prefix;
    end.back() = u'0';
    QMutexLocker lock(&m_mutex);
    Statement st(*this,
        QStringLiteral("SELECT 1 FROM screenshots WHERE path >= ? AND path < ? LIMIT 1;"), false);
    st.bind(1, prefix);
    st.bind(2, end);
    return st.next();
}

std::optional<QString> ScreenshotDatabase::stateValue(const QString &key)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this, QStringLiteral("SELECT value FROM index_state WHERE key = ?;"), false);
    st.bind(1, key);
    if (st.next())
        return columnText(st.get(), 0);
    return std::nullopt;
}

void ScreenshotDatabase::setStateValue(const QString &key, const std::optional<QString> &value)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this,
        value ? QStringLiteral("INSERT INTO index_state(key, value) VALUES (?, ?) "
                               "ON CONFLICT(key) DO UPDATE SET value = excluded.value;")
              : QStringLiteral("DELETE FROM index_state WHERE key = ?;"),
        false);
    st.bind(1, key);
    if (value)
        st.bind(2, *value);
    st.run();
}

std::optional<qint64> ScreenshotDatabase::idForPath(const QString &path)
{
    QMutexLocker lock(&m_mutex);
    try {
        Statement st(*this, QStringLiteral("SELECT id FROM screenshots WHERE path = ?;"));
        st.bind(1, path);
        if (st.next())
            return sqlite3_column_int64(st.get(), 0);
    } catch (const SQLiteError &e) {
        qCWarning(lcDatabase, "Failed to look up %s: %s", qUtf8Printable(path),
            qUtf8Printable(describe(e)));
    }
    return std::nullopt;
}

void ScreenshotDatabase::updateLocation(qint64 id, const QString &path, const QString &title,
    const QString &folder, ScreenshotStatus status)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this,
        QStringLiteral("UPDATE screenshots SET path = ?, title = ?, folder = ?, "
                       "status = ? WHERE id = ?;"));
    st.bind(1, path);
    st.bind(2, title);
    st.bind(3, folder);
    st.bind(4, storedText(status));
    st.bind(5, id);
    st.run();
}

void ScreenshotDatabase::markInbox(const QList<qint64> &ids)
{
    QMutexLocker lock(&m_mutex);
    for (const qint64 id : ids) {
        Statement st(
            *this, QStringLiteral("UPDATE screenshots SET status = 'inbox' WHERE id = ?;"));
        st.bind(1, id);
        st.run();
    }
}

void ScreenshotDatabase::renameFolder(const QString &from, const QString &to)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this, QStringLiteral("UPDATE screenshots SET folder = ? WHERE folder = ?;"));
    st.bind(1, to);
    st.bind(2, from);
    st.run();
}

void ScreenshotDatabase::updateOCR(
    qint64 id, const QString &ocrText, const QString &contentHash, std::optional<qint64> fileSize)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this,
        QStringLiteral("UPDATE screenshots SET ocr_text = ?, content_hash = ?, "
                       "file_size = COALESCE(?, file_size) WHERE id = ?;"));
    st.bind(1, ocrText);
    st.bind(2, contentHash);
    if (fileSize)
        st.bind(3, *fileSize);
    else
        st.bindNull(3);
    st.bind(4, id);
    st.run();
}

void ScreenshotDatabase::updateTitle(qint64 id, const QString &title)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this, QStringLiteral("UPDATE screenshots SET title = ? WHERE id = ?;"));
    st.bind(1, title);
    st.bind(2, id);
    st.run();
}

void ScreenshotDatabase::deleteRow(qint64 id)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this, QStringLiteral("DELETE FROM screenshots WHERE id = ?;"));
    st.bind(1, id);
    st.run();
}

std::optional<QString> ScreenshotDatabase::ocrText(qint64 id)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this, QStringLiteral("SELECT ocr_text FROM screenshots WHERE id = ?;"));
    st.bind(1, id);
    if (st.next())
        return columnText(st.get(), 0);
    return std::nullopt;
}

void ScreenshotDatabase::updateFileSize(qint64 id, qint64 fileSize)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this, QStringLiteral("UPDATE screenshots SET file_size = ? WHERE id = ?;"));
    st.bind(1, fileSize);
    st.bind(2, id);
    st.run();
}

std::optional<QByteArray> ScreenshotDatabase::wordBoxes(qint64 id)
{
    QMutexLocker lock(&m_mutex);
    Statement st(
        *this, QStringLiteral("SELECT boxes FROM screenshot_words WHERE screenshot_id = ?;"));
    st.bind(1, id);
    if (!st.next())
        return std::nullopt;
    const auto *data = static_cast<const char *>(sqlite3_column_blob(st.get(), 0));
    return QByteArray(data, sqlite3_column_bytes(st.get(), 0));
}

void ScreenshotDatabase::storeWordBoxes(qint64 id, const QByteArray &boxes, bool keepExisting)
{
    QMutexLocker lock(&m_mutex);
    Statement st(*this,
        QStringLiteral("INSERT OR %1 INTO screenshot_words (screenshot_id, boxes) SELECT id, ? "
                       "FROM screenshots WHERE id = ?;")
            .arg(keepExisting ? QLatin1String("IGNORE") : QLatin1String("REPLACE")));
    st.bindBlob(1, boxes);
    st.bind(2, id);
    st.run();
}

void ScreenshotDatabase::runInTransaction(const std::function<void()> &work)
{
    QMutexLocker lock(&m_mutex);
    if (!sqlite3_get_autocommit(m_db)) {
        work();
        return;
    }
    exec("BEGIN IMMEDIATE;");
    try {
        work();
        exec("COMMIT;");
    } catch (...) {
        if (!sqlite3_get_autocommit(m_db))
            sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
        throw;
    }
}

QList<ScreenshotRecord> ScreenshotDatabase::fetchRecords(
    const char *columns, const QString &where, const Binder &bind)
{
    QMutexLocker lock(&m_mutex);
    QString sql
        = QStringLiteral("SELECT ") + QLatin1String(columns) + QStringLiteral(" FROM screenshots");
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where;
    sql += QStringLiteral(" ORDER BY created_at DESC;");
    Statement st(*this, sql);
    if (bind)
        bind(st.get());
    QList<ScreenshotRecord> records;
    while (st.next())
        records.append(recordFromRow(st.get()));
    return records;
}

QList<ScreenshotRecord> ScreenshotDatabase::allRecords()
{
    return fetchRecords(fullColumns);
}

QList<ScreenshotRecord> ScreenshotDatabase::allRecordsForList()
{
    return fetchRecords(listColumns);
}

std::optional<ScreenshotRecord> ScreenshotDatabase::record(qint64 id)
{
    const auto records = fetchRecords(listColumns, QStringLiteral("id = ?"),
        [id](sqlite3_stmt *stmt) { sqlite3_bind_int64(stmt, 1, id); });
    if (records.isEmpty())
        return std::nullopt;
    return records.first();
}

void ScreenshotDatabase::migrateStatuses(const QString &libraryRoot)
{
    const QString prefix = QDir::cleanPath(libraryRoot) + QLatin1Char('/');
    QList<qint64> ids;
    for (const auto &r : allRecords()) {
        if (!r.path.startsWith(prefix))
            ids.append(r.id);
    }
    if (!ids.isEmpty())
        markInbox(ids);
}

} // namespace marlox
