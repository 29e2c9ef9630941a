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
#include "storage/searchquery.h"

namespace marlox {

namespace {

const char *const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS screenshots (\n    id INTEGER PRIMARY KEY AUTOINCREMENT,\n    path "
    "TEXT NOT NULL UNIQUE,\n    title TEXT NOT NULL DEFAULT '',\n    folder TEXT NOT NULL DEFAULT "
    "'',\n    created_at REAL NOT NULL,\n    ocr_text TEXT NOT NULL DEFAULT '',\n    content_hash "
    "TEXT NOT NULL DEFAULT '',\n    status TEXT NOT NULL DEFAULT 'filed',\n    file_size INTEGER "
    "NOT NULL DEFAULT 0\n);",
    "ALTER TABLE screenshots ADD COLUMN content_hash TEXT NOT NULL DEFAULT '';",
    "ALTER TABLE screenshots ADD COLUMN status TEXT NOT NULL DEFAULT 'filed';",
    "ALTER TABLE screenshots ADD COLUMN file_size INTEGER NOT NULL DEFAULT 0;",
    "CREATE VIRTUAL TABLE IF NOT EXISTS screenshots_fts USING fts5(\n    title, ocr_text, "
    "content='screenshots', content_rowid='id'\n);",
    "CREATE TRIGGER IF NOT EXISTS screenshots_ai AFTER INSERT ON screenshots BEGIN\n    INSERT "
    "INTO "
    "screenshots_fts(rowid, title, ocr_text) VALUES (new.id, new.title, new.ocr_text);\nEND;",
    "CREATE TRIGGER IF NOT EXISTS screenshots_ad AFTER DELETE ON screenshots BEGIN\n    INSERT "
    "INTO "
    "screenshots_fts(screenshots_fts, rowid, title, ocr_text) VALUES('delete', old.id, old.title, "
    "old.ocr_text);\nEND;",
    "CREATE TRIGGER IF NOT EXISTS screenshots_au AFTER UPDATE ON screenshots BEGIN\n    INSERT "
    "INTO "
    "screenshots_fts(screenshots_fts, rowid, title, ocr_text) VALUES('delete', old.id, old.title, "
    "old.ocr_text);\n    INSERT INTO screenshots_fts(rowid, title, ocr_text) VALUES (new.id, "
    "new.title, new.ocr_text);\nEND;",
};

// Beyond the table and its word index: a covering index for the record list
// (the list is read without stepping over each row's recognised text, which
// sits before the listed columns), and a trigram index for scripts written
// without spaces, kept in step by its own triggers.
const char *const kListIndex
    = "CREATE INDEX IF NOT EXISTS screenshots_list ON screenshots(created_at DESC, id, path, "
      "title, folder, content_hash, status, file_size);";
// Only rows holding such text go into the trigram index: it is several times
// the size of the word index, and no other row can match a piece that
// needs it. Deletes test the old values the same way, so every 'delete'
// names exactly what was inserted.
QList<QByteArray> trigramSchema()
{
    const QString holds = QStringLiteral("(%1.title || %1.ocr_text) GLOB '")
        + SearchQuery::noSpaceScriptGlob() + QLatin1Char('\'');
    const QString insertNew = QStringLiteral(
        "INSERT INTO screenshots_trigram(rowid, title, ocr_text) SELECT new.id, new.title, "
        "new.ocr_text WHERE %1;")
                                  .arg(holds.arg(QLatin1String("new")));
    const QString deleteOld
        = QStringLiteral("INSERT INTO screenshots_trigram(screenshots_trigram, rowid, title, "
                         "ocr_text) SELECT 'delete', old.id, old.title, old.ocr_text WHERE %1;")
              .arg(holds.arg(QLatin1String("old")));
    return {
        QByteArrayLiteral("CREATE VIRTUAL TABLE IF NOT EXISTS screenshots_trigram USING fts5(\n"
                          "    title, ocr_text, content='screenshots', content_rowid='id', "
                          "tokenize='trigram'\n);"),
        (QStringLiteral("CREATE TRIGGER IF NOT EXISTS screenshots_trigram_ai AFTER INSERT ON "
                        "screenshots BEGIN\n    ")
            + insertNew + QStringLiteral("\nEND;"))
            .toUtf8(),
        (QStringLiteral("CREATE TRIGGER IF NOT EXISTS screenshots_trigram_ad AFTER DELETE ON "
                        "screenshots BEGIN\n    ")
            + deleteOld + QStringLiteral("\nEND;"))
            .toUtf8(),
        (QStringLiteral("CREATE TRIGGER IF NOT EXISTS screenshots_trigram_au AFTER UPDATE OF "
                        "title, ocr_text ON screenshots BEGIN\n    ")
            + deleteOld + QStringLiteral("\n    ") + insertNew + QStringLiteral("\nEND;"))
            .toUtf8(),
    };
}

// Fills the trigram index from rows that existed before it.
QByteArray trigramFill()
{
    return (QStringLiteral("INSERT INTO screenshots_trigram(rowid, title, ocr_text) SELECT id, "
                           "title, ocr_text FROM screenshots WHERE (title || ocr_text) GLOB '")
        + SearchQuery::noSpaceScriptGlob() + QStringLiteral("';"))
        .toUtf8();
}

// What must survive a kill of the process: work owed to the index itself.
const char *const kUpkeepSchema
    = "CREATE TABLE IF NOT EXISTS index_state (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
      "CREATE TABLE IF NOT EXISTS pending_recognition (id INTEGER PRIMARY KEY);";

// Each record's word boxes for the detail view, apart from the row so that
// neither the list nor the search reads them. Boxes belong to the text they
// were read with: a new text drops them.
const char *const kWordsSchema[] = {
    "CREATE TABLE IF NOT EXISTS screenshot_words (\n    screenshot_id INTEGER PRIMARY KEY,\n"
    "    boxes BLOB NOT NULL\n);",
    "CREATE TRIGGER IF NOT EXISTS screenshot_words_ad AFTER DELETE ON screenshots BEGIN\n"
    "    DELETE FROM screenshot_words WHERE screenshot_id = old.id;\nEND;",
    "CREATE TRIGGER IF NOT EXISTS screenshot_words_au AFTER UPDATE OF ocr_text ON screenshots "
    "WHEN old.ocr_text IS NOT new.ocr_text BEGIN\n"
    "    DELETE FROM screenshot_words WHERE screenshot_id = old.id;\nEND;",
};

// Per connection, so it adds nothing to the file.
const char *const kVocabulary = "CREATE VIRTUAL TABLE IF NOT EXISTS temp.screenshots_vocab USING "
                                "fts5vocab(main, screenshots_fts, row);";

const char *const kRecordColumns = "s.id, s.path, s.title, s.folder, s.created_at, s.ocr_text, "
                                   "s.content_hash, s.status, s.file_size";

// Narrows a query over an FTS table to the section without reading the
// section's columns from each matching row: the ids come from the list
// index. The unary plus keeps the FTS table from taking the rowid list as
// a lookup key, which would run the match once per id.
QString sectionFilter(const LibrarySection &section, const char *rowid)
{
    switch (section.kind) {
    case LibrarySection::Kind::inbox:
        return QStringLiteral(" AND +%1 IN (SELECT id FROM screenshots WHERE status = 'inbox')")
            .arg(QLatin1String(rowid));
    case LibrarySection::Kind::folder:
        return QStringLiteral(" AND +%1 IN (SELECT id FROM screenshots WHERE folder = ?)")
            .arg(QLatin1String(rowid));
    case LibrarySection::Kind::all:
        break;
    }
    return {};
}

QString idList(const QList<qint64> &ids)
{
    QStringList parts;
    parts.reserve(ids.size());
    for (const qint64 id : ids)
        parts.append(QString::number(id));
    return parts.join(QLatin1Char(','));
}

QString columnText(sqlite3_stmt *stmt, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(stmt, column)) : QString();
}

ScreenshotRecord recordFromRow(sqlite3_stmt *stmt)
{
    ScreenshotRecord r;
    r.id = sqlite3_column_int64(stmt, 0);
    r.path = columnText(stmt, 1);
    r.title = columnText(stmt, 2);
    r.folder = columnText(stmt, 3);
    r.createdAt = sqlite3_column_double(stmt, 4);
    r.ocrText = columnText(stmt, 5);
    r.contentHash = columnText(stmt, 6);
    const auto *status = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 7));
    r.status = (status && qstrcmp(status, "inbox") == 0) ? ScreenshotStatus::inbox
                                                         : ScreenshotStatus::filed;
    r.fileSize = sqlite3_column_int64(stmt, 8);
    return r;
}

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

// A prepared statement that is always finalised, also when a step throws.
class ScreenshotDatabase::Statement
{
public:
    // Bookkeeping statements are not `injectable`: an injected fault is
    // meant for the operation under test.
    Statement(ScreenshotDatabase &db, const QString &sql, bool injectable = true) : m_db(db)
    {
        if (injectable)
            db.injectFault();
        const QByteArray utf8 = sql.toUtf8();
        if (sqlite3_prepare_v2(db.m_db, utf8.constData(), int(utf8.size()), &m_stmt, nullptr)
            != SQLITE_OK) {
            m_stmt = nullptr;
            db.throwError();
        }
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    sqlite3_stmt *get() const { return m_stmt; }

    void bind(int index, const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        check(
            sqlite3_bind_text(m_stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT));
    }
    void bind(int index, qint64 value) { check(sqlite3_bind_int64(m_stmt, index, value)); }
    void bind32(int index, int value) { check(sqlite3_bind_int(m_stmt, index, value)); }
    void bind(int index, double value) { check(sqlite3_bind_double(m_stmt, index, value)); }
    void bindNull(int index) { check(sqlite3_bind_null(m_stmt, index)); }
    // Ready for the next row of a batch.
    void reset()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    void bindBlob(int index, const QByteArray &bytes)
    {
        check(sqlite3_bind_blob64(
            m_stmt, index, bytes.constData(), sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT));
    }

    // One step of a data-changing statement: anything but "done" is a failure.
    void run()
    {
        if (sqlite3_step(m_stmt) != SQLITE_DONE)
            m_db.throwError();
    }

    // True while rows come; "done" ends; anything else throws.
    bool next()
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        m_db.throwError();
    }

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK)
            m_db.throwError();
    }

    ScreenshotDatabase &m_db;
    sqlite3_stmt *m_stmt = nullptr;
};

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

void ScreenshotDatabase::createSchema()
{
    exec(kSchema[0]);
    if (!hasColumn(QStringLiteral("content_hash"), QStringLiteral("screenshots")))
        exec(kSchema[1]);
    if (!hasColumn(QStringLiteral("status"), QStringLiteral("screenshots"))) {
        exec(kSchema[2]);
        m_needsStatusMigration = true;
    }
    if (!hasColumn(QStringLiteral("file_size"), QStringLiteral("screenshots")))
        exec(kSchema[3]);
    // An index created over rows that already exist must be filled, or the
    // triggers' deletes of never-indexed rows corrupt it.
    const bool hadIndex = hasTable(QStringLiteral("screenshots_fts"));
    for (int i = 4; i < 8; ++i)
        exec(kSchema[i]);
    if (!hadIndex)
        exec("INSERT INTO screenshots_fts(screenshots_fts) VALUES('rebuild');");

    exec(kListIndex);
    const bool hadTrigram = hasTable(QStringLiteral("screenshots_trigram"));
    for (const QByteArray &statement : trigramSchema())
        exec(statement.constData());
    if (!hadTrigram)
        exec(trigramFill().constData());
    exec(kUpkeepSchema);
    for (const char *statement : kWordsSchema)
        exec(statement);
    exec(kVocabulary);
}

bool ScreenshotDatabase::hasTable(const QString &table)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT 1 FROM sqlite_master WHERE name = ?;", -1, &stmt, nullptr)
        != SQLITE_OK)
        return false;
    const QByteArray name = table.toUtf8();
    sqlite3_bind_text(stmt, 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
    const bool found = sqlite3_step(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    return found;
}

bool ScreenshotDatabase::hasColumn(const QString &column, const QString &table)
{
    sqlite3_stmt *stmt = nullptr;
    const QByteArray sql = QStringLiteral("PRAGMA table_info(%1);").arg(table).toUtf8();
    if (sqlite3_prepare_v2(m_db, sql.constData(), -1, &stmt, nullptr) != SQLITE_OK)
        return false;
    bool found = false;
    while (!found && sqlite3_step(stmt) == SQLITE_ROW)
        found = columnText(stmt, 1) == column;
    sqlite3_finalize(stmt);
    return found;
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
    } catch (const SQLiteError &) { }
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

QString ScreenshotDatabase::matchExpression(const QString &text)
{
    QStringList terms;
    for (const SearchQuery::Piece &piece : SearchQuery::split(text)) {
        if (!piece.words.isEmpty())
            terms.append(SearchQuery::prefixPhrase(piece));
    }
    return terms.join(QLatin1Char(' '));
}

QList<SearchResult> ScreenshotDatabase::search(
    const QString &text, const LibrarySection &section, int limit)
{
    const QList<SearchQuery::Piece> pieces = SearchQuery::split(text);
    if (std::any_of(pieces.cbegin(), pieces.cend(), [](const SearchQuery::Piece &piece) {
            return SearchQuery::hasNoSpaceScript(piece.joined);
        }))
        return searchNoSpaceScript(pieces, section, limit);
    const QString expression = matchExpression(text);
    if (expression.isEmpty())
        return {};
    return rankedSearch(expression, section, limit);
}

QList<SearchResult> ScreenshotDatabase::searchForComparison(
    const QString &text, const LibrarySection &section, int limit)
{
    const QString expression = matchExpression(text);
    if (expression.isEmpty())
        return {};
    QString sql = QStringLiteral(
        "SELECT s.id, s.path, s.title, s.folder, s.created_at, s.ocr_text, s.content_hash, "
        "s.status, s.file_size,\n       snippet(screenshots_fts, 1, '[', ']', '…', 12) AS snip\n"
        "FROM screenshots_fts\nJOIN screenshots s ON s.id = screenshots_fts.rowid\n"
        "WHERE screenshots_fts MATCH ?");
    switch (section.kind) {
    case LibrarySection::Kind::inbox:
        sql += QStringLiteral(" AND s.status = 'inbox'");
        break;
    case LibrarySection::Kind::folder:
        sql += QStringLiteral(" AND s.folder = ?");
        break;
    case LibrarySection::Kind::all:
        break;
    }
    sql += QStringLiteral(" ORDER BY bm25(screenshots_fts) LIMIT ?;");

    QMutexLocker lock(&m_mutex);
    Statement st(*this, sql);
    st.bind(1, expression);
    int next = 2;
    if (section.kind == LibrarySection::Kind::folder)
        st.bind(next++, section.folderName);
    st.bind32(next, limit);
    QList<SearchResult> results;
    while (st.next())
        results.append({ recordFromRow(st.get()), columnText(st.get(), 9) });
    return results;
}

// Ranks first, over the index alone, and reads rows and builds excerpts only
// for the rows returned: a short prefix can match most of the library, and
// reading each of those rows (past its recognised text) and excerpting it
// cost far more than the ranking. Same rows, order and excerpts as one
// statement ordering the joined rows by bm25.
QList<SearchResult> ScreenshotDatabase::rankedSearch(const QString &expression,
    const LibrarySection &section, int limit, const QList<qint64> &exclude)
{
    QMutexLocker lock(&m_mutex);
    QList<qint64> ranked;
    {
        QString sql
            = QStringLiteral("SELECT rowid FROM screenshots_fts WHERE screenshots_fts MATCH ?")
            + sectionFilter(section, "rowid");
        if (!exclude.isEmpty())
            sql += QStringLiteral(" AND +rowid NOT IN (%1)").arg(idList(exclude));
        Statement st(*this, sql + QStringLiteral(" ORDER BY bm25(screenshots_fts) LIMIT ?;"));
        st.bind(1, expression);
        int next = 2;
        if (section.kind == LibrarySection::Kind::folder)
            st.bind(next++, section.folderName);
        st.bind32(next, limit);
        while (st.next())
            ranked.append(sqlite3_column_int64(st.get(), 0));
    }
    if (ranked.isEmpty())
        return {};
    return fetchMatches(QStringLiteral("screenshots_fts"), expression, ranked);
}

QList<SearchResult> ScreenshotDatabase::fetchMatches(
    const QString &table, const QString &expression, const QList<qint64> &ranked)
{
    QHash<qint64, SearchResult> byId;
    Statement st(*this,
        QStringLiteral("SELECT %1, snippet(%2, 1, '[', ']', '…', 12)\nFROM %2\n"
                       "JOIN screenshots s ON s.id = %2.rowid\n"
                       "WHERE %2 MATCH ? AND +%2.rowid IN (%3);")
            .arg(QLatin1String(kRecordColumns), table, idList(ranked)));
    st.bind(1, expression);
    while (st.next()) {
        SearchResult hit { recordFromRow(st.get()), columnText(st.get(), 9) };
        byId.insert(hit.id(), hit);
    }
    QList<SearchResult> results;
    results.reserve(ranked.size());
    for (const qint64 id : ranked) {
        const auto found = byId.constFind(id);
        if (found != byId.cend())
            results.append(*found);
    }
    return results;
}

// Pieces in scripts without spaces are found by substring: three characters
// or more through the trigram index, shorter ones by a scan of the two
// columns (a trigram index cannot answer them). Other pieces of the same
// query still go through the word index as prefixes.
QList<SearchResult> ScreenshotDatabase::searchNoSpaceScript(
    const QList<SearchQuery::Piece> &pieces, const LibrarySection &section, int limit)
{
    QStringList words;
    QStringList trigrams;
    QStringList shortPieces;
    for (const SearchQuery::Piece &piece : pieces) {
        if (!SearchQuery::hasNoSpaceScript(piece.joined)) {
            if (!piece.words.isEmpty())
                words.append(SearchQuery::prefixPhrase(piece));
        } else if (QStringView(piece.joined).toUcs4().size() >= 3) {
            trigrams.append(SearchQuery::quoted(piece.joined));
        } else {
            shortPieces.append(piece.joined);
        }
    }
    const QString wordExpression = words.join(QLatin1Char(' '));
    const QString trigramExpression = trigrams.join(QLatin1Char(' '));

    QString table;
    QString sql = QStringLiteral("SELECT ") + QLatin1String(kRecordColumns);
    if (!trigrams.isEmpty())
        table = QStringLiteral("screenshots_trigram");
    else if (!words.isEmpty())
        table = QStringLiteral("screenshots_fts");
    if (!table.isEmpty()) {
        sql += QStringLiteral(", snippet(%1, 1, '[', ']', '…', 12)\nFROM %1\n"
                              "JOIN screenshots s ON s.id = %1.rowid\nWHERE %1 MATCH ?")
                   .arg(table);
        if (!trigrams.isEmpty() && !words.isEmpty())
            sql += QStringLiteral(" AND s.id IN (SELECT rowid FROM screenshots_fts WHERE "
                                  "screenshots_fts MATCH ?)");
    } else {
        sql += QStringLiteral(", ''\nFROM screenshots s\nWHERE 1");
    }
    for (qsizetype i = 0; i < shortPieces.size(); ++i)
        sql += QStringLiteral(" AND (s.title LIKE ? OR s.ocr_text LIKE ?)");
    if (section.kind == LibrarySection::Kind::inbox)
        sql += QStringLiteral(" AND s.status = 'inbox'");
    else if (section.kind == LibrarySection::Kind::folder)
        sql += QStringLiteral(" AND s.folder = ?");
    sql += table.isEmpty() ? QStringLiteral(" ORDER BY s.created_at DESC LIMIT ?;")
                           : QStringLiteral(" ORDER BY bm25(%1) LIMIT ?;").arg(table);

    QMutexLocker lock(&m_mutex);
    Statement st(*this, sql);
    int next = 1;
    if (!trigrams.isEmpty())
        st.bind(next++, trigramExpression);
    if (!words.isEmpty())
        st.bind(next++, wordExpression);
    for (const QString &piece : shortPieces) {
        const QString pattern = QLatin1Char('%') + piece + QLatin1Char('%');
        st.bind(next++, pattern);
        st.bind(next++, pattern);
    }
    if (section.kind == LibrarySection::Kind::folder)
        st.bind(next++, section.folderName);
    st.bind32(next, limit);
    QList<SearchResult> results;
    while (st.next()) {
        SearchResult hit { recordFromRow(st.get()), columnText(st.get(), 9) };
        // Short pieces alone have no index to excerpt with; the excerpt is
        // made here the same way.
        if (table.isEmpty())
            hit.snippet = SearchQuery::substringSnippet(hit.record.ocrText, shortPieces);
        results.append(std::move(hit));
    }
    return results;
}

QStringList ScreenshotDatabase::termsStartingWith(QChar first)
{
    QMutexLocker lock(&m_mutex);
    const qint64 changes = sqlite3_total_changes64(m_db);
    if (m_vocabularyChanges != changes) {
        m_vocabulary.clear();
        m_vocabularyChanges = changes;
    }
    const auto cached = m_vocabulary.constFind(first);
    if (cached != m_vocabulary.cend())
        return *cached;
    // For a letter of the basic plane, code point order is the index's byte
    // order, so one range holds every term that starts with it.
    QStringList terms;
    Statement st(*this,
        QStringLiteral("SELECT term FROM temp.screenshots_vocab WHERE term >= ? AND term < ?;"));
    st.bind(1, QString(first));
    st.bind(2, QString(QChar(char16_t(first.unicode() + 1))));
    while (st.next())
        terms.append(columnText(st.get(), 0));
    m_vocabulary.insert(first, terms);
    return terms;
}

QList<SearchResult> ScreenshotDatabase::similarMatches(
    const QString &text, const LibrarySection &section, int limit, const QList<qint64> &excludeIds)
{
    QList<SearchQuery::Piece> pieces = SearchQuery::split(text);
    pieces.removeIf([](const SearchQuery::Piece &piece) {
        return piece.words.isEmpty() || SearchQuery::hasNoSpaceScript(piece.joined);
    });
    if (pieces.isEmpty() || limit <= 0)
        return {};

    QMutexLocker lock(&m_mutex);
    const auto slice = [this](QChar first) { return termsStartingWith(first); };
    // Each piece: its own prefix, or any term close to it. A piece of several
    // words (a date, a path) is only taken as typed.
    QList<std::vector<VocabMatcher::Candidate>> candidates;
    std::vector<double> costs;
    bool any = false;
    for (const SearchQuery::Piece &piece : pieces) {
        candidates.append(piece.words.contains(QLatin1Char(' '))
                ? std::vector<VocabMatcher::Candidate> {}
                : VocabMatcher::similarTerms(piece.words, slice));
        for (const auto &candidate : candidates.back())
            costs.push_back(candidate.relativeCost);
        any = any || !candidates.back().empty();
    }
    if (!any)
        return {};
    std::sort(costs.begin(), costs.end());
    costs.erase(std::unique(costs.begin(), costs.end()), costs.end());

    // Cheapest guesses first, by cost for each typed letter (one wrong letter
    // in a long word is a safer guess than in a short one): each round allows
    // one more cost step and adds only records not found before.
    QList<SearchResult> results;
    QList<qint64> seen = excludeIds;
    for (const double allowed : costs) {
        QStringList groups;
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            QStringList alternatives { SearchQuery::prefixPhrase(pieces[i]) };
            for (const auto &candidate : candidates[i]) {
                if (candidate.relativeCost <= allowed)
                    alternatives.append(SearchQuery::quoted(candidate.term));
            }
            groups.append(
                QLatin1Char('(') + alternatives.join(QStringLiteral(" OR ")) + QLatin1Char(')'));
        }
        const auto found = rankedSearch(
            groups.join(QStringLiteral(" AND ")), section, int(limit - results.size()), seen);
        for (const auto &hit : found) {
            results.append(hit);
            seen.append(hit.id());
        }
        if (results.size() >= limit)
            break;
    }
    return results;
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
