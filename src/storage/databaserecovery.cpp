#include "storage/databaserecovery.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <sqlite3.h>

#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include "platform/log.h"

namespace marlox::DatabaseRecovery {

namespace {

bool exists(const QString &path)
{
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

quint32 bigEndian32(const QByteArray &bytes, int offset)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData()) + offset;
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

// The main file against its own header: a file cut short after its last
// checkpoint reads as zeros where its pages should be, which SQLite notices
// only when a query happens to walk there.
void checkHeader(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return; // SQLite has opened it; its own reads will tell
    const qint64 size = file.size();
    if (size == 0)
        return;
    const QByteArray header = file.read(100);
    if (header.size() < 100 || !header.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        throw SQLiteError(QString::fromUtf8(sqlite3_errstr(SQLITE_NOTADB)), SQLITE_NOTADB);
    const auto *p = reinterpret_cast<const unsigned char *>(header.constData());
    const quint32 rawPageSize = (quint32(p[16]) << 8) | quint32(p[17]);
    const qint64 pageSize = rawPageSize == 1 ? 65536 : rawPageSize;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)
        throw SQLiteError(QString::fromUtf8(sqlite3_errstr(SQLITE_CORRUPT)), SQLITE_CORRUPT);
    // The page count in the header is only trustworthy when written by the
    // same change as the counter; and a log that still holds frames may be
    // in the middle of growing the file, so then the log's replay decides.
    const quint32 pageCount = bigEndian32(header, 28);
    const bool countValid = pageCount != 0 && bigEndian32(header, 24) == bigEndian32(header, 92);
    if (!countValid || QFileInfo(path + QStringLiteral("-wal")).size() > 32)
        return;
    if (size < qint64(pageCount) * pageSize)
        throw SQLiteError(QString::fromUtf8(sqlite3_errstr(SQLITE_CORRUPT))
                + QStringLiteral(" (the file ends after %1 of %2 bytes)")
                      .arg(size)
                      .arg(qint64(pageCount) * pageSize),
            SQLITE_CORRUPT);
}

// A read-only look at the index through a connection of its own.
class Probe
{
public:
    explicit Probe(const QString &path)
    {
        const QByteArray name = QFile::encodeName(path);
        const int rc = sqlite3_open_v2(name.constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
        if (rc != SQLITE_OK)
            fail(rc);
        sqlite3_extended_result_codes(m_db, 1);
        // Closing the last connection would fold the log into the main file
        // and delete it, or delete a log it cannot read: either way the
        // companions of a broken file would be gone before they are moved.
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~Probe() { sqlite3_close_v2(m_db); }
    Probe(const Probe &) = delete;
    Probe &operator=(const Probe &) = delete;

    sqlite3 *handle() const { return m_db; }

    // Steps through every row, reading every column, and answers the first
    // column of the first row as text.
    QString readAll(const char *sql)
    {
        sqlite3_stmt *stmt = nullptr;
        int rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
        if (rc != SQLITE_OK)
            fail(rc);
        QString first;
        bool firstRow = true;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(stmt); ++i)
                sqlite3_column_bytes(stmt, i);
            if (firstRow) {
                const auto *text = sqlite3_column_text(stmt, 0);
                first = text ? QString::fromUtf8(reinterpret_cast<const char *>(text)) : QString();
                firstRow = false;
            }
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE)
            fail(rc);
        return first;
    }

    QStringList column(const char *sql)
    {
        sqlite3_stmt *stmt = nullptr;
        int rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
        if (rc != SQLITE_OK)
            fail(rc);
        QStringList values;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const auto *text = sqlite3_column_text(stmt, 0);
            values.append(
                text ? QString::fromUtf8(reinterpret_cast<const char *>(text)) : QString());
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE)
            fail(rc);
        return values;
    }

    [[noreturn]] void fail(int rc)
    {
        const int code = m_db ? sqlite3_extended_errcode(m_db) : rc;
        const QString message = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db))
                                     : QString::fromUtf8(sqlite3_errstr(rc));
        throw SQLiteError(message, code ? code : rc);
    }

private:
    sqlite3 *m_db = nullptr;
};

// Interrupts the probe's statement once the budget is spent, unless told to
// stand down first.
class Watchdog
{
public:
    Watchdog(sqlite3 *db, std::chrono::milliseconds budget)
        : m_thread([this, db, budget] {
              std::unique_lock lock(m_mutex);
              if (!m_done.wait_for(lock, budget, [this] { return m_finished; })) {
                  m_fired = true;
                  sqlite3_interrupt(db);
              }
          })
    { }
    ~Watchdog() { standDown(); }

    // Answers whether the budget ran out.
    bool standDown()
    {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        return m_fired;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    bool m_fired = false;
    std::thread m_thread;
};

} // namespace

bool isBroken(const SQLiteError &error)
{
    const int code = error.code();
    switch (code & 0xff) {
    case SQLITE_ERROR: // a schema that cannot be made or read
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
    case SQLITE_FORMAT:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
    case SQLITE_TOOBIG:
    case SQLITE_CONSTRAINT:
        return true;
    case SQLITE_IOERR:
        return code == SQLITE_IOERR_SHORT_READ;
    default:
        // Busy, locked, read-only, full, no memory, cannot open, unknown:
        // the file may be perfectly sound, so it must stay where it is.
        return false;
    }
}

namespace {

bool needsCheck(const QString &path)
{
    return path != QLatin1String(":memory:") && QFileInfo::exists(path);
}

CheckReport runChecks(Probe &probe, const QString &path, std::chrono::milliseconds budget)
{
    const QStringList tables = probe.column("SELECT name FROM sqlite_master WHERE type = 'table';");
    probe.readAll("SELECT type, name, tbl_name, rootpage, sql FROM sqlite_master;");
    // Both ends of each tree: O(depth), and the last pages of a file cut
    // short in the middle of a log replay usually belong to one of them.
    // Only what every schema since the first has, so an old index that start-up
    // would upgrade is not taken for a broken one.
    if (tables.contains(QLatin1String("screenshots"))) {
        probe.readAll(
            "SELECT * FROM screenshots WHERE rowid IN "
            "((SELECT min(rowid) FROM screenshots), (SELECT max(rowid) FROM screenshots));");
        probe.readAll("SELECT path FROM screenshots ORDER BY path LIMIT 1;");
        probe.readAll("SELECT path FROM screenshots ORDER BY path DESC LIMIT 1;");
        // Walks every page of the path index (the smallest tree over all rows).
        probe.readAll("SELECT count(*) FROM screenshots;");
    }
    if (tables.contains(QLatin1String("screenshots_fts_data"))) {
        probe.readAll("SELECT * FROM screenshots_fts_data WHERE id IN "
                      "((SELECT min(id) FROM screenshots_fts_data), "
                      "(SELECT max(id) FROM screenshots_fts_data));");
    }
    if (tables.contains(QLatin1String("screenshots_fts_idx")))
        probe.readAll("SELECT count(*) FROM screenshots_fts_idx;");

    Watchdog watchdog(probe.handle(), budget);
    QString verdict;
    try {
        verdict = probe.readAll("PRAGMA quick_check(1);");
    } catch (const SQLiteError &error) {
        const bool outOfTime = watchdog.standDown();
        if (outOfTime && (error.code() & 0xff) == SQLITE_INTERRUPT) {
            qCDebug(lcDatabase, "Index check of %s stopped after %lld ms", qUtf8Printable(path),
                qlonglong(budget.count()));
            return { false };
        }
        throw;
    }
    watchdog.standDown();
    if (verdict != QLatin1String("ok"))
        throw SQLiteError(QString::fromUtf8(sqlite3_errstr(SQLITE_CORRUPT)) + QStringLiteral(" (")
                + verdict.simplified() + QLatin1Char(')'),
            SQLITE_CORRUPT);
    return {};
}

} // namespace

CheckReport checkIndex(const QString &path, std::chrono::milliseconds budget)
{
    if (!needsCheck(path))
        return {};
    checkHeader(path);
    Probe probe(path);
    return runChecks(probe, path, budget);
}

QString stamp(const QDateTime &now)
{
    return QLocale::c().toString(now, QStringLiteral("yyyyMMdd-HHmmss"));
}

std::optional<QString> moveAside(const QString &path, const QString &stamp)
{
    QString base = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; exists(base); ++n)
        base = path + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);

    std::optional<QString> moved;
    for (const QString &suffix : { QString(), QStringLiteral("-wal"), QStringLiteral("-shm") }) {
        const QString from = path + suffix;
        if (!exists(from))
            continue;
        const QString to = base + suffix;
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData())
            != 0)
            throw FileError(errno, from, QStringLiteral("move aside"));
        if (suffix.isEmpty())
            moved = to;
    }
    return moved;
}

Opened open(const QString &path, const QDateTime &now, std::chrono::milliseconds checkBudget)
{
    std::optional<QString> original;
    {
        // The probe's connection stays open until the index has opened for
        // use or failed to: the last connection to close on a broken file
        // deletes its -wal and -shm, and the probe's own close never does.
        std::unique_ptr<Probe> probe;
        try {
            if (needsCheck(path)) {
                checkHeader(path);
                probe = std::make_unique<Probe>(path);
                runChecks(*probe, path, checkBudget);
            }
        } catch (const SQLiteError &error) {
            // Kept waiting or refused: opening for use decides below.
            if (isBroken(error))
                original = error.description();
            else
                qCInfo(lcDatabase, "Check of %s left undone: %s", qUtf8Printable(path),
                    qUtf8Printable(error.description()));
        }
        if (!original) {
            try {
                return { std::make_unique<ScreenshotDatabase>(path), std::nullopt, std::nullopt };
            } catch (const SQLiteError &error) {
                if (!isBroken(error))
                    throw;
                original = error.description();
            }
        }
    }
    auto movedTo = moveAside(path, stamp(now));
    auto database = std::make_unique<ScreenshotDatabase>(path);
    return { std::move(database), movedTo, original };
}

} // namespace marlox::DatabaseRecovery
