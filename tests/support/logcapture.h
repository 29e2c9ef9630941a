#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace marlox::test {

// Collects every log message while alive (and still lets them print).
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList messages() const;
    // Messages of one category ("com.quorvintesha.Marlox.AppState").
    QStringList messages(const QString &category) const;
    bool contains(const QString &message) const;
    int count(const QString &message) const;
    // The number of messages that start with prefix.
    int countStartingWith(const QString &prefix) const;
    void clear();
};

} // namespace marlox::test
