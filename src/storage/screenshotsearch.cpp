#include <algorithm>

#include <sqlite3.h>

#include <QHash>

#include "platform/log.h"
#include "storage/databaserows.h"
#include "storage/screenshotdatabase.h"
#include "storage/searchquery.h"

namespace marlox {

using namespace DatabaseRows;

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
    QList<SearchResult> results = searchText(text, section, limit);
    if (results.size() >= limit)
        return results;
    const QString expression = matchExpression(text);
    if (expression.isEmpty())
        return results;
    QList<qint64> found;
    found.reserve(results.size());
    for (const SearchResult &hit : results)
        found.append(hit.id());
    results.append(codeMatches(expression, section, int(limit - results.size()), found));
    return results;
}

QList<SearchResult> ScreenshotDatabase::searchText(
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
            .arg(QLatin1String(recordColumns), table, idList(ranked)));
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
    QString sql = QStringLiteral("SELECT ") + QLatin1String(recordColumns);
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

} // namespace marlox
