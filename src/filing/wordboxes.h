#pragma once

#include <optional>

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QString>

namespace marlox {

// One recognised word and where it sits in the image, in image pixels.
// Words come in reading order; line numbers grow with it, and a new
// paragraph or block always starts a new line.
struct WordBox
{
    QString text;
    QRect box;
    int line = 0;
    bool startsParagraph = false;
    bool operator==(const WordBox &) const = default;
};

namespace WordBoxes {

// The text of words in reading order: a space between words of a line (none
// between pieces of Chinese or Japanese), a line break between lines. This is
// the recognised text a record stores.
QString joinedText(const QList<WordBox> &words);

// The words as the index stores them, and back; none for bytes that are not
// a stored word list of this version (stale or damaged).
QByteArray encoded(const QList<WordBox> &words);
std::optional<QList<WordBox>> decoded(const QByteArray &bytes);

} // namespace WordBoxes
} // namespace marlox
