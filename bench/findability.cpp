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
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>

#include <QCommandLineParser>
#include <QCoreApplication>
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

// Every keystroke of typing each word: the time of the search as the
// library runs it, before and now.
void keystrokes(const QString &path, int repeats)
{
    ScreenshotDatabase db(path);
    const QStringList words { QStringLiteral("invoice"), QStringLiteral("dashboard"),
        QStringLiteral("candidate"), QStringLiteral("schedual"), QStringLiteral("rnetrics"),
        QStringLiteral("reciept meeting"), QStringLiteral("東京都"),
        QStringLiteral("report 東京") };
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
