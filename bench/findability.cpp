// How often a word that stands in a screenshot finds that screenshot, and
// what finding more costs per keystroke.
//
//   bench_findability [--records 3000] [--index FILE] [--large 100000] [--repeats 3]
//
// The corpus is recognised text generated directly, not images put through
// recognition: Latin lines with the misreadings recognition makes (rn/m,
// cl/d, l/1/I, O/0 and plain wrong letters) in some words, Japanese, Chinese,
// Korean and Thai lines written without spaces, and lines mixing Latin and
// Japanese. Each record keeps the words that were "drawn" (before the
// misreadings); recall is the share of those words whose search finds the
// record: "before" is the word index alone, "after" adds the trigram index
// and the "Similar matches" block.
//
// Then, on the large index shared with bench_search (made if missing), the
// cost of each keystroke of typing whole words: the search before, the
// search now, and the search now plus the similar block where it is shown
// (--large 0 leaves this part out).
//
// Between the two, recall of queries copied from realistic screen text
// (dates, times, amounts, addresses, paths, identifiers, apostrophes and
// hyphens): the query as built now, against the same text with its
// punctuation dropped and its pieces joined, as it was built before.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>

#include <sqlite3.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "app/appstate.h"
#include "benchindex.h"
#include "storage/searchquery.h"

using namespace marlox;
using namespace marlox::bench;

namespace {

struct Word
{
    QString text;
    QString kind;
};

struct Doc
{
    QString recognised;
    QList<Word> drawn;
};

QString syllableWord(QRandomGenerator &random)
{
    static const char *const onsets[] = { "b", "c", "d", "f", "g", "l", "m", "n", "p", "r", "s",
        "t", "v", "cl", "st", "pr", "tr", "gr", "br" };
    static const char *const vowels[] = { "a", "e", "i", "o", "u", "io", "ea", "ou" };
    static const char *const codas[] = { "", "", "n", "r", "m", "l", "st", "nd", "rn" };
    QString word;
    for (int s = 0, n = 2 + int(random.bounded(2)); s < n; ++s) {
        word += QLatin1String(onsets[random.bounded(int(std::size(onsets)))]);
        word += QLatin1String(vowels[random.bounded(int(std::size(vowels)))]);
    }
    word += QLatin1String(codas[random.bounded(int(std::size(codas)))]);
    return word;
}

// One recognition error of the kinds seen in practice, or the word unchanged
// when none applies.
QString misread(const QString &word, QRandomGenerator &random)
{
    struct Swap
    {
        const char *from;
        const char *to;
    };
    static const Swap swaps[] = { { "m", "rn" }, { "rn", "m" }, { "d", "cl" }, { "cl", "d" },
        { "l", "1" }, { "l", "I" }, { "i", "l" }, { "o", "0" }, { "O", "0" } };
    for (int attempt = 0; attempt < 4; ++attempt) {
        const Swap &swap = swaps[random.bounded(int(std::size(swaps)))];
        const qsizetype at = word.indexOf(QLatin1String(swap.from), 1);
        if (at > 0) {
            QString out = word;
            out.replace(at, qsizetype(qstrlen(swap.from)), QLatin1String(swap.to));
            return out;
        }
    }
    // A plain wrong letter somewhere after the first.
    QString out = word;
    out[1 + random.bounded(int(word.size()) - 1)] = QChar(u'a' + random.bounded(26));
    return out;
}

QStringList cjkWords(const QString &chars, QRandomGenerator &random, int count, int minLength)
{
    QStringList words;
    for (int i = 0; i < count; ++i) {
        QString word;
        for (int c = 0, n = minLength + int(random.bounded(3)); c < n; ++c)
            word += chars[random.bounded(int(chars.size()))];
        words.append(word);
    }
    return words;
}

struct Corpus
{
    QList<Doc> docs;
};

Corpus makeCorpus(int count)
{
    QRandomGenerator random(23);
    QStringList latin;
    for (int i = 0; i < 6000; ++i)
        latin.append(syllableWord(random));
    const QString han = QStringLiteral(
        "東京都港区新宿渋谷大阪京都会議資料請求書報告予定表設定画面検索結果数据库服务器用户"
        "登录密码文件下载上传编辑删除保存取消确认订单发票付款");
    const QString kana = QStringLiteral(
        "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわ"
        "アイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホマミムメモ");
    const QString hangul = QStringLiteral("가나다라마바사아자차카타파하검색기능화면설정저장");
    const QStringList ja = cjkWords(han + kana, random, 3000, 1);
    const QStringList zh = cjkWords(han, random, 2000, 1);
    const QStringList ko = cjkWords(hangul, random, 1500, 2);
    const QStringList th { QStringLiteral("ภาษา"), QStringLiteral("ค้นหา"), QStringLiteral("ไฟล์"),
        QStringLiteral("บันทึก"), QStringLiteral("รายงาน"), QStringLiteral("ประชุม"),
        QStringLiteral("การตั้งค่า"), QStringLiteral("ผู้ใช้"), QStringLiteral("ดาวน์โหลด"),
        QStringLiteral("ใบแจ้งหนี้") };

    Corpus corpus;
    for (int d = 0; d < count; ++d) {
        Doc doc;
        QStringList lines;
        const auto unspaced = [&](const QStringList &words, const QString &kind, int n) {
            QString line;
            for (int i = 0; i < n; ++i) {
                const QString &word = words[random.bounded(int(words.size()))];
                line += word;
                doc.drawn.append({ word, kind });
            }
            return line;
        };
        const auto spaced = [&](int n, const QString &kind) {
            QStringList line;
            for (int i = 0; i < n; ++i) {
                const QString word = latin[random.bounded(int(latin.size()))];
                // One word in eight comes back misread.
                const bool wrong = random.bounded(8) == 0;
                line.append(wrong ? misread(word, random) : word);
                doc.drawn.append({ word, wrong ? QStringLiteral("Latin, misread") : kind });
            }
            return line.join(QLatin1Char(' '));
        };
        switch (d % 6) {
        case 0:
        case 1:
            lines << spaced(10, QStringLiteral("Latin")) << spaced(10, QStringLiteral("Latin"));
            break;
        case 2:
            lines << unspaced(ja, QStringLiteral("Japanese"), 8);
            break;
        case 3:
            lines << unspaced(zh, QStringLiteral("Chinese"), 8)
                  << unspaced(ko, QStringLiteral("Korean"), 4);
            break;
        case 4:
            lines << unspaced(th, QStringLiteral("Thai"), 5);
            break;
        default:
            lines << spaced(4, QStringLiteral("Latin in mixed text")) + QLatin1Char(' ')
                    + unspaced(ja, QStringLiteral("Japanese in mixed text"), 4);
            break;
        }
        doc.recognised = lines.join(QLatin1Char('\n'));
        corpus.docs.append(doc);
    }
    return corpus;
}

bool containsId(const QList<SearchResult> &results, qint64 id)
{
    return std::any_of(
        results.cbegin(), results.cend(), [id](const SearchResult &r) { return r.id() == id; });
}

// Recall asks whether the search can find the record at all: the library's
// limit of 50 would otherwise decide it for words common in the corpus
// (a single Han character, one of the few Thai words), before and after alike.
constexpr int recallLimit = 100000;

void recall(int count)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("findability.sqlite3"));
    const Corpus corpus = makeCorpus(count);
    ScreenshotDatabase db(path);
    QList<qint64> ids;
    db.runInTransaction([&] {
        for (int d = 0; d < corpus.docs.size(); ++d)
            ids.append(db.insertOrUpdate(QStringLiteral("/shots/%1.png").arg(d),
                QStringLiteral("Screenshot %1").arg(d), QStringLiteral("General"), 1.7e9 + d,
                corpus.docs[d].recognised, {}, ScreenshotStatus::filed, 1000));
    });

    struct Tally
    {
        int words = 0;
        int before = 0;
        int afterExact = 0;
        int afterSimilar = 0;
        qint64 similarShown = 0;
    };
    std::map<QString, Tally> tallies;
    std::map<int, Tally> byLength; // unspaced words by their length
    for (int d = 0; d < corpus.docs.size(); ++d) {
        // A few words of each record, so the run stays short.
        const auto &drawn = corpus.docs[d].drawn;
        for (int w = 0; w < drawn.size(); w += 3) {
            const Word &word = drawn[w];
            const auto plain
                = db.searchForComparison(word.text, LibrarySection::all(), recallLimit);
            const auto exact = db.search(word.text, LibrarySection::all(), recallLimit);
            QList<SearchResult> similar;
            if (exact.size() < AppState::similarThreshold) {
                QList<qint64> exclude;
                for (const auto &hit : exact)
                    exclude.append(hit.id());
                similar = db.similarMatches(word.text, LibrarySection::all(), recallLimit, exclude);
            }
            Tally &t = tallies[word.kind];
            ++t.words;
            t.before += containsId(plain, ids[d]);
            t.afterExact += containsId(exact, ids[d]);
            t.afterSimilar += containsId(exact, ids[d]) || containsId(similar, ids[d]);
            t.similarShown += similar.size();
            if (SearchQuery::hasNoSpaceScript(word.text)) {
                Tally &l = byLength[int(std::min<qsizetype>(word.text.size(), 4))];
                ++l.words;
                l.before += containsId(plain, ids[d]);
                l.afterExact += containsId(exact, ids[d]);
            }
        }
    }
    std::printf("\nrecall over %d generated records (a query for a drawn word finds its record "
                "among all results)\n",
        count);
    std::printf("%-26s %6s %8s %8s %15s %10s\n", "words", "count", "before", "exact",
        "exact+similar", "similar/q");
    Tally total;
    for (const auto &[kind, t] : tallies) {
        std::printf("%-26s %6d %7.1f%% %7.1f%% %14.1f%% %10.1f\n", qPrintable(kind), t.words,
            100.0 * t.before / t.words, 100.0 * t.afterExact / t.words,
            100.0 * t.afterSimilar / t.words, double(t.similarShown) / t.words);
        total.words += t.words;
        total.before += t.before;
        total.afterExact += t.afterExact;
        total.afterSimilar += t.afterSimilar;
    }
    for (const auto &[length, t] : byLength)
        std::printf("  unspaced words of %d%s characters: before %.1f%%, now %.1f%% (%d)\n", length,
            length == 4 ? "+" : "", 100.0 * t.before / t.words, 100.0 * t.afterExact / t.words,
            t.words);
    std::printf("all words: before %.1f%%, now %.1f%%\n", 100.0 * total.before / total.words,
        100.0 * total.afterSimilar / total.words);
    std::printf("RESULT\tsearch recall, generated CJK, Thai, mixed and misread text (%%)\t%.1f\t%."
                "1f\tword index alone (before)\n",
        100.0 * total.afterSimilar / total.words, 100.0 * total.before / total.words);
}

// Text as screens show it: dates, times, amounts, addresses, paths,
// identifiers, words with apostrophes and hyphens. Held apart from the
// handful of examples the query builder was checked with: values and
// templates are generated here.
struct Realistic
{
    QString text;
    QList<Word> queries; // copied from the text as it stands there
};

QList<Realistic> makeRealistic(int count)
{
    QRandomGenerator random(31);
    const auto pick = [&random](std::initializer_list<const char *> options) {
        const auto *at = options.begin() + random.bounded(int(options.size()));
        return QString::fromUtf8(*at);
    };
    const auto digits = [&random](int n, int from = 0) {
        QString out;
        for (int i = 0; i < n; ++i)
            out += QChar(u'0' + (i == 0 ? from + random.bounded(10 - from) : random.bounded(10)));
        return out;
    };
    const auto two = [&random](int below) {
        return QStringLiteral("%1").arg(random.bounded(below), 2, 10, QLatin1Char('0'));
    };
    QStringList words;
    for (int i = 0; i < 400; ++i)
        words.append(syllableWord(random));
    const auto word = [&] { return words[random.bounded(int(words.size()))]; };

    QList<Realistic> out;
    for (int d = 0; d < count; ++d) {
        Realistic r;
        QStringList lines;
        const auto add = [&](const QString &line, const QString &query, const char *kind) {
            lines.append(line);
            r.queries.append({ query, QString::fromUtf8(kind) });
        };
        const QString date = QStringLiteral("20%1-%2-%3")
                                 .arg(two(30), two(12), two(28))
                                 .replace(QStringLiteral("-00"), QStringLiteral("-01"));
        const QString time = QStringLiteral("%1:%2").arg(two(24), two(60));
        const QString seconds = time + u':' + two(60);
        const QString amount
            = pick({ "$", "€", "£", "" }) + QString::number(random.bounded(2000)) + u'.' + two(100);
        const QString host = word() + pick({ ".com", ".org", ".io", ".de", ".example.net" });
        const QString url = QStringLiteral("https://") + host + u'/' + word() + u'/'
            + pick({ "index.html", "billing", "v2/api", "issues/" }) + digits(3, 1);
        const QString path = pick({ "src/", "~/Downloads/", "/etc/", "docs/", "./" }) + word()
            + u'/' + word() + pick({ ".py", ".cpp", ".pdf", ".json", ".conf" });
        const QString ident = pick({ "get_", "is_", "max_", "ERR_" }) + word().toUpper().left(1)
            + word() + pick({ "_id", "Count", "_TIMEOUT", "Name" });
        const QString version = QStringLiteral("v%1.%2.%3")
                                    .arg(random.bounded(9) + 1)
                                    .arg(random.bounded(20))
                                    .arg(random.bounded(10));
        const QString apostrophe
            = pick({ "don't", "can't", "it's", "we're", "O'Neil's", "user’s", "isn't" });
        const QString hyphen = word() + u'-' + pick({ "final", "up", "mail", "in", "based" });
        const QString mail = word() + u'.' + word() + u'@' + host;

        add(QStringLiteral("Invoice %1 dated %2, total %3 due").arg(digits(5, 1), date, amount),
            date, "date");
        add(QStringLiteral("%1 %2 login from %3")
                .arg(pick({ "Mon", "Tue", "Fri" }), seconds, word()),
            random.bounded(2) ? time : seconds, "time");
        add(QStringLiteral("Total: %1 (incl. VAT)").arg(amount), amount, "amount");
        add(QStringLiteral("Open %1 in your browser").arg(url),
            random.bounded(2) ? host : url.mid(8), "URL");
        add(QStringLiteral("File \"%1\", line %2, in %3").arg(path, digits(3, 1), word()), path,
            "path");
        add(QStringLiteral("%1 = %2(%3) %4").arg(ident, word(), word(), version), ident,
            "identifier");
        add(QStringLiteral("Release %1 of %2").arg(version, word()), version, "version");
        add(QStringLiteral("%1 %2 %3 mail %4").arg(word(), apostrophe, word(), mail),
            random.bounded(2) ? apostrophe : mail, "apostrophe, e-mail");
        add(QStringLiteral("The %1 %2 %3").arg(hyphen, word(), word()), hyphen, "hyphen");
        r.text = lines.join(QLatin1Char('\n'));
        out.append(r);
    }
    return out;
}

// The expression the query builder made before words were split like the
// index splits them: punctuation dropped, the pieces joined.
QString joinedExpression(const QString &text)
{
    QStringList terms;
    for (const QString &piece : text.split(QRegularExpression(QStringLiteral("\\s+")))) {
        QString kept;
        for (const QChar c : piece) {
            if (c.isLetterOrNumber() || c.isMark())
                kept += c;
        }
        if (!kept.isEmpty())
            terms.append(SearchQuery::quoted(kept) + QLatin1Char('*'));
    }
    return terms.join(QLatin1Char(' '));
}

void realisticRecall(int count)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("realistic.sqlite3"));
    const QList<Realistic> corpus = makeRealistic(count);
    QList<qint64> ids;
    {
        ScreenshotDatabase db(path);
        db.runInTransaction([&] {
            for (int d = 0; d < corpus.size(); ++d)
                ids.append(db.insertOrUpdate(QStringLiteral("/shots/%1.png").arg(d),
                    QStringLiteral("Screenshot %1").arg(d), QStringLiteral("General"), 1.7e9 + d,
                    corpus[d].text, {}, ScreenshotStatus::filed, 1000));
        });
    }
    ScreenshotDatabase db(path);
    sqlite3 *raw = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &raw, SQLITE_OPEN_READONLY, nullptr)
        != SQLITE_OK)
        qFatal("cannot open %s", qPrintable(path));
    // Rank of the record among the old expression's results, -1 when absent.
    const auto joinedRank = [raw](const QString &query, qint64 id) {
        const QByteArray expression = joinedExpression(query).toUtf8();
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(raw,
            "SELECT rowid FROM screenshots_fts WHERE screenshots_fts MATCH ? ORDER BY "
            "bm25(screenshots_fts);",
            -1, &st, nullptr);
        sqlite3_bind_text(st, 1, expression.constData(), int(expression.size()), SQLITE_TRANSIENT);
        int rank = 0;
        int found = -1;
        while (found < 0 && sqlite3_step(st) == SQLITE_ROW) {
            if (sqlite3_column_int64(st, 0) == id)
                found = rank;
            ++rank;
        }
        sqlite3_finalize(st);
        return found;
    };
    struct Tally
    {
        int queries = 0;
        int before = 0;
        int after = 0;
        int beforeTop = 0; // within the library's 50
        int afterTop = 0;
    };
    std::map<QString, Tally> tallies;
    for (int d = 0; d < corpus.size(); ++d) {
        for (const Word &query : corpus[d].queries) {
            const int before = joinedRank(query.text, ids[d]);
            const auto now = db.search(query.text, LibrarySection::all(), recallLimit);
            qsizetype after = -1;
            for (qsizetype i = 0; i < now.size() && after < 0; ++i) {
                if (now[i].id() == ids[d])
                    after = i;
            }
            Tally &t = tallies[query.kind];
            ++t.queries;
            t.before += before >= 0;
            t.after += after >= 0;
            t.beforeTop += before >= 0 && before < 50;
            t.afterTop += after >= 0 && after < 50;
        }
    }
    sqlite3_close(raw);
    std::printf("\nrecall of queries copied from screen text over %d generated records (found "
                "at all / among the first 50)\n",
        count);
    std::printf("%-20s %6s %8s %8s %10s %10s\n", "queries", "count", "before", "now", "before@50",
        "now@50");
    Tally total;
    for (const auto &[kind, t] : tallies) {
        std::printf("%-20s %6d %7.1f%% %7.1f%% %9.1f%% %9.1f%%\n", qPrintable(kind), t.queries,
            100.0 * t.before / t.queries, 100.0 * t.after / t.queries,
            100.0 * t.beforeTop / t.queries, 100.0 * t.afterTop / t.queries);
        total.queries += t.queries;
        total.before += t.before;
        total.after += t.after;
        total.beforeTop += t.beforeTop;
        total.afterTop += t.afterTop;
    }
    std::printf("all: before %.1f%%, now %.1f%%; among the first 50: %.1f%% / %.1f%%\n",
        100.0 * total.before / total.queries, 100.0 * total.after / total.queries,
        100.0 * total.beforeTop / total.queries, 100.0 * total.afterTop / total.queries);
    std::printf("RESULT\tsearch recall, queries copied from screen text (%%)\t%.1f\t%.1f\t"
                "punctuation dropped and pieces joined (before)\n",
        100.0 * total.after / total.queries, 100.0 * total.before / total.queries);
}

// Every keystroke of typing each word: the time of the search as the
// library runs it, before and now.
void keystrokes(const QString &path, int repeats)
{
    ScreenshotDatabase db(path);
    const QStringList words { QStringLiteral("invoice"), QStringLiteral("dashboard"),
        QStringLiteral("candidate"), QStringLiteral("schedual"), QStringLiteral("rnetrics"),
        QStringLiteral("reciept meeting"), QStringLiteral("東京都"), QStringLiteral("report 東京"),
        QStringLiteral("2026-12-07"), QStringLiteral("ID-0a3f"), QStringLiteral("don't") };
    db.search(QStringLiteral("warm"), LibrarySection::all(), 50);
    std::vector<double> before;
    std::vector<double> now;
    std::vector<double> nowWithSimilar;
    std::vector<double> similarOnly;
    std::vector<double> vocabularyLoad;
    int shown = 0;
    int strokes = 0;
    std::printf("\nper keystroke on %s\n", qPrintable(path));
    std::printf("%-18s %9s %9s %11s %s\n", "typed", "before ms", "now ms", "+similar ms",
        "exact/similar hits");
    for (const QString &word : words) {
        for (qsizetype n = 1; n <= word.size(); ++n) {
            const QString typed = word.left(n);
            if (typed.endsWith(QLatin1Char(' ')))
                continue;
            std::vector<double> b;
            std::vector<double> a;
            std::vector<double> s;
            qsizetype exactHits = 0;
            qsizetype similarHits = 0;
            for (int r = 0; r < repeats; ++r) {
                QElapsedTimer timer;
                timer.start();
                db.searchForComparison(typed, LibrarySection::all(), 50);
                b.push_back(milliseconds(timer));
                timer.restart();
                const auto exact = db.search(typed, LibrarySection::all(), 50);
                a.push_back(milliseconds(timer));
                QList<qint64> exclude;
                for (const auto &hit : exact)
                    exclude.append(hit.id());
                exactHits = exact.size();
                timer.restart();
                if (exact.size() < AppState::similarThreshold)
                    similarHits
                        = db.similarMatches(typed, LibrarySection::all(), 50, exclude).size();
                s.push_back(milliseconds(timer));
            }
            const double sm = percentile(s, 0.5);
            before.push_back(percentile(b, 0.5));
            now.push_back(percentile(a, 0.5));
            nowWithSimilar.push_back(now.back() + sm);
            ++strokes;
            if (exactHits < AppState::similarThreshold) {
                ++shown;
                similarOnly.push_back(sm);
            }
            std::printf("%-18s %9.1f %9.1f %11.1f %lld/%lld\n", qPrintable(typed), before.back(),
                now.back(), nowWithSimilar.back(), qlonglong(exactHits), qlonglong(similarHits));
        }
    }
    // The first similar search after a change reads the whole vocabulary.
    db.insertOrUpdate(QStringLiteral("/shots/new.png"), QStringLiteral("new"), {}, 1, {}, {},
        ScreenshotStatus::inbox, 0);
    QElapsedTimer timer;
    timer.start();
    qsizetype terms = 0;
    for (const QChar first : QStringLiteral("abcdefghijklmnopqrstuvwxyz"))
        terms += db.termsStartingWith(first).size();
    vocabularyLoad.push_back(milliseconds(timer));
    db.deleteRow(*db.idForPath(QStringLiteral("/shots/new.png")));

    std::printf("%d keystrokes; similar block needed on %d\n", strokes, shown);
    std::printf("median per keystroke: before %.1f ms, now %.1f ms, now with similar %.1f ms; "
                "p95 %.1f / %.1f / %.1f ms\n",
        percentile(before, 0.5), percentile(now, 0.5), percentile(nowWithSimilar, 0.5),
        percentile(before, 0.95), percentile(now, 0.95), percentile(nowWithSimilar, 0.95));
    std::printf("similar block where shown: median %.1f ms, worst %.1f ms; vocabulary of %lld "
                "terms (a to z) read again after a change in %.1f ms\n",
        percentile(similarOnly, 0.5), percentile(similarOnly, 1.0), qlonglong(terms),
        vocabularyLoad.front());
    std::printf("RESULT\tper keystroke, search now incl. similar block (ms, median)\t%.2f\t%.2f\t"
                "word index search before\n",
        percentile(nowWithSimilar, 0.5), percentile(before, 0.5));
    std::printf("RESULT\tsimilar block where shown (ms, median)\t%.2f\t%.2f\tword index search "
                "before\n",
        percentile(similarOnly, 0.5), percentile(before, 0.5));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("records"), QStringLiteral("Records for recall."),
        QStringLiteral("n"), QStringLiteral("3000") });
    parser.addOption({ QStringLiteral("large"), QStringLiteral("Rows of the keystroke index."),
        QStringLiteral("n"), QStringLiteral("100000") });
    parser.addOption({ QStringLiteral("repeats"), QStringLiteral("Runs of each keystroke."),
        QStringLiteral("n"), QStringLiteral("3") });
    parser.addOption({ QStringLiteral("index"),
        QStringLiteral("Keystroke index file (made if missing)."), QStringLiteral("file") });
    parser.process(app);

    recall(parser.value(QStringLiteral("records")).toInt());
    realisticRecall(parser.value(QStringLiteral("records")).toInt());

    if (parser.value(QStringLiteral("large")).toInt() <= 0)
        return 0;
    QTemporaryDir temporary;
    const QString path = parser.isSet(QStringLiteral("index"))
        ? parser.value(QStringLiteral("index"))
        : temporary.filePath(QStringLiteral("index.sqlite3"));
    ensureIndex(path, parser.value(QStringLiteral("large")).toInt());
    keystrokes(path, qMax(1, parser.value(QStringLiteral("repeats")).toInt()));
    return 0;
}
