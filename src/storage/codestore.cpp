#include <sqlite3.h>

#include <QSet>

#include "storage/databaserows.h"
#include "storage/screenshotdatabase.h"

namespace marlox {

using namespace DatabaseRows;

QList<ScreenshotCode> ScreenshotDatabase::codes(qint64 id)
{
    QMutexLocker lock(&m_mutex);
    // An index last written by an older Marlox, opened to read only.
    if (!hasTable(QStringLiteral("screenshot_codes")))
        return {};
    Statement st(*this,
        QStringLiteral("SELECT format, text, x1, y1, x2, y2, x3, y3, x4, y4 FROM screenshot_codes "
                       "WHERE screenshot_id = ? ORDER BY id;"));
    st.bind(1, id);
    QList<ScreenshotCode> found;
    while (st.next()) {
        ScreenshotCode code { columnText(st.get(), 0), columnText(st.get(), 1), {} };
        for (int i = 0; i < 4; ++i)
            code.corners[size_t(i)] = QPoint(
                sqlite3_column_int(st.get(), 2 + 2 * i), sqlite3_column_int(st.get(), 3 + 2 * i));
        found.append(std::move(code));
    }
    return found;
}

void ScreenshotDatabase::storeCodes(qint64 id, const QList<ScreenshotCode> &codes)
{
    runInTransaction([&] {
        Statement clear(
            *this, QStringLiteral("DELETE FROM screenshot_codes WHERE screenshot_id = ?;"));
        clear.bind(1, id);
        clear.run();
        if (codes.isEmpty())
            return;
        Statement insert(*this,
            QStringLiteral("INSERT INTO screenshot_codes (screenshot_id, format, text, secret, x1, "
                           "y1, x2, y2, x3, y3, x4, y4) SELECT id, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ? "
                           "FROM screenshots WHERE id = ?;"));
        for (const ScreenshotCode &code : codes) {
            insert.reset();
            insert.bind(1, code.format);
            insert.bind(2, code.text);
            insert.bind32(3, code.isSecret() ? 1 : 0);
            for (int i = 0; i < 4; ++i) {
                insert.bind32(4 + 2 * i, code.corners[size_t(i)].x());
                insert.bind32(5 + 2 * i, code.corners[size_t(i)].y());
            }
            insert.bind(12, id);
            insert.run();
        }
    });
}

// Best code match first, one hit per record, the code's text as the excerpt.
QList<SearchResult> ScreenshotDatabase::codeMatches(const QString &expression,
    const LibrarySection &section, int limit, const QList<qint64> &exclude)
{
    QMutexLocker lock(&m_mutex);
    if (limit <= 0 || !hasTable(QStringLiteral("screenshot_codes_fts")))
        return {};
    QString sql = QStringLiteral("SELECT %1, snippet(screenshot_codes_fts, 0, '[', ']', '…', 12)\n"
                                 "FROM screenshot_codes_fts\n"
                                 "JOIN screenshots s ON s.id = screenshot_codes_fts.screenshot_id\n"
                                 "WHERE screenshot_codes_fts MATCH ?")
                      .arg(QLatin1String(recordColumns));
    if (section.kind == LibrarySection::Kind::inbox)
        sql += QStringLiteral(" AND s.status = 'inbox'");
    else if (section.kind == LibrarySection::Kind::folder)
        sql += QStringLiteral(" AND s.folder = ?");
    if (!exclude.isEmpty())
        sql += QStringLiteral(" AND s.id NOT IN (%1)").arg(idList(exclude));
    sql += QStringLiteral(" ORDER BY bm25(screenshot_codes_fts);");
    Statement st(*this, sql);
    st.bind(1, expression);
    if (section.kind == LibrarySection::Kind::folder)
        st.bind(2, section.folderName);
    QList<SearchResult> results;
    QSet<qint64> seen;
    while (results.size() < limit && st.next()) {
        SearchResult hit { recordFromRow(st.get()), columnText(st.get(), 9) };
        if (!seen.contains(hit.id())) {
            seen.insert(hit.id());
            results.append(std::move(hit));
        }
    }
    return results;
}

} // namespace marlox
