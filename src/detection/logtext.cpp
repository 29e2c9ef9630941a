#include "detection/logtext.h"

namespace marlox {

QString escapedForLog(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString escapedForLog(const QByteArray &raw)
{
    QString out;
    for (const char byte : raw) {
        const auto u = static_cast<unsigned char>(byte);
        if (u >= 0x80)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += escapedForLog(QString(QLatin1Char(byte)));
    }
    return out;
}

} // namespace marlox
