#include "storage/vocabmatcher.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace marlox {

namespace {

constexpr int edit = 2;
constexpr int misread = 1;
constexpr qsizetype wholeWordBelow = 5;

bool confusable(QChar a, QChar b)
{
    const auto group = [](QChar c) {
        switch (c.unicode()) {
        case u'l':
        case u'1':
        case u'i':
        case u'|':
            return 1;
        case u'o':
        case u'0':
            return 2;
        default:
            return 0;
        }
    };
    const int g = group(a);
    return g != 0 && g == group(b);
}

// Both ways round: a two-letter misreading on one side, its letter on the other.
bool pairMisread(QStringView pair, QChar single)
{
    return (pair == u"rn" && single == u'm') || (pair == u"cl" && single == u'd');
}

} // namespace

QString VocabMatcher::firstLetters(const QString &typed)
{
    if (typed.isEmpty())
        return {};
    QString letters(typed.front());
    const QChar c = typed.front();
    if (c == u'l' || c == u'1' || c == u'i')
        letters = QStringLiteral("l1i");
    else if (c == u'o' || c == u'0')
        letters = QStringLiteral("o0");
    else if (c == u'm')
        letters += u'r';
    else if (c == u'd')
        letters += u'c';
    else if (typed.startsWith(u"rn"))
        letters += u'm';
    else if (typed.startsWith(u"cl"))
        letters += u'd';
    return letters;
}

int VocabMatcher::allowedCost(qsizetype length)
{
    if (length < 4)
        return 0;
    if (length < 6)
        return edit;
    if (length < 9)
        return edit + misread;
    return 2 * edit;
}

QString VocabMatcher::fold(const QString &word)
{
    QString out;
    const QString decomposed = word.normalized(QString::NormalizationForm_KD);
    out.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        if (!c.isMark())
            out += c.toLower();
    }
    return out;
}

namespace {

// The cost of turning `typed` into `term` (prefix: its closest prefix), or
// -1 when it exceeds maxCost.
int editCost(QStringView typed, QStringView term, int maxCost, bool prefix)
{
    const qsizetype n = typed.size();
    // A prefix longer than the typed word by more than the allowed inserts never wins.
    const qsizetype m = std::min<qsizetype>(term.size(), n + maxCost);
    constexpr int far = 1 << 20;
    // Rows i-2, i-1 and i of the table: cost of typed[0..i) against term[0..j).
    std::array<std::vector<int>, 3> rows;
    for (auto &row : rows)
        row.assign(size_t(m + 1), far);
    int rowBest = 0;
    for (qsizetype j = 0; j <= m; ++j)
        rows[0][size_t(j)] = int(j) * edit;
    for (qsizetype i = 1; i <= n; ++i) {
        auto &cur = rows[size_t(i % 3)];
        const auto &prev = rows[size_t((i - 1) % 3)];
        const auto &prev2 = rows[size_t((i + 1) % 3)]; // i-2
        cur[0] = int(i) * edit;
        int best = cur[0];
        const int before = rowBest;
        for (qsizetype j = 1; j <= m; ++j) {
            const QChar a = typed[i - 1];
            const QChar b = term[j - 1];
            int cost = prev[size_t(j - 1)] + (a == b ? 0 : confusable(a, b) ? misread : edit);
            cost = std::min({ cost, prev[size_t(j)] + edit, cur[size_t(j - 1)] + edit });
            if (i >= 2 && pairMisread(typed.mid(i - 2, 2), b))
                cost = std::min(cost, prev2[size_t(j - 1)] + misread);
            if (j >= 2 && pairMisread(term.mid(j - 2, 2), a))
                cost = std::min(cost, prev[size_t(j - 2)] + misread);
            cur[size_t(j)] = cost;
            best = std::min(best, cost);
        }
        // A two-letter misreading reaches back two rows, so give up only
        // when two rows in a row are out of reach.
        rowBest = best;
        if (best > maxCost && before > maxCost)
            return -1;
    }
    const auto &last = rows[size_t(n % 3)];
    if (!prefix && term.size() > m)
        return -1;
    const int cost = prefix ? *std::min_element(last.cbegin(), last.cend()) : last.back();
    return cost <= maxCost ? cost : -1;
}

} // namespace

int VocabMatcher::prefixCost(QStringView typed, QStringView term, int maxCost)
{
    return editCost(typed, term, maxCost, true);
}

int VocabMatcher::wordCost(QStringView typed, QStringView term, int maxCost)
{
    return editCost(typed, term, maxCost, false);
}

std::vector<VocabMatcher::Candidate> VocabMatcher::similarTerms(
    const QString &typedWord, const std::function<QStringList(QChar)> &termsStartingWith, int limit)
{
    const QString typed = fold(typedWord);
    const int maxCost = allowedCost(typed.size());
    std::vector<Candidate> found;
    if (maxCost == 0)
        return found;
    // A few letters are the start of too many words: a short word is only
    // taken for a whole term one edit away, never for the start of a longer one.
    const bool whole = typed.size() < wholeWordBelow;
    for (const QChar first : firstLetters(typed)) {
        for (const QString &term : termsStartingWith(first)) {
            if (term.size() + maxCost < typed.size())
                continue;
            const int cost
                = whole ? wordCost(typed, term, maxCost) : prefixCost(typed, term, maxCost);
            if (cost > 0 && !(whole && term.startsWith(typed)))
                found.push_back({ term, cost, double(cost) / double(typed.size()) });
        }
    }
    // Cheapest first; of equal cost, the term whose length is nearest the
    // typed word's.
    const auto distance
        = [&typed](const Candidate &c) { return std::abs(c.term.size() - typed.size()); };
    std::stable_sort(found.begin(), found.end(), [&](const Candidate &a, const Candidate &b) {
        return a.cost != b.cost ? a.cost < b.cost : distance(a) < distance(b);
    });
    if (found.size() > size_t(limit))
        found.resize(size_t(limit));
    return found;
}

} // namespace marlox
