#pragma once

#include <optional>

#include <QList>
#include <QObject>
#include <QRect>

#include "storage/screenshotrecord.h"

namespace marlox {

class DuplicateFinder;

// What the library's Duplicates section asks of the app. A QObject, so a
// window can hold it by QPointer.
class DuplicateActions : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual DuplicateFinder &duplicates() = 0;
    // Moves to the Trash with the toast's Undo placed by `windowFrame`.
    virtual void deleteRecord(
        const ScreenshotRecord &record, const std::optional<QRect> &windowFrame)
        = 0;
    virtual void deleteRecords(
        const QList<ScreenshotRecord> &records, const std::optional<QRect> &windowFrame)
        = 0;

Q_SIGNALS:
    // The record list changed, wholly or in one row.
    void recordsChanged();
};

} // namespace marlox
