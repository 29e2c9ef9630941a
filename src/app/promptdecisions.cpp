#include <stdexcept>

#include "app/appstate.h"
#include "filing/foldermanagementservice.h"
#include "filing/libraryfileservice.h"
#include "filing/recordtrashservice.h"
#include "platform/log.h"
#include "platform/trash.h"

namespace marlox {

void AppState::appendToPromptQueue(PromptQueue::Item item)
{
    const bool wasEmpty = m_promptQueue.isEmpty();
    m_promptQueue.items.append(std::move(item));
    Q_EMIT promptQueueChanged();
    if (wasEmpty) {
        showNextPrompt();
        return;
    }
    if (m_capturePrompt && m_capturePrompt->hasModel())
        m_capturePrompt->setQueueCount(m_promptQueue.count());
    // The user may have closed the panel while captures were waiting.
    reopenPrompt();
}

void AppState::showNextPrompt()
{
    if (m_promptQueue.isEmpty()) {
        if (m_capturePrompt) {
            m_capturePrompt->close();
            m_capturePrompt.reset();
        }
        return;
    }
    const PromptQueue::Item &head = m_promptQueue.items.constFirst();
    qCInfo(lcAppState, "Showing capture prompt for %s", qUtf8Printable(head.record.path));

    QString folder = head.initialFolder.value_or(QString());
    if (!head.initialFolder)
        folder = m_recentFolders.isEmpty() ? QStringLiteral("General") : m_recentFolders.first();

    if (!m_capturePrompt && m_deps.makeCapturePrompt)
        m_capturePrompt = m_deps.makeCapturePrompt();
    if (!m_capturePrompt)
        return;

    QPointer<AppState> weak(this);
    const ScreenshotRecord record = head.record;
    CapturePromptContent content;
    content.recordId = record.id;
    content.path = record.path;
    content.title = head.title;
    content.defaultTitle = head.defaultTitle;
    content.initialError = head.initialError;
    content.initialFolder = folder;
    content.queueCount = m_promptQueue.count();
    content.folderNames = folderNames();
    content.filedCopy = head.filedCopy;
    content.onSave
        = [weak, record](const QString &title, const QString &folder) -> std::optional<QString> {
        if (!weak)
            return QStringLiteral("Internal error");
        return weak->savePrompt(record, title, folder);
    };
    content.onSkip = [weak, record](const std::optional<QString> &typedTitle) {
        if (weak)
            weak->skipPrompt(record, typedTitle);
    };
    content.onDiscard = [weak, record] {
        if (weak)
            weak->discardPrompt(record);
    };
    m_capturePrompt->show(content);
}

// Removes the decided capture: normally the head, which the prompt shows.
static bool removeDecided(PromptQueue &queue, qint64 id)
{
    if (queue.isEmpty())
        return false;
    qsizetype index = 0;
    if (queue.items.constFirst().record.id != id) {
        index = -1;
        for (qsizetype i = 0; i < queue.items.size(); ++i) {
            if (queue.items.at(i).record.id == id) {
                index = i;
                break;
            }
        }
        if (index < 0)
            return false;
    }
    queue.items.removeAt(index);
    return true;
}

std::optional<QString> AppState::savePrompt(
    const ScreenshotRecord &record, const QString &title, const QString &folder)
{
    // Moving on to a save makes the last discard final.
    dismissUndo();
    try {
        fileRecord(record, title, folder);
    } catch (const std::exception &e) {
        qCWarning(
            lcAppState, "Save failed for capture %lld: %s", record.id, qUtf8Printable(describe(e)));
        return errorText(e);
    }
    if (removeDecided(m_promptQueue, record.id))
        Q_EMIT promptQueueChanged();
    showNextPrompt();
    return std::nullopt;
}

void AppState::skipPrompt(const ScreenshotRecord &record, const std::optional<QString> &typedTitle)
{
    dismissUndo();
    if (typedTitle) {
        try {
            m_database->updateTitle(record.id, typedTitle->trimmed());
            refreshRecord(record.id);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to store typed title after skip for capture %lld: %s",
                record.id, qUtf8Printable(describe(e)));
        }
    }
    qCInfo(lcAppState, "Capture prompt skipped for %s", qUtf8Printable(record.path));
    if (removeDecided(m_promptQueue, record.id))
        Q_EMIT promptQueueChanged();
    showNextPrompt();
}

void AppState::discardPrompt(const ScreenshotRecord &record)
{
    dismissUndo();
    qCInfo(lcAppState, "Capture prompt discarded for %s", qUtf8Printable(record.path));
    std::optional<QRect> anchor;
    if (m_capturePrompt)
        anchor = m_capturePrompt->panelFrame();
    trashRecord(record, anchor.value_or(mainScreenVisibleFrame()));
    if (removeDecided(m_promptQueue, record.id))
        Q_EMIT promptQueueChanged();
    showNextPrompt();
}

void AppState::enqueueForPrompt(const ScreenshotRecord &record)
{
    appendToPromptQueue({ record, record.title, record.title, std::nullopt, std::nullopt });
}

void AppState::trashRecord(const ScreenshotRecord &record, const QRect &anchor)
{
    trashRecords({ record }, anchor);
}

void AppState::trashRecords(const QList<ScreenshotRecord> &records, const QRect &anchor)
{
    QList<PendingUndo> undos;
    for (const ScreenshotRecord &record : records) {
        RecordTrashService::Outcome outcome
            = RecordTrashService::trash(record, *m_database, *fileTrasher());
        switch (outcome.kind) {
        case RecordTrashService::Outcome::Kind::trashed:
            refreshRecord(record.id);
            if (outcome.undo)
                undos.append(*outcome.undo);
            break;
        case RecordTrashService::Outcome::Kind::failed:
            refreshRecord(record.id);
            trashFailureAlert(record, outcome);
            break;
        case RecordTrashService::Outcome::Kind::fileAlreadyMissing:
            qCInfo(lcAppState, "File already gone for record %lld; dropped from index", record.id);
            refreshRecord(record.id);
            break;
        }
    }
    if (undos.isEmpty())
        return;
    PendingUndo first = undos.takeFirst();
    m_pendingUndoSlot.store(std::move(first), std::move(undos));
    if (!m_deps.undoToast)
        return;
    QPointer<AppState> weak(this);
    m_deps.undoToast->show(
        [weak] {
            if (weak)
                weak->undoDiscard();
        },
        [weak] {
            if (weak)
                weak->m_pendingUndoSlot.clear();
        },
        anchor);
}

void AppState::undoDiscard()
{
    for (const PendingUndo &undo : m_pendingUndoSlot.takeAll()) {
        try {
            const ScreenshotRecord restored = RecordTrashService::restore(undo, *m_database);
            // Back in the screenshot folder, the watcher would take it for a new capture.
            m_selfPlaced.note(restored.path);
            refreshRecord(restored.id);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Undo discard failed: %s", qUtf8Printable(describe(e)));
        }
    }
}

void AppState::deleteRecord(const ScreenshotRecord &record, const std::optional<QRect> &windowFrame)
{
    dismissUndo();
    trashRecord(record, windowFrame.value_or(mainScreenVisibleFrame()));
    dropDeletedFromPromptQueue(record.id);
}

void AppState::deleteRecords(
    const QList<ScreenshotRecord> &records, const std::optional<QRect> &windowFrame)
{
    dismissUndo();
    trashRecords(records, windowFrame.value_or(mainScreenVisibleFrame()));
    for (const ScreenshotRecord &record : records)
        dropDeletedFromPromptQueue(record.id);
}

bool AppState::deleteFromDetail(const ScreenshotRecord &record)
{
    dismissUndo();
    RecordTrashService::Outcome outcome
        = RecordTrashService::trash(record, *m_database, *fileTrasher());
    bool gone = true;
    switch (outcome.kind) {
    case RecordTrashService::Outcome::Kind::trashed:
    case RecordTrashService::Outcome::Kind::fileAlreadyMissing:
        // No toast from the detail view: the undo is dropped.
        refreshRecord(record.id);
        break;
    case RecordTrashService::Outcome::Kind::failed:
        refreshRecord(record.id);
        gone = trashFailureAlert(record, outcome);
        break;
    }
    dropDeletedFromPromptQueue(record.id);
    return gone;
}

// A record deleted from the library while it waits in the queue must not come
// up in the prompt afterwards.
void AppState::dropDeletedFromPromptQueue(qint64 id)
{
    bool present = false;
    for (const PromptQueue::Item &item : std::as_const(m_promptQueue.items))
        present = present || item.record.id == id;
    if (!present)
        return;
    try {
        if (m_database->record(id))
            return;
    } catch (const std::exception &) {
        return;
    }
    const bool wasHead = m_promptQueue.items.constFirst().record.id == id;
    m_promptQueue.items.removeIf(
        [id](const PromptQueue::Item &item) { return item.record.id == id; });
    Q_EMIT promptQueueChanged();
    if (wasHead)
        showNextPrompt();
    else if (m_capturePrompt && m_capturePrompt->hasModel())
        m_capturePrompt->setQueueCount(m_promptQueue.count());
}

QString AppState::errorText(const std::exception &error)
{
    // Only the library root's absence comes without a path; a missing file
    // with one is the capture's own, gone since it was detected.
    if (const auto *file = dynamic_cast<const FileError *>(&error);
        file && file->isNoSuchFile() && file->path().isEmpty())
        return QStringLiteral(
            "No library folder set — choose one from the menu bar, then try again.");
    const QString invalidFolder
        = QStringLiteral("Folder names can't contain “/” or begin with “.”.");
    if (const auto *filing = dynamic_cast<const LibraryFileService::ServiceError *>(&error)) {
        switch (filing->kind()) {
        case LibraryFileService::ServiceError::Kind::emptyTitle:
            return QStringLiteral("Title can't be empty.");
        case LibraryFileService::ServiceError::Kind::invalidFolderName:
            return invalidFolder;
        case LibraryFileService::ServiceError::Kind::captureGone:
            return filing->description();
        }
    }
    if (const auto *folders = dynamic_cast<const FolderManagementService::ServiceError *>(&error);
        folders && folders->kind() == FolderManagementService::ServiceError::Kind::invalidName)
        return invalidFolder;
    return QStringLiteral("Couldn't save: ") + describe(error);
}

void AppState::reopenPrompt()
{
    if (m_promptQueue.isEmpty())
        return;
    if (!m_capturePrompt || !m_capturePrompt->hasModel()) {
        showNextPrompt();
        return;
    }
    if (!m_capturePrompt->isVisible())
        m_capturePrompt->reopen();
}

void AppState::dismissUndo()
{
    if (m_deps.undoToast)
        m_deps.undoToast->dismiss();
    m_pendingUndoSlot.clear();
}

bool AppState::trashFailureAlert(const ScreenshotRecord &record, const std::exception &error)
{
    const QString description = describe(error);
    qCWarning(lcAppState, "Couldn't move %s to the Trash: %s", qUtf8Printable(record.path),
        qUtf8Printable(description));
    Dialogs::Alert alert;
    alert.style = Dialogs::AlertStyle::warning;
    alert.message = QStringLiteral("Couldn't move “%1” to the Trash").arg(record.fileName());
    alert.informativeText = description
        + QStringLiteral("\n\nThe screenshot is still in Marlox and on disk. You can delete it "
                         "permanently instead; this can't be undone.");
    alert.buttons = { QStringLiteral("Cancel"), QStringLiteral("Delete Permanently") };
    alert.destructiveButton = 1;
    if (m_deps.dialogs->runAlert(alert) != 1)
        return false;

    try {
        RecordTrashService::deletePermanently(record, *m_database);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Permanent delete failed for %s: %s", qUtf8Printable(record.path),
            qUtf8Printable(describe(e)));
        Dialogs::Alert failure;
        failure.style = Dialogs::AlertStyle::warning;
        failure.message = describe(e);
        m_deps.dialogs->runAlert(failure);
    }
    refreshRecord(record.id);
    return true;
}

bool AppState::trashFailureAlert(
    const ScreenshotRecord &record, const RecordTrashService::Outcome &outcome)
{
    try {
        outcome.rethrow();
    } catch (const std::exception &e) {
        return trashFailureAlert(record, e);
    } catch (...) {
        return trashFailureAlert(
            record, std::runtime_error(outcome.errorDescription().toStdString()));
    }
}

std::shared_ptr<FileTrashing> AppState::fileTrasher()
{
    if (!m_deps.trasher)
        m_deps.trasher = std::make_shared<SystemFileTrasher>();
    return m_deps.trasher;
}

} // namespace marlox
