#pragma once

#include <QString>
#include <QStringList>

namespace marlox::SearchQuery {

// Nothing to search for: only spaces of any kind (no-break, ideographic,
// zero-width …) and tabs. A line break is not blank.
bool isBlank(QStringView text);

// One typed word (text between white space or line breaks).
struct Piece
{
    // Its letters, marks and digits, punctuation dropped: what a substring
    // search in scripts without spaces looks for.
    QString joined;
    // Its words as the word index splits them, joined by single spaces:
    // "2026-12-07" becomes "2026 12 07", to be matched as adjacent terms.
    QString words;
};

// The typed pieces, those with nothing searchable left out.
QList<Piece> split(const QString &text);

// The `joined` form of every piece.
QStringList pieces(const QString &text);

// Whether the word index keeps the character inside a word: letters, digits,
// private-use characters, the accents it folds away, and characters newer
// than its Unicode tables. Everything else separates words.
bool isWordCharacter(char32_t ch);

// A piece's words as one FTS5 phrase whose last word is a prefix.
QString prefixPhrase(const Piece &piece);

// Scripts written without spaces between words (Han, kana, Hangul, Thai and
// its neighbours): a run of them is one token to the word index.
bool isNoSpaceScript(char32_t ch);
bool hasNoSpaceScript(const QString &piece);
// A GLOB pattern for SQL that matches text holding any such character.
QString noSpaceScriptGlob();

// A piece as a quoted FTS5 string (no operator inside it can take effect).
QString quoted(const QString &piece);

// The excerpt the index's snippet() would give for a substring hit, built by
// hand where no index can answer: up to `width` characters around the first
// occurrence of any of the needles (case-insensitive), each occurrence
// wrapped in [ ], cut-off ends marked with "…".
QString substringSnippet(const QString &text, const QStringList &needles, int width = 12);

} // namespace marlox::SearchQuery
