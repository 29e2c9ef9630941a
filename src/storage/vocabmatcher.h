#pragma once

#include <functional>
#include <vector>

#include <QString>
#include <QStringList>

namespace marlox {

// Finds index terms a few edits away from a typed word, where the usual
// misreadings of text recognition (rn/m, cl/d, l/1/I, O/0) count as half an
// edit. The typed word is a prefix, as in the search: a term matches when
// some prefix of it is close enough.
namespace VocabMatcher {

struct Candidate
{
    QString term;
    int cost = 0; // in half edits
    // The cost for each typed letter: a guess at a short word is a bolder one.
    double relativeCost = 0;
};

// Half edits allowed for a typed word of that many characters; 0 means too
// short to guess at.
int allowedCost(qsizetype length);

// The cost of turning `typed` into the closest prefix of `term`, or -1 when
// it exceeds maxCost.
int prefixCost(QStringView typed, QStringView term, int maxCost);

// The same for the whole of `term`.
int wordCost(QStringView typed, QStringView term, int maxCost);

// Lower case without diacritics, as the word index stores its terms.
QString fold(const QString &word);

// The first letters a close term may start with: the folded word's own and
// what recognition mistakes it for. A wrong first letter that is no
// misreading is not looked for; it would mean reading the whole vocabulary
// on every keystroke.
QString firstLetters(const QString &folded);

// The closest terms that are not already prefix matches, cheapest first, at
// most `limit`; termsStartingWith gives the vocabulary's terms by first letter.
// A typed word of under five letters is only matched to whole terms (one
// edit away), not to the start of longer ones.
std::vector<Candidate> similarTerms(const QString &typed,
    const std::function<QStringList(QChar)> &termsStartingWith, int limit = 24);

} // namespace VocabMatcher

} // namespace marlox
