#include "storage/screenshotrecord.h"

#include <algorithm>
#include <cmath>

#include <QFileInfo>
#include <QHashFunctions>

namespace marlox {

QString storedText(ScreenshotStatus status)
{
    switch (status) {
    case ScreenshotStatus::inbox:
        return QStringLiteral("inbox");
    case ScreenshotStatus::filed:
        return QStringLiteral("filed");
    }
    return QStringLiteral("filed");
}

std::optional<ScreenshotStatus> screenshotStatusFromText(const QString &text)
{
    if (text == QLatin1String("inbox"))
        return ScreenshotStatus::inbox;
    if (text == QLatin1String("filed"))
        return ScreenshotStatus::filed;
    return std::nullopt;
}

void insertNearFront(
    QList<ScreenshotRecord> &list, qsizetype position, const ScreenshotRecord &record)
{
    if (position > list.size() / 2) {
        list.insert(position, record);
        return;
    }
    // A prepend takes the free room QList keeps before its first entry.
    list.prepend(record);
    std::rotate(list.begin(), list.begin() + 1, list.begin() + position + 1);
}

void removeNearFront(QList<ScreenshotRecord> &list, qsizetype position)
{
    if (position > list.size() / 2) {
        list.removeAt(position);
        return;
    }
    std::rotate(list.begin(), list.begin() + position, list.begin() + position + 1);
    list.removeFirst();
}

size_t qHash(ScreenshotStatus status, size_t seed) noexcept
{
    return ::qHash(storedText(status), seed);
}

QDateTime ScreenshotRecord::createdAtDateTime() const
{
    return dateTimeFromSeconds(createdAt);
}

QString ScreenshotRecord::fileName() const
{
    return QFileInfo(path).fileName();
}

double secondsSince1970(const QDateTime &time)
{
    return static_cast<double>(time.toMSecsSinceEpoch()) / 1000.0;
}

QDateTime dateTimeFromSeconds(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(seconds * 1000.0)));
}

} // namespace marlox
