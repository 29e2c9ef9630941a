#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include <QList>
#include <QObject>
#include <QRect>
#include <QString>
#include <QStringList>

#include "app/presenters.h"
#include "app/promptqueue.h"
#include "filing/pendingundo.h"
#include "storage/screenshotrecord.h"

namespace marlox {

class Dialogs;
class FileTrashing;
class RecordList;
class ScreenshotDatabase;
namespace RecordTrashService {
struct Outcome;
}

// The user's decisions: the queue of captures waiting for the prompt, what
// Save, Skip and Discard do, deleting from the library windows, and the one
// discard that the toast can still undo.
class PromptFlow : public QObject
{
    Q_OBJECT

public:
    // What the flow asks of its owner.
    struct Hooks
    {
        // Files a capture and runs the after-filing steps; throws what filing throws.
        std::function<ScreenshotRecord(
            const ScreenshotRecord &record, const QString &title, const QString &folder)>
            file;
        // The folders filed into last, newest first: the prompt opens on the first.
        std::function<QStringList()> recentFolders;
        // The folders the prompt offers.
        std::function<QStringList()> folderNames;
        // An undone discard put the file back at path.
        std::function<void(const QString &path)> putBack;
    };

    // `database` and `records` outlive this object. Without a trasher the
    // system Trash is used, made on first use.
    PromptFlow(ScreenshotDatabase &database, RecordList &records, std::shared_ptr<Dialogs> dialogs,
        std::function<std::unique_ptr<CapturePromptPresenter>()> makePrompt,
        std::shared_ptr<UndoToastPresenter> undoToast, std::shared_ptr<FileTrashing> trasher,
        Hooks hooks, QObject *parent = nullptr);
    ~PromptFlow() override;

    const PromptQueue &queue() const { return m_queue; }
    const PendingUndoSlot &pendingUndo() const { return m_pendingUndo; }

    // ---- the capture prompt
    void append(PromptQueue::Item item);
    void enqueue(const ScreenshotRecord &record);
    void showNext();
    // Answers the error text to show, or none when the capture was filed.
    std::optional<QString> save(
        const ScreenshotRecord &record, const QString &title, const QString &folder);
    void skip(const ScreenshotRecord &record, const std::optional<QString> &typedTitle);
    void discard(const ScreenshotRecord &record);
    // Shows the prompt again after the user closed it while captures wait.
    void reopen();
    // Whether the capture prompt is on screen (the tray offers the waiting
    // captures when it is not).
    bool isVisible() const { return m_prompt && m_prompt->isVisible(); }
    // Takes the prompt off screen for good (quitting).
    void closePrompt();

    // ---- the Trash and its undo
    void trashRecord(const ScreenshotRecord &record, const QRect &anchor);
    // Several at once with one toast, whose Undo brings them all back.
    void trashRecords(const QList<ScreenshotRecord> &records, const QRect &anchor);
    void undoDiscard();
    void deleteRecord(const ScreenshotRecord &record, const std::optional<QRect> &windowFrame);
    // Several at once (all but one of a duplicate group), with one Undo.
    void deleteRecords(
        const QList<ScreenshotRecord> &records, const std::optional<QRect> &windowFrame);
    // Without a toast, so without Undo; false when the record stays (the
    // Trash failed and the user kept it).
    bool deleteFromDetail(const ScreenshotRecord &record);

Q_SIGNALS:
    void queueChanged();

private:
    void dismissUndo();
    void dropDeletedFromQueue(qint64 id);
    bool trashFailureAlert(const ScreenshotRecord &record, const std::exception &error);
    bool trashFailureAlert(
        const ScreenshotRecord &record, const RecordTrashService::Outcome &outcome);
    FileTrashing &fileTrasher();

    ScreenshotDatabase &m_database;
    RecordList &m_records;
    std::shared_ptr<Dialogs> m_dialogs;
    std::function<std::unique_ptr<CapturePromptPresenter>()> m_makePrompt;
    std::shared_ptr<UndoToastPresenter> m_undoToast;
    std::shared_ptr<FileTrashing> m_trasher;
    Hooks m_hooks;
    std::unique_ptr<CapturePromptPresenter> m_prompt;
    PromptQueue m_queue;
    PendingUndoSlot m_pendingUndo;
};

} // namespace marlox
