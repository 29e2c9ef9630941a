#pragma once

#include <optional>

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

namespace marlox {

enum class ScreenshotStatus { inbox, filed };

QString storedText(ScreenshotStatus status);
// Exactly "inbox" and "filed"; anything else yields no value.
std::optional<ScreenshotStatus> screenshotStatusFromText(const QString &text);
size_t qHash(ScreenshotStatus status, size_t seed = 0) noexcept;

// One indexed screenshot: one row of `screenshots`, one file on disk.
// createdAt is seconds since 1970-01-01 UTC, fractions kept.
struct ScreenshotRecord
{
    qint64 id = 0;
    QString path;
    QString title;
    QString folder;
    double createdAt = 0;
    QString ocrText;
    QString contentHash;
    ScreenshotStatus status = ScreenshotStatus::inbox;
    qint64 fileSize = 0;

    QDateTime createdAtDateTime() const;
    QString fileName() const;
    bool operator==(const ScreenshotRecord &other) const = default;
};

// A full-text hit: the record (with its text) and an excerpt with [marks].
struct SearchResult
{
    ScreenshotRecord record;
    QString snippet;

    qint64 id() const { return record.id; }
    bool operator==(const SearchResult &other) const = default;
};

// Insert or remove one entry, moving only those in front of it when it is
// in the front half: record lists are newest first, so new and changed rows
// sit near the front, where QList would move every entry behind them.
void insertNearFront(
    QList<ScreenshotRecord> &list, qsizetype position, const ScreenshotRecord &record);
void removeNearFront(QList<ScreenshotRecord> &list, qsizetype position);

double secondsSince1970(const QDateTime &time);
QDateTime dateTimeFromSeconds(double seconds);

} // namespace marlox

Q_DECLARE_METATYPE(marlox::ScreenshotRecord)
Q_DECLARE_METATYPE(marlox::SearchResult)
