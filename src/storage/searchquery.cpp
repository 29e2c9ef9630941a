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

namespace {
struct CodeRange
{
    char32_t first;
    char32_t last;
};

// Han, kana, Hangul, Bopomofo, Thai, Lao, Khmer and Myanmar, with their
// extension blocks; sorted. The index's triggers test text against the same
// ranges, so a piece counted here always finds its rows indexed.
constexpr CodeRange kNoSpaceRanges[] = {
    { 0x0E00, 0x0EFF },
    { 0x1000, 0x109F },
    { 0x1100, 0x11FF },
    { 0x1780, 0x17FF },
    { 0x19E0, 0x19FF },
    { 0x2E80, 0x2FDF },
    { 0x3005, 0x3007 },
    { 0x3021, 0x3029 },
    { 0x3031, 0x3035 },
    { 0x3038, 0x303C },
    { 0x3040, 0x30FF },
    { 0x3100, 0x312F },
    { 0x3130, 0x318F },
    { 0x31A0, 0x31BF },
    { 0x31F0, 0x31FF },
    { 0x3400, 0x4DBF },
    { 0x4E00, 0x9FFF },
    { 0xA960, 0xA97F },
    { 0xA9E0, 0xA9FF },
    { 0xAA60, 0xAA7F },
    { 0xAC00, 0xD7FF },
    { 0xF900, 0xFAFF },
    { 0xFF66, 0xFF9F },
    { 0xFFA0, 0xFFDC },
    { 0x1B000, 0x1B16F },
    { 0x20000, 0x3134F },
};
} // namespace

bool isNoSpaceScript(char32_t ch)
{
    const auto *range = std::lower_bound(std::cbegin(kNoSpaceRanges), std::cend(kNoSpaceRanges), ch,
        [](const CodeRange &r, char32_t c) { return r.last < c; });
    return range != std::cend(kNoSpaceRanges) && range->first <= ch;
}

QString noSpaceScriptGlob()
{
    QString pattern = QStringLiteral("*[");
    for (const CodeRange &range : kNoSpaceRanges) {
        pattern += QString::fromUcs4(&range.first, 1);
        pattern += QLatin1Char('-');
        pattern += QString::fromUcs4(&range.last, 1);
    }
    return pattern + QStringLiteral("]*");
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
