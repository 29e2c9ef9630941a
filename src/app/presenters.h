#pragma once

#include <functional>
#include <optional>

#include <QRect>
#include <QString>
#include <QStringList>

#include "storage/screenshotrecord.h"

namespace marlox {

// What the coordinator hands the capture prompt for the head of the queue.
struct CapturePromptContent
{
    qint64 recordId = 0;
    QString path;
    QString title;
    QString defaultTitle;
    std::optional<QString> initialError;
    QString initialFolder;
    int queueCount = 1;
    QStringList folderNames;
    // A filed record with the same bytes: the prompt offers to discard this copy.
    std::optional<ScreenshotRecord> filedCopy;
    // Answers an error text to show, or none when the capture was filed.
    std::function<std::optional<QString>(const QString &title, const QString &folder)> onSave;
    std::function<void(const std::optional<QString> &typedTitle)> onSkip;
    std::function<void()> onDiscard;
};

// The floating capture prompt, as the coordinator sees it. Implemented by
// shell/captureprompt.h; tests use a recording double.
class CapturePromptPresenter
{
public:
    virtual ~CapturePromptPresenter() = default;
    virtual void show(const CapturePromptContent &content) = 0;
    virtual void close() = 0;
    // Whether a capture is shown (the model exists); the queue count can then be updated.
    virtual bool hasModel() const = 0;
    virtual void setQueueCount(int count) = 0;
    // The panel's frame in global coordinates, when the panel exists.
    virtual std::optional<QRect> panelFrame() const = 0;
    // Whether the panel is on screen (it may have been closed with its close button).
    virtual bool isVisible() const = 0;
    // Brings a closed panel back for the waiting captures.
    virtual void reopen() = 0;
};

// The "Moved to Trash" toast with Undo. Implemented by shell/undotoast.h.
class UndoToastPresenter
{
public:
    virtual ~UndoToastPresenter() = default;
    virtual void show(
        std::function<void()> onUndo, std::function<void()> onExpire, const QRect &anchor)
        = 0;
    virtual void dismiss() = 0;
};

} // namespace marlox
