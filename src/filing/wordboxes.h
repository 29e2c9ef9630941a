#pragma once

#include <atomic>

#include <QImage>
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
};

namespace WordBoxes {

// Recognises the words of an image with their boxes. Runs on the calling
// thread (one engine per thread); setting `cancel` stops it early and the
// result is then empty. Throws OcrError when recognition cannot run.
QList<WordBox> recognize(const QImage &image, const std::atomic_bool *cancel = nullptr);

// The text of words in reading order: a space between words of a line, a
// line break between lines.
QString joinedText(const QList<WordBox> &words);

} // namespace WordBoxes
} // namespace marlox
