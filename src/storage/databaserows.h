#pragma once

// The index's own building blocks, shared by the files that make up
// ScreenshotDatabase. Not for use outside the storage layer.

#include <sqlite3.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include "storage/librarysection.h"
#include "storage/screenshotdatabase.h"
#include "storage/screenshotrecord.h"

namespace marlox {

namespace DatabaseRows {

// The table's columns in the order recordFromRow reads them.
inline constexpr char recordColumns[] = "s.id, s.path, s.title, s.folder, s.created_at, "
                                        "s.ocr_text, s.content_hash, s.status, s.file_size";

QString sectionFilter(const LibrarySection &section, const char *rowid);
QString idList(const QList<qint64> &ids);
QString columnText(sqlite3_stmt *stmt, int column);
ScreenshotRecord recordFromRow(sqlite3_stmt *stmt);

} // namespace DatabaseRows

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

} // namespace marlox
