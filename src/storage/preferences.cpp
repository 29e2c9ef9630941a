#include "storage/preferences.h"

#include <QSettings>

namespace marlox::Preferences {

namespace {
QSettings settings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quorvintesha"),
        QStringLiteral("Marlox"));
}
} // namespace

QVariant value(const QString &key, const QVariant &fallback)
{
    return settings().value(key, fallback);
}

bool contains(const QString &key)
{
    return settings().contains(key);
}

void setValue(const QString &key, const QVariant &value)
{
    QSettings s = settings();
    s.setValue(key, value);
    s.sync();
}

void remove(const QString &key)
{
    QSettings s = settings();
    s.remove(key);
    s.sync();
}

bool boolValue(const QString &key, bool fallback)
{
    return value(key, fallback).toBool();
}

QStringList stringList(const QString &key)
{
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList();
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString();
        return s.isEmpty() ? QStringList() : QStringList { s };
    }
    return v.toStringList();
}

QString filePath()
{
    return settings().fileName();
}

} // namespace marlox::Preferences
