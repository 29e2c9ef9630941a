#pragma once

#include <atomic>
#include <memory>

#include <QFuture>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

#include "filing/wordboxes.h"
#include "platform/dialogs.h"
#include "storage/screenshotcode.h"
#include "storage/screenshotrecord.h"

namespace marlox {

// What a window showing one record asks of the app. A QObject, so a window
// can hold it by QPointer and outlive the app's side of it.
class RecordActions : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual Dialogs &dialogs() = 0;
    // The record's text as stored, off the GUI thread.
    virtual QFuture<QString> loadOCRText(const ScreenshotRecord &record) = 0;
    // The stored word boxes, or else those read from `image` (and kept);
    // setting `cancel` ends the reading early with none.
    virtual QFuture<QList<WordBox>> loadWordBoxes(const ScreenshotRecord &record,
        const QImage &image, std::shared_ptr<std::atomic_bool> cancel)
        = 0;
    // The stored codes, or else those read from `image` (and kept).
    virtual QFuture<QList<ScreenshotCode>> loadCodes(
        const ScreenshotRecord &record, const QImage &image)
        = 0;
    virtual void copyOCRText(const ScreenshotRecord &record) = 0;
    // Asks nothing first; false when the record stays (the Trash failed and
    // the user kept it).
    virtual bool deleteFromDetail(const ScreenshotRecord &record) = 0;
};

} // namespace marlox
