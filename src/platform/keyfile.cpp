#include "platform/keyfile.h"

#include <QFile>

namespace marlox {

namespace {
// "imageSaveLocation[$e]" → "imageSaveLocation"; "Name[de]" stays as it is.
QString withoutKdeFlags(QString key)
{
    while (key.endsWith(QLatin1Char(']'))) {
        const qsizetype open = key.lastIndexOf(QLatin1Char('['));
        if (open < 0 || key.mid(open + 1, 1) != QLatin1String("$"))
            break;
        key.truncate(open);
    }
    return key.trimmed();
}
} // namespace

bool KeyFile::load(const QString &path)
{
    m_groups.clear();
    m_groupOrder.clear();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    parse(file.readAll());
    return true;
}

void KeyFile::parse(const QByteArray &data)
{
    QString group;
    const auto enter = [this](const QString &name) {
        if (!m_groups.contains(name)) {
            m_groups.insert(name, {});
            m_groupOrder.append(name);
        }
    };
    QByteArray bytes = data;
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    for (const QByteArray &rawLine : bytes.split('\n')) {
        QString line = QString::fromUtf8(rawLine);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#')))
            continue;
        if (trimmed.startsWith(QLatin1Char('['))) {
            const qsizetype close = trimmed.lastIndexOf(QLatin1Char(']'));
            if (close > 0) {
                group = trimmed.mid(1, close - 1);
                enter(group);
            }
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QString key = withoutKdeFlags(line.left(equals));
        if (key.isEmpty())
            continue;
        QString value = line.mid(equals + 1);
        qsizetype start = 0;
        while (start < value.size()
            && (value[start] == QLatin1Char(' ') || value[start] == QLatin1Char('\t')))
            ++start;
        enter(group);
        m_groups[group].insert(key, value.mid(start));
    }
}

std::optional<QString> KeyFile::raw(const QString &group, const QString &key) const
{
    const auto g = m_groups.constFind(group);
    if (g == m_groups.constEnd())
        return std::nullopt;
    const auto v = g->constFind(key);
    if (v == g->constEnd())
        return std::nullopt;
    return *v;
}

bool KeyFile::contains(const QString &group, const QString &key) const
{
    return raw(group, key).has_value();
}

std::optional<QString> KeyFile::value(const QString &group, const QString &key) const
{
    const auto r = raw(group, key);
    if (!r)
        return std::nullopt;
    return unescape(*r);
}

QString KeyFile::string(const QString &group, const QString &key, const QString &fallback) const
{
    return value(group, key).value_or(fallback);
}

std::optional<QString> KeyFile::localizedValue(
    const QString &group, const QString &key, const QString &locale) const
{
    // ll_CC.ENCODING@MODIFIER: try ll_CC@MODIFIER, ll_CC, ll@MODIFIER, ll.
    QString lang = locale;
    QString modifier;
    if (const qsizetype at = lang.indexOf(QLatin1Char('@')); at >= 0) {
        modifier = lang.mid(at);
        lang.truncate(at);
    }
    if (const qsizetype dot = lang.indexOf(QLatin1Char('.')); dot >= 0)
        lang.truncate(dot);
    const QString language = lang.section(QLatin1Char('_'), 0, 0);
    QStringList candidates;
    if (lang.contains(QLatin1Char('_'))) {
        if (!modifier.isEmpty())
            candidates << lang + modifier;
        candidates << lang;
    }
    if (!language.isEmpty()) {
        if (!modifier.isEmpty())
            candidates << language + modifier;
        candidates << language;
    }
    for (const QString &candidate : std::as_const(candidates)) {
        if (auto v = value(group, key + QLatin1Char('[') + candidate + QLatin1Char(']')))
            return v;
    }
    return value(group, key);
}

QStringList KeyFile::stringList(const QString &group, const QString &key) const
{
    const auto r = raw(group, key);
    if (!r)
        return {};
    QStringList out;
    QString current;
    for (qsizetype i = 0; i < r->size(); ++i) {
        const QChar c = r->at(i);
        if (c == QLatin1Char('\\') && i + 1 < r->size()) {
            current += c;
            current += r->at(++i);
        } else if (c == QLatin1Char(';')) {
            out.append(unescape(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.isEmpty())
        out.append(unescape(current));
    return out;
}

std::optional<bool> KeyFile::boolValue(const QString &group, const QString &key) const
{
    const auto v = value(group, key);
    if (!v)
        return std::nullopt;
    const QString t = v->trimmed().toLower();
    if (t == QLatin1String("true") || t == QLatin1String("1"))
        return true;
    if (t == QLatin1String("false") || t == QLatin1String("0"))
        return false;
    return std::nullopt;
}

QString KeyFile::unescape(QStringView raw)
{
    // \xNN escapes are bytes (KDE writes UTF-8 sequences that way), so the
    // result is assembled as UTF-8 and decoded once.
    QByteArray out;
    out.reserve(raw.size());
    qsizetype plain = 0;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] != QLatin1Char('\\') || i + 1 >= raw.size())
            continue;
        out += raw.mid(plain, i - plain).toUtf8();
        const QChar next = raw[++i];
        switch (next.unicode()) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        case ';':
            out += ';';
            break;
        case 'x': {
            bool ok = false;
            const int code = i + 2 < raw.size() ? raw.mid(i + 1, 2).toInt(&ok, 16) : 0;
            if (ok) {
                out += char(code);
                i += 2;
            } else {
                out += "\\x";
            }
            break;
        }
        default:
            // Unknown escapes are kept as written rather than guessed at.
            out += '\\';
            out += raw.mid(i, 1).toUtf8();
            break;
        }
        plain = i + 1;
    }
    out += raw.mid(plain).toUtf8();
    return QString::fromUtf8(out);
}

} // namespace marlox
