#pragma once

#include <vector>

#include <QString>
#include <QStringList>

namespace marlox {

// Finds index terms a few edits away from a typed word, where the usual
// misreadings of text recognition (rn/m, cl/d, l/1/I, O/0) count as half an
// edit. The typed word is a prefix, as in the search: a term matches when
// some prefix of it is close enough.
class VocabMatcher
{
public:
    struct Candidate
    {
        QString term;
        int cost = 0; // in half edits
    };

    // The vocabulary, sorted ascending (the order fts5vocab yields).
    explicit VocabMatcher(QStringList terms = {});

    const QStringList &terms() const { return m_terms; }

    // Half edits allowed for a typed word of that many characters; 0 means
    // too short to guess at.
    static int allowedCost(qsizetype length);

    // The cost of turning `typed` into the closest prefix of `term`, or -1
    // when it exceeds maxCost.
    static int prefixCost(QStringView typed, QStringView term, int maxCost);

    // Lower case without diacritics, as the word index stores its terms.
    static QString fold(const QString &word);

    // The closest terms that are not already prefix matches, cheapest first,
    // at most `limit`.
    std::vector<Candidate> similarTerms(const QString &typed, int limit = 24) const;

private:
    QStringList m_terms;
};

} // namespace marlox
