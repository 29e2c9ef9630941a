#include "storage/searchquery.h"

#include <algorithm>

namespace marlox::SearchQuery {

namespace {

bool isBreak(char32_t ch)
{
    return QChar::isSpace(ch) || ch == 0x0A || ch == 0x0D || ch == 0x85 || ch == 0x2028
        || ch == 0x2029;
}

} // namespace

QStringList pieces(const QString &text)
{
    QStringList result;
    QString piece;
    const auto flush = [&] {
        if (!piece.isEmpty())
            result.append(piece);
        piece.clear();
    };
    // Walk by code point so letters outside the BMP are kept whole.
    for (const char32_t ch : QStringView(text).toUcs4()) {
        if (isBreak(ch)) {
            flush();
            continue;
        }
        if (QChar::isLetterOrNumber(ch) || QChar::isMark(ch))
            piece += QString::fromUcs4(&ch, 1);
    }
    flush();
    return result;
}

bool isNoSpaceScript(char32_t ch)
{
    switch (QChar::script(ch)) {
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
    case QChar::Script_Hangul:
    case QChar::Script_Bopomofo:
    case QChar::Script_Thai:
    case QChar::Script_Lao:
    case QChar::Script_Khmer:
    case QChar::Script_Myanmar:
        return true;
    default:
        return false;
    }
}

bool hasNoSpaceScript(const QString &piece)
{
    const auto points = QStringView(piece).toUcs4();
    return std::any_of(points.cbegin(), points.cend(), isNoSpaceScript);
}

QString quoted(const QString &piece)
{
    QString inner = piece;
    inner.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + inner + QLatin1Char('"');
}

QString substringSnippet(const QString &text, const QStringList &needles, int width)
{
    qsizetype first = -1;
    for (const QString &needle : needles) {
        const qsizetype at = text.indexOf(needle, 0, Qt::CaseInsensitive);
        if (at >= 0 && (first < 0 || at < first))
            first = at;
    }
    // Centre the window on the first hit, like the index's snippet does.
    qsizetype start = first < 0 ? 0 : std::max<qsizetype>(0, first - width / 3);
    const qsizetype end = std::min<qsizetype>(text.size(), start + width);
    start = std::max<qsizetype>(0, std::min(start, end - width));

    QString out;
    if (start > 0)
        out += QChar(0x2026);
    qsizetype at = start;
    while (at < end) {
        qsizetype hit = -1;
        qsizetype length = 0;
        for (const QString &needle : needles) {
            if (!needle.isEmpty()
                && QStringView(text).mid(at).startsWith(needle, Qt::CaseInsensitive)
                && needle.size() > length) {
                hit = at;
                length = needle.size();
            }
        }
        if (hit < 0) {
            out += text.at(at++);
            continue;
        }
        out += QLatin1Char('[') + text.mid(at, length) + QLatin1Char(']');
        at += length;
    }
    if (at < text.size())
        out += QChar(0x2026);
    return out;
}

} // namespace marlox::SearchQuery
