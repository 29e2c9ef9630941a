#include <sqlite3.h>

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "storage/screenshotdatabase.h"
#include "storage/searchquery.h"
#include "storage/vocabmatcher.h"
#include "support/indexcheck.h"
#include "support/searchcases.h"
#include "support/testmain.h"

using namespace marlox;
using marlox::test::sqliteExec;

namespace {

QStringList ids(const QList<SearchResult> &results)
{
    QStringList out;
    for (const auto &hit : results)
        out.append(QString::number(hit.id()));
    return out;
}

QStringList snippets(const QList<SearchResult> &results)
{
    QStringList out;
    for (const auto &hit : results)
        out.append(hit.snippet);
    return out;
}

} // namespace

class TestSearchIndex : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_next = 0;

    QString dbPath(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    qint64 add(ScreenshotDatabase &db, const QString &text, const QString &title = {},
        const QString &folder = QStringLiteral("Work"),
        ScreenshotStatus status = ScreenshotStatus::filed, double createdAt = 1000)
    {
        const int n = ++m_next;
        return db.insertOrUpdate(QStringLiteral("/shots/%1.png").arg(n),
            title.isEmpty() ? QStringLiteral("Screenshot %1").arg(n) : title, folder, createdAt,
            text, QStringLiteral("h"), status, 10);
    }

    static QString searchIds(ScreenshotDatabase &db, const QString &text,
        const LibrarySection &section = LibrarySection::all())
    {
        QStringList titles;
        for (const auto &hit : db.search(text, section, 50))
            titles.append(hit.record.title);
        titles.sort();
        return titles.join(QLatin1Char(','));
    }

private Q_SLOTS:
    // The two-step search must equal the plain statement exactly, also where
    // many rows tie on bm25 (same text) and the limit cuts through the ties.
    void rankedSearchEqualsPlainStatement_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("section");
        QTest::addColumn<int>("limit");
        const QStringList queries { "a", "al", "alpha", "be ga", "alp bet gam", "delta", "omega",
            "x", "zzz", "ga de", "Alpha!", "1", "alpha-beta", "gamma.del", "x1/11" };
        for (const QString &query : queries) {
            for (int section = 0; section < 4; ++section) {
                for (const int limit : { 50, 7 }) {
                    QTest::addRow("%s/%d/%d", qPrintable(query), section, limit)
                        << query << section << limit;
                }
            }
        }
    }

    void rankedSearchEqualsPlainStatement()
    {
        QFETCH(QString, query);
        QFETCH(int, section);
        QFETCH(int, limit);
        static ScreenshotDatabase *db = [this] {
            auto *made = new ScreenshotDatabase(dbPath("ties.sqlite3"));
            QRandomGenerator random(7);
            const QStringList words { "alpha", "beta", "gamma", "delta", "alphabet", "gamut",
                "omega", "x1", "11" };
            made->runInTransaction([&] {
                for (int i = 0; i < 400; ++i) {
                    // A handful of distinct texts, so most rows tie with others.
                    const int variant = int(random.bounded(6));
                    QStringList text;
                    for (int w = 0; w <= variant; ++w)
                        text.append(words[(variant + w * 3) % words.size()]);
                    const QString folder
                        = i % 3 == 0 ? QStringLiteral("Work") : QStringLiteral("Home");
                    add(*made, text.join(QLatin1Char(' ')), QStringLiteral("same title"), folder,
                        i % 4 == 0 ? ScreenshotStatus::inbox : ScreenshotStatus::filed,
                        1000 + (i % 5));
                }
            });
            return made;
        }();
        const LibrarySection sections[] = { LibrarySection::all(), LibrarySection::inbox(),
            LibrarySection::folder(QStringLiteral("Work")),
            LibrarySection::folder(QStringLiteral("Nowhere")) };
        const auto expected = db->searchForComparison(query, sections[section], limit);
        const auto actual = db->search(query, sections[section], limit);
        QCOMPARE(ids(actual), ids(expected));
        QCOMPARE(snippets(actual), snippets(expected));
        QCOMPARE(actual, expected);
    }

    // Text typed as it stood on the screen, punctuation inside and around
    // words, finds its screenshot; the same words apart or reordered do not.
    void punctuatedWordsFindTheirRecord_data() { test::addPunctuatedQueryRows(); }

    void punctuatedWordsFindTheirRecord()
    {
        QFETCH(QString, query);
        QFETCH(QString, titles);
        static ScreenshotDatabase *db = [this] {
            auto *made = new ScreenshotDatabase(dbPath("punctuated.sqlite3"));
            for (const auto &record : test::punctuatedRecords())
                add(*made, QString::fromUtf8(record.text), QString::fromUtf8(record.title));
            return made;
        }();
        QCOMPARE(searchIds(*db, query), titles);
    }

    // The query is split exactly where the word index splits text: one code
    // point between two letters either stays inside the word or divides it.
    void splitAgreesWithTheWordIndex()
    {
        sqlite3 *raw = nullptr;
        QCOMPARE(sqlite3_open(":memory:", &raw), SQLITE_OK);
        const auto close = qScopeGuard([raw] { sqlite3_close(raw); });
        QCOMPARE(sqlite3_exec(raw,
                     "CREATE VIRTUAL TABLE t USING fts5(x);"
                     "CREATE VIRTUAL TABLE v USING fts5vocab(t, instance);"
                     "BEGIN;",
                     nullptr, nullptr, nullptr),
            SQLITE_OK);
        sqlite3_stmt *insert = nullptr;
        QCOMPARE(
            sqlite3_prepare_v2(raw, "INSERT INTO t(rowid, x) VALUES (?, ?);", -1, &insert, nullptr),
            SQLITE_OK);
        QHash<char32_t, int> splitWords;
        for (char32_t ch = 0x21; ch < 0x30000; ++ch) {
            if (ch >= 0xD800 && ch < 0xE000)
                continue;
            const QString text = QLatin1Char('a') + QString::fromUcs4(&ch, 1) + QLatin1Char('b');
            const QByteArray utf8 = text.toUtf8();
            sqlite3_bind_int64(insert, 1, ch);
            sqlite3_bind_text(insert, 2, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
            QCOMPARE(sqlite3_step(insert), SQLITE_DONE);
            sqlite3_reset(insert);
            int words = 0;
            for (const auto &piece : SearchQuery::split(text))
                words += int(piece.words.count(QLatin1Char(' '))) + 1;
            splitWords.insert(ch, words);
        }
        sqlite3_finalize(insert);
        QCOMPARE(sqlite3_exec(raw, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_stmt *count = nullptr;
        QCOMPARE(sqlite3_prepare_v2(
                     raw, "SELECT doc, count(*) FROM v GROUP BY doc;", -1, &count, nullptr),
            SQLITE_OK);
        QStringList disagree;
        while (sqlite3_step(count) == SQLITE_ROW) {
            const auto ch = char32_t(sqlite3_column_int64(count, 0));
            // Letters and marks that later Unicode versions reclassified.
            const bool reclassified = (ch >= 0x19B0 && ch <= 0x19C9) || ch == 0x1885 || ch == 0x1886
                || ch == 0x1CF2 || ch == 0x1CF3;
            if (splitWords.value(ch) != sqlite3_column_int(count, 1) && !reclassified)
                disagree.append(QString::number(ch, 16));
        }
        sqlite3_finalize(count);
        QCOMPARE(disagree.join(QLatin1Char(' ')), QString());
    }

    void recordListUsesTheCoveringIndexInTheSameOrder()
    {
        ScreenshotDatabase db(dbPath("list.sqlite3"));
        for (int i = 0; i < 30; ++i)
            add(db, QStringLiteral("text %1").arg(i), {}, QStringLiteral("Work"),
                ScreenshotStatus::filed, 1000 + (i % 4));
        QList<ScreenshotRecord> expected;
        {
            // The list as the table alone orders it (ties keep insertion order).
            sqlite3 *raw = nullptr;
            QCOMPARE(sqlite3_open(dbPath("list.sqlite3").toUtf8().constData(), &raw), SQLITE_OK);
            sqlite3_stmt *st = nullptr;
            QCOMPARE(sqlite3_prepare_v2(raw,
                         "SELECT id FROM screenshots NOT INDEXED ORDER BY created_at DESC;", -1,
                         &st, nullptr),
                SQLITE_OK);
            QList<qint64> order;
            while (sqlite3_step(st) == SQLITE_ROW)
                order.append(sqlite3_column_int64(st, 0));
            sqlite3_finalize(st);
            QCOMPARE(sqlite3_prepare_v2(raw,
                         "EXPLAIN QUERY PLAN SELECT id, path, title, folder, created_at, '', "
                         "content_hash, status, file_size FROM screenshots ORDER BY created_at "
                         "DESC;",
                         -1, &st, nullptr),
                SQLITE_OK);
            QString plan;
            while (sqlite3_step(st) == SQLITE_ROW)
                plan += QString::fromUtf8(
                    reinterpret_cast<const char *>(sqlite3_column_text(st, 3)));
            sqlite3_finalize(st);
            sqlite3_close(raw);
            QVERIFY2(
                plan.contains(QLatin1String("COVERING INDEX screenshots_list")), qPrintable(plan));
            const auto full = db.allRecords();
            for (const qint64 id : order) {
                auto record = *std::find_if(full.cbegin(), full.cend(),
                    [id](const ScreenshotRecord &r) { return r.id == id; });
                record.ocrText.clear();
                expected.append(record);
            }
        }
        QCOMPARE(db.allRecordsForList(), expected);
    }

    void noSpaceScriptsAreFoundInsideRuns_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("titles");
        // clang-format off
        QTest::newRow("three inside a Japanese run") << "東京都" << "ja";
        QTest::newRow("two inside a run") << "京都" << "ja";
        QTest::newRow("one character") << "港" << "ja,zh";
        QTest::newRow("katakana word") << "ダウンロード" << "ja";
        QTest::newRow("Chinese inside a run") << "数据库" << "zh";
        QTest::newRow("Thai word") << "ภาษา" << "th";
        QTest::newRow("Korean syllables") << "검색" << "ko";
        QTest::newRow("Latin and CJK together") << "invoice 東京" << "ja";
        QTest::newRow("Latin prefix and one CJK") << "repo 港" << "zh";
        QTest::newRow("mixed piece") << "iPhone手机" << "zh";
        QTest::newRow("not there") << "大阪府" << "";
        QTest::newRow("Latin still by prefix only") << "nvoice" << "";
        // clang-format on
    }

    void noSpaceScriptsAreFoundInsideRuns()
    {
        QFETCH(QString, query);
        QFETCH(QString, titles);
        static ScreenshotDatabase *db = [this] {
            auto *made = new ScreenshotDatabase(dbPath("cjk.sqlite3"));
            add(*made, QStringLiteral("Invoice 2024 ファイルをダウンロードして東京都港区へ送る"),
                QStringLiteral("ja"));
            add(*made, QStringLiteral("report 我们的数据库在香港 iPhone手机"),
                QStringLiteral("zh"));
            add(*made, QStringLiteral("การค้นหาภาษาไทย"), QStringLiteral("th"));
            add(*made, QStringLiteral("스크린샷검색기능"), QStringLiteral("ko"));
            add(*made, QStringLiteral("nothing in particular"), QStringLiteral("en"));
            return made;
        }();
        QCOMPARE(searchIds(*db, query), titles);
    }

    void noSpaceSnippetsMarkTheHit()
    {
        ScreenshotDatabase db(dbPath("cjksnip.sqlite3"));
        add(db, QStringLiteral("ファイルをダウンロードして東京都港区へ送る"));
        const auto three = db.search(QStringLiteral("東京都"), LibrarySection::all(), 50);
        QCOMPARE(three.size(), 1);
        QVERIFY2(three.first().snippet.contains(QStringLiteral("[東京都]")),
            qPrintable(three.first().snippet));
        const auto two = db.search(QStringLiteral("港区"), LibrarySection::all(), 50);
        QCOMPARE(two.size(), 1);
        QVERIFY2(two.first().snippet.contains(QStringLiteral("[港区]")),
            qPrintable(two.first().snippet));
        QVERIFY(two.first().snippet.startsWith(QChar(0x2026)));
        QCOMPARE(two.first().record.ocrText,
            QStringLiteral("ファイルをダウンロードして東京都港区へ送る"));
    }

    void shortPiecesKeepToTheSection()
    {
        ScreenshotDatabase db(dbPath("cjksection.sqlite3"));
        add(db, QStringLiteral("東京"), QStringLiteral("work"), QStringLiteral("Work"));
        add(db, QStringLiteral("東京"), QStringLiteral("home"), QStringLiteral("Home"));
        add(db, QStringLiteral("東京"), QStringLiteral("inbox"), {}, ScreenshotStatus::inbox);
        add(db, QStringLiteral("東京タワー"), QStringLiteral("tower"), QStringLiteral("Home"));
        QCOMPARE(searchIds(db, QStringLiteral("東京"), LibrarySection::folder("Home")),
            QStringLiteral("home,tower"));
        QCOMPARE(searchIds(db, QStringLiteral("東京"), LibrarySection::inbox()),
            QStringLiteral("inbox"));
        QCOMPARE(
            searchIds(db, QStringLiteral("タワー"), LibrarySection::folder("Work")), QString());
        QCOMPARE(searchIds(db, QStringLiteral("タワー"), LibrarySection::folder("Home")),
            QStringLiteral("tower"));
    }

    // The trigram index follows every insert, update and delete, and an
    // index that predates it is filled once on opening.
    void trigramIndexStaysInStep()
    {
        const QString path = dbPath("triggers.sqlite3");
        QCOMPARE(sqliteExec(path,
                     "CREATE TABLE screenshots (id INTEGER PRIMARY KEY AUTOINCREMENT, path "
                     "TEXT NOT NULL UNIQUE, title TEXT NOT NULL DEFAULT '', folder TEXT NOT "
                     "NULL DEFAULT '', created_at REAL NOT NULL, ocr_text TEXT NOT NULL "
                     "DEFAULT '', content_hash TEXT NOT NULL DEFAULT '', status TEXT NOT "
                     "NULL DEFAULT 'filed', file_size INTEGER NOT NULL DEFAULT 0);"
                     "INSERT INTO screenshots(path, title, created_at, ocr_text) VALUES "
                     "('/old.png', 'old', 1, '古い画像の文字列');"),
            SQLITE_OK);
        ScreenshotDatabase db(path);
        QCOMPARE(searchIds(db, QStringLiteral("画像の")), QStringLiteral("old"));

        const qint64 id = add(db, QStringLiteral("新しい記録です"), QStringLiteral("new"));
        QCOMPARE(searchIds(db, QStringLiteral("しい記")), QStringLiteral("new"));
        db.updateOCR(id, QStringLiteral("書き換えた本文"), QStringLiteral("h"), std::nullopt);
        QCOMPARE(searchIds(db, QStringLiteral("しい記")), QString());
        QCOMPARE(searchIds(db, QStringLiteral("換えた")), QStringLiteral("new"));
        db.updateTitle(id, QStringLiteral("題名変更"));
        QCOMPARE(searchIds(db, QStringLiteral("名変更")), QStringLiteral("題名変更"));
        db.updateLocation(id, QStringLiteral("/moved.png"), QStringLiteral("移動した"),
            QStringLiteral("Work"), ScreenshotStatus::filed);
        QCOMPARE(searchIds(db, QStringLiteral("移動し")), QStringLiteral("移動した"));
        QCOMPARE(searchIds(db, QStringLiteral("名変更")), QString());
        db.markInbox({ id });
        QCOMPARE(searchIds(db, QStringLiteral("換えた"), LibrarySection::inbox()),
            QStringLiteral("移動した"));
        db.deleteRow(id);
        QCOMPARE(searchIds(db, QStringLiteral("換えた")), QString());

        // Only rows holding unspaced script are in the trigram index, and a
        // row leaves it when its text no longer does.
        const auto indexedRows = [&path] {
            sqlite3 *raw = nullptr;
            if (sqlite3_open(path.toUtf8().constData(), &raw) != SQLITE_OK)
                return -1;
            sqlite3_stmt *stmt = nullptr;
            int count = -1;
            if (sqlite3_prepare_v2(
                    raw, "SELECT count(*) FROM screenshots_trigram_docsize;", -1, &stmt, nullptr)
                    == SQLITE_OK
                && sqlite3_step(stmt) == SQLITE_ROW)
                count = sqlite3_column_int(stmt, 0);
            sqlite3_finalize(stmt);
            sqlite3_close(raw);
            return count;
        };
        add(db, QStringLiteral("plain latin text only"), QStringLiteral("latin"));
        QCOMPARE(indexedRows(), 1);
        const qint64 oldId = *db.idForPath(QStringLiteral("/old.png"));
        db.updateOCR(
            oldId, QStringLiteral("now in latin letters"), QStringLiteral("h"), std::nullopt);
        QCOMPARE(indexedRows(), 0);
        QCOMPARE(searchIds(db, QStringLiteral("画像の")), QString());
        db.updateOCR(oldId, QStringLiteral("また日本語の本文"), QStringLiteral("h"), std::nullopt);
        QCOMPARE(indexedRows(), 1);
        QCOMPARE(searchIds(db, QStringLiteral("日本語")), QStringLiteral("old"));
        QCOMPARE(searchIds(db, QStringLiteral("latin")), QStringLiteral("latin"));
    }

    void prefixCostCountsMisreadingsAsHalf_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("term");
        QTest::addColumn<int>("cost");
        // clang-format off
        QTest::newRow("exact prefix") << "cand" << "candidate" << 0;
        QTest::newRow("cl for d") << "candidate" << "candiclate" << 1;
        QTest::newRow("rn for m") << "modern" << "rnodern" << 1;
        QTest::newRow("m for rn") << "burn" << "bum" << 1;
        QTest::newRow("1 for l") << "invoice" << "invo1ce" << 1;
        QTest::newRow("i for l") << "billing" << "biiling" << 1;
        QTest::newRow("0 for o") << "report" << "rep0rt" << 1;
        QTest::newRow("one letter wrong") << "budget" << "budgot" << 2;
        QTest::newRow("one letter missing") << "schedule" << "schdule" << 2;
        QTest::newRow("too far") << "meeting" << "mating" << -1;
        QTest::newRow("unrelated") << "invoice" << "summary" << -1;
        // clang-format on
    }

    void prefixCostCountsMisreadingsAsHalf()
    {
        QFETCH(QString, typed);
        QFETCH(QString, term);
        QFETCH(int, cost);
        QCOMPARE(VocabMatcher::prefixCost(typed, term, 3), cost);
    }

    // A short word is only taken for a whole term one edit away; longer words
    // still guess at the start of longer terms. Equal costs: nearest length first.
    void similarTermsOfShortAndLongWords_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("guesses");
        // clang-format off
        QTest::newRow("short: one letter off, not the start of a longer word") << "porc"
                                                                               << "pork,port";
        QTest::newRow("short: misreading") << "rnap" << "map";
        QTest::newRow("short: never a prefix guess") << "invo" << "";
        QTest::newRow("five letters: prefixes again") << "invoc" << "invioce,invoice,invoices";
        QTest::newRow("long: nearest length first") << "invoise" << "invoice,invoices";
        // clang-format on
    }

    void similarTermsOfShortAndLongWords()
    {
        QFETCH(QString, typed);
        QFETCH(QString, guesses);
        const QStringList vocabulary { "invioce", "invoice", "invoices", "map", "percent",
            "porcelain", "porch", "pork", "port", "rnap" };
        QStringList found;
        for (const auto &candidate : VocabMatcher::similarTerms(typed, [&](QChar first) {
                 return vocabulary.filter(QRegularExpression(QStringLiteral("^") + first));
             }))
            found.append(candidate.term);
        QCOMPARE(found.join(QLatin1Char(',')), guesses);
    }

    // A wrong letter in a long word is a safer guess than one in a short word.
    void similarMatchesRankGuessesByCostPerLetter()
    {
        ScreenshotDatabase db(dbPath("relative.sqlite3"));
        const qint64 shortGuess = add(db, QStringLiteral("porc spreadsheet porc"));
        const qint64 longGuess = add(db, QStringLiteral("the budget spreadshet of pork chops"));
        QCOMPARE(ids(db.similarMatches(
                     QStringLiteral("spreadsheet pork"), LibrarySection::all(), 5, {})),
            (QStringList { QString::number(longGuess), QString::number(shortGuess) }));
    }

    void similarMatchesFindMisreadWords()
    {
        ScreenshotDatabase db(dbPath("similar.sqlite3"));
        const qint64 misread = add(db, QStringLiteral("Our candiclate list for the rnodern team"));
        const qint64 exact = add(db, QStringLiteral("candidate briefing"));
        const qint64 farther = add(db, QStringLiteral("the candibate pool"));
        add(db, QStringLiteral("nothing alike"), {}, QStringLiteral("Home"));

        // The exact search is untouched; the guesses come on their own.
        const auto normal = db.search(QStringLiteral("candidate"), LibrarySection::all(), 50);
        QCOMPARE(ids(normal), QStringList { QString::number(exact) });
        const auto similar
            = db.similarMatches(QStringLiteral("candidate"), LibrarySection::all(), 20, { exact });
        // The misreading (cl for d) costs less than a wrong letter.
        QCOMPARE(
            ids(similar), (QStringList { QString::number(misread), QString::number(farther) }));
        QVERIFY2(similar.first().snippet.contains(QStringLiteral("[candiclate]")),
            qPrintable(similar.first().snippet));
        QCOMPARE(similar.first().record.ocrText,
            QStringLiteral("Our candiclate list for the rnodern team"));

        // Every word must be matched, exactly or closely.
        QCOMPARE(ids(db.similarMatches(
                     QStringLiteral("modern candidate"), LibrarySection::all(), 20, {})),
            QStringList { QString::number(misread) });
        QVERIFY(db.similarMatches(QStringLiteral("cand"), LibrarySection::all(), 20, {}).isEmpty());
        QVERIFY(
            db.similarMatches(QStringLiteral("candidate"), LibrarySection::folder("Home"), 20, {})
                .isEmpty());
        QCOMPARE(db.similarMatches(QStringLiteral("candidate"), LibrarySection::all(), 1, { exact })
                     .size(),
            1);
    }

    void vocabularyFollowsChanges()
    {
        ScreenshotDatabase db(dbPath("vocab.sqlite3"));
        add(db, QStringLiteral("alpha"));
        QVERIFY(!db.termsStartingWith(u's').contains(QStringLiteral("schedu1e")));
        QVERIFY(
            db.similarMatches(QStringLiteral("schedule"), LibrarySection::all(), 5, {}).isEmpty());
        const qint64 id = add(db, QStringLiteral("Weekly schedu1e"));
        QVERIFY(db.termsStartingWith(u's').contains(QStringLiteral("schedu1e")));
        QVERIFY(!db.termsStartingWith(u'w').contains(QStringLiteral("schedu1e")));
        QCOMPARE(ids(db.similarMatches(QStringLiteral("schedule"), LibrarySection::all(), 5, {})),
            QStringList { QString::number(id) });
        db.deleteRow(id);
        QVERIFY(
            db.similarMatches(QStringLiteral("schedule"), LibrarySection::all(), 5, {}).isEmpty());
    }

    // A code's text finds its record after those found by their own text; a
    // secret is kept but never indexed; replaced and deleted codes leave no
    // entry behind.
    void codesAreSearchableUnlessSecret()
    {
        ScreenshotDatabase db(dbPath("codes.sqlite3"));
        const qint64 ticket = add(db, QStringLiteral("boarding pass"), QStringLiteral("Ticket"));
        const qint64 setup = add(db, QStringLiteral("scan this"), QStringLiteral("Setup"));
        add(db, QStringLiteral("tickets on sale"), QStringLiteral("Other"), QStringLiteral("Home"));
        const auto code = [](const char *text) {
            return ScreenshotCode { QStringLiteral("QRCode"), QString::fromLatin1(text),
                { QPoint(1, 2), QPoint(3, 4), QPoint(5, 6), QPoint(7, 8) } };
        };
        const ScreenshotCode secret = code("otpauth://totp/Example:alice?secret=JBSWY3DPEHPK3PXP");
        db.storeCodes(ticket, { code("https://tickets.example.org/seat/42A") });
        db.storeCodes(setup, { secret, code(" OTPAUTH-MIGRATION://offline?data=Q2xvdWQ") });

        QCOMPARE(db.codes(setup).value(0), secret);
        const QList<SearchResult> hits
            = db.search(QStringLiteral("tickets"), LibrarySection::all(), 50);
        QCOMPARE(hits.size(), 2);
        QCOMPARE(hits.at(0).record.title, QStringLiteral("Other"));
        QVERIFY(hits.at(1).snippet.contains(QStringLiteral("[tickets]")));
        QCOMPARE(searchIds(db, QStringLiteral("seat 42a"),
                     LibrarySection::folder(QStringLiteral("Work"))),
            QStringLiteral("Ticket"));
        for (const char *piece : { "JBSWY3DPEHPK3PXP", "alice", "otpauth", "Q2xvdWQ" })
            QCOMPARE(searchIds(db, QString::fromLatin1(piece)), QString());

        db.storeCodes(ticket, { code("https://example.net/gate/B7") });
        QCOMPARE(searchIds(db, QStringLiteral("seat")), QString());
        QCOMPARE(searchIds(db, QStringLiteral("gate b7")), QStringLiteral("Ticket"));
        db.deleteRow(ticket);
        QVERIFY(db.codes(ticket).isEmpty());
        sqlite3 *raw = nullptr;
        QCOMPARE(sqlite3_open(dbPath("codes.sqlite3").toUtf8().constData(), &raw), SQLITE_OK);
        const auto guard = qScopeGuard([raw] { sqlite3_close(raw); });
        sqlite3_stmt *count = nullptr;
        sqlite3_prepare_v2(raw, "SELECT count(*) FROM screenshot_codes_fts;", -1, &count, nullptr);
        QCOMPARE(sqlite3_step(count), SQLITE_ROW);
        QCOMPARE(sqlite3_column_int(count, 0), 0);
        sqlite3_finalize(count);
    }

    void substringSnippetWrapsEveryHit()
    {
        QCOMPARE(SearchQuery::substringSnippet(QStringLiteral("abc東京def"), { "東京" }, 12),
            QStringLiteral("abc[東京]def"));
        QCOMPARE(SearchQuery::substringSnippet(
                     QStringLiteral("0123456789東京0123456789"), { "東京" }, 8),
            QStringLiteral("…89[東京]0123…"));
        QCOMPARE(SearchQuery::substringSnippet(QStringLiteral("abcdef"), { "xy" }, 3),
            QStringLiteral("abc…"));
    }
};

MARLOX_TEST_MAIN(TestSearchIndex)
#include "tst_searchindex.moc"
