#pragma once

#include <optional>

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

namespace marlox {

// A freedesktop key file (desktop entries, spectaclerc, xfce4 rc files):
// [Group] headers, Key=Value lines, # comments. QSettings cannot read these:
// it splits values at "," and treats ";" as a comment. Keys before the first
// header belong to the group "". KDE's "[$e]"-style key flags are dropped.
class KeyFile
{
public:
    // False when the file cannot be read; a missing file reads as empty.
    bool load(const QString &path);
    void parse(const QByteArray &data);

    QStringList groups() const { return m_groupOrder; }
    bool hasGroup(const QString &group) const { return m_groups.contains(group); }
    bool contains(const QString &group, const QString &key) const;
    // The value with \s \n \t \r \\ \; and \xNN escapes resolved.
    std::optional<QString> value(const QString &group, const QString &key) const;
    QString string(const QString &group, const QString &key, const QString &fallback = {}) const;
    // Key[ll_CC], Key[ll] and Key in that order, for a locale such as "de_DE.UTF-8@euro".
    std::optional<QString> localizedValue(
        const QString &group, const QString &key, const QString &locale) const;
    // A ";"-separated list; "\;" stays inside an element, a trailing ";" ends the list.
    QStringList stringList(const QString &group, const QString &key) const;
    // "true"/"1" and "false"/"0"; none for anything else.
    std::optional<bool> boolValue(const QString &group, const QString &key) const;

    static QString unescape(QStringView raw);

private:
    std::optional<QString> raw(const QString &group, const QString &key) const;

    QHash<QString, QHash<QString, QString>> m_groups;
    QStringList m_groupOrder;
};

} // namespace marlox
