#include "storage/databaserows.h"

#include <QStringList>

namespace marlox::DatabaseRows {

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

} // namespace marlox::DatabaseRows
