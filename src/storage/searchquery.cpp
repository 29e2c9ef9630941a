#include "storage/searchquery.h"

#include <algorithm>

namespace marlox::SearchQuery {

namespace {

bool isBreak(char32_t ch)
{
    return QChar::isSpace(ch) || ch == 0x0A || ch == 0x0D || ch == 0x85 || ch == 0x2028
        || ch == 0x2029;
}

// The combining accents the word index folds away with its diacritics
// (U+0300 to U+0331, as a bit set); other marks separate words there.
bool isFoldedAccent(char32_t ch)
{
    constexpr quint32 low = 0x08029FDF;
    constexpr quint32 high = 0x000361F8;
    if (ch < 0x300 || ch > 0x331)
        return false;
    return ch < 0x320 ? (low >> (ch - 0x300)) & 1 : (high >> (ch - 0x320)) & 1;
}

} // namespace

bool isBlank(QStringView text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        switch (c.unicode()) {
        case u'\t':
        case 0x180E: // Mongolian vowel separator, a space before Unicode 6.3
        case 0x200B: // zero-width space
        case 0x2060: // word joiner
        case 0xFEFF: // zero-width no-break space
            return true;
        default:
            return c.category() == QChar::Separator_Space;
        }
    });
}

bool isWordCharacter(char32_t ch)
{
    if (ch < 0x80)
        return (ch >= u'0' && ch <= u'9') || ((ch | 0x20) >= u'a' && (ch | 0x20) <= u'z');
    // The index's character tables stop at Unicode 6.1 and count anything
    // they do not know (noncharacters too, but for the last two of the basic
    // plane) as part of a word.
    if (ch == 0xFFFE || ch == 0xFFFF)
        return false;
    const QChar::UnicodeVersion age = QChar::unicodeVersion(ch);
    if (age == QChar::Unicode_Unassigned || age > QChar::Unicode_6_1
        || QChar::category(ch) == QChar::Other_NotAssigned)
        return true;
    switch (QChar::category(ch)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Number_DecimalDigit:
    case QChar::Number_Letter:
    case QChar::Number_Other:
    case QChar::Other_PrivateUse:
        return true;
    case QChar::Mark_NonSpacing:
        return isFoldedAccent(ch);
    default:
        return false;
    }
}

QList<Piece> split(const QString &text)
{
    QList<Piece> result;
    Piece piece;
    bool gap = false; // a separator since the last word character
    const auto flush = [&] {
        if (!piece.joined.isEmpty() || !piece.words.isEmpty())
            result.append(piece);
        piece = {};
        gap = false;
    };
    // Walk by code point so letters outside the BMP are kept whole.
    for (const char32_t ch : QStringView(text).toUcs4()) {
        if (isBreak(ch)) {
            flush();
            continue;
        }
        const QString character = QString::fromUcs4(&ch, 1);
        if (QChar::isLetterOrNumber(ch) || QChar::isMark(ch))
            piece.joined += character;
        if (!isWordCharacter(ch)) {
            gap = true;
            continue;
        }
        if (gap && !piece.words.isEmpty())
            piece.words += QLatin1Char(' ');
        gap = false;
        piece.words += character;
    }
    flush();
    return result;
}

QStringList pieces(const QString &text)
{
    QStringList result;
    for (const Piece &piece : split(text)) {
        if (!piece.joined.isEmpty())
            result.append(piece.joined);
    }
    return result;
}

QString prefixPhrase(const Piece &piece)
{
    return quoted(piece.words) + QLatin1Char('*');
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
