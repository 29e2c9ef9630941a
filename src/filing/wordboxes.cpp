#include "filing/wordboxes.h"

#include <QDataStream>
#include <QIODevice>

#include "filing/ocrengine.h"

namespace marlox::WordBoxes {

namespace {
// Bumped whenever recognition changes enough that stored boxes should be
// read again; older lists then decode as none and are refilled lazily.
constexpr quint8 formatVersion = 1;
constexpr QDataStream::Version streamVersion = QDataStream::Qt_6_4;
} // namespace

QString joinedText(const QList<WordBox> &words)
{
    QStringList lines;
    QString line;
    for (qsizetype i = 0; i < words.size(); ++i) {
        if (i > 0 && words.at(i).line != words.at(i - 1).line) {
            lines.append(OCREngine::joinedUnspacedScript(line));
            line.clear();
        } else if (i > 0) {
            line += QLatin1Char(' ');
        }
        line += words.at(i).text;
    }
    if (!words.isEmpty())
        lines.append(OCREngine::joinedUnspacedScript(line));
    return lines.join(QLatin1Char('\n'));
}

QByteArray encoded(const QList<WordBox> &words)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(streamVersion);
    out << formatVersion << quint32(words.size());
    for (const WordBox &word : words) {
        out << word.text << qint32(word.box.x()) << qint32(word.box.y()) << qint32(word.box.width())
            << qint32(word.box.height()) << qint32(word.line) << word.startsParagraph;
    }
    return bytes;
}

std::optional<QList<WordBox>> decoded(const QByteArray &bytes)
{
    QDataStream in(bytes);
    in.setVersion(streamVersion);
    quint8 version = 0;
    quint32 count = 0;
    in >> version >> count;
    // Each word takes at least 21 bytes: a bound on count before reserving.
    if (in.status() != QDataStream::Ok || version != formatVersion
        || count > quint32(bytes.size() / 21))
        return std::nullopt;
    QList<WordBox> words;
    words.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        WordBox word;
        qint32 x = 0, y = 0, w = 0, h = 0, line = 0;
        in >> word.text >> x >> y >> w >> h >> line >> word.startsParagraph;
        word.box = QRect(x, y, w, h);
        word.line = line;
        words.append(word);
    }
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return std::nullopt;
    return words;
}

} // namespace marlox::WordBoxes
