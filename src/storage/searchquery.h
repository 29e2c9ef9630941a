#pragma once

#include <QString>
#include <QStringList>

namespace marlox::SearchQuery {

// The typed words as the index sees them: split at white space and line
// breaks, each reduced to its letters, marks and digits, empty ones dropped.
QStringList pieces(const QString &text);

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
