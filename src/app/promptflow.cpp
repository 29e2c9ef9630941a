#include "app/promptflow.h"

#include <stdexcept>

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

#include "app/prompttext.h"
#include "app/recordlist.h"
#include "filing/recordtrashservice.h"
#include "platform/dialogs.h"
#include "platform/log.h"
#include "platform/trash.h"
#include "storage/screenshotdatabase.h"

namespace marlox {

namespace {

QRect mainScreenVisibleFrame()
{
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        return screen->availableGeometry();
    return {};
}

} // namespace

PromptFlow::PromptFlow(ScreenshotDatabase &database, RecordList &records,
    std::shared_ptr<Dialogs> dialogs,
    std::function<std::unique_ptr<CapturePromptPresenter>()> makePrompt,
    std::shared_ptr<UndoToastPresenter> undoToast, std::shared_ptr<FileTrashing> trasher,
    Hooks hooks, QObject *parent)
    : QObject(parent),
      m_database(database),
      m_records(records),
      m_dialogs(std::move(dialogs)),
      m_makePrompt(std::move(makePrompt)),
      m_undoToast(std::move(undoToast)),
      m_trasher(std::move(trasher)),
      m_hooks(std::move(hooks))
{ }

PromptFlow::~PromptFlow()
{
    closePrompt();
}

void PromptFlow::closePrompt()
{
    if (m_prompt)
        m_prompt->close();
}

void PromptFlow::append(PromptQueue::Item item)
{
    const bool wasEmpty = m_queue.isEmpty();
    m_queue.items.append(std::move(item));
    Q_EMIT queueChanged();
    if (wasEmpty) {
        showNext();
        return;
    }
    if (m_prompt && m_prompt->hasModel())
        m_prompt->setQueueCount(m_queue.count());
    // The user may have closed the panel while captures were waiting.
    reopen();
}

void PromptFlow::showNext()
{
    if (m_queue.isEmpty()) {
        if (m_prompt) {
            m_prompt->close();
            m_prompt.reset();
        }
        return;
    }
    const PromptQueue::Item &head = m_queue.items.constFirst();
    qCInfo(lcAppState, "Showing capture prompt for %s", qUtf8Printable(head.record.path));

    QString folder = head.initialFolder.value_or(QString());
    if (!head.initialFolder) {
        const QStringList recent = m_hooks.recentFolders();
        folder = recent.isEmpty() ? QStringLiteral("General") : recent.first();
    }

    if (!m_prompt && m_makePrompt)
        m_prompt = m_makePrompt();
    if (!m_prompt)
        return;

    QPointer<PromptFlow> weak(this);
    const ScreenshotRecord record = head.record;
    CapturePromptContent content;
    content.recordId = record.id;
    content.path = record.path;
    content.title = head.title;
    content.defaultTitle = head.defaultTitle;
    content.initialError = head.initialError;
    content.initialFolder = folder;
    content.queueCount = m_queue.count();
    content.folderNames = m_hooks.folderNames();
    content.filedCopy = head.filedCopy;
    content.onSave
        = [weak, record](const QString &title, const QString &folder) -> std::optional<QString> {
        if (!weak)
            return QStringLiteral("Internal error");
        return weak->save(record, title, folder);
    };
    content.onSkip = [weak, record](const std::optional<QString> &typedTitle) {
        if (weak)
            weak->skip(record, typedTitle);
    };
    content.onDiscard = [weak, record] {
        if (weak)
            weak->discard(record);
    };
    m_prompt->show(content);
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

std::optional<QString> PromptFlow::save(
    const ScreenshotRecord &record, const QString &title, const QString &folder)
{
    // Moving on to a save makes the last discard final.
    dismissUndo();
    try {
        m_hooks.file(record, title, folder);
    } catch (const std::exception &e) {
        qCWarning(
            lcAppState, "Save failed for capture %lld: %s", record.id, qUtf8Printable(describe(e)));
        return errorText(e);
    }
    if (removeDecided(m_queue, record.id))
        Q_EMIT queueChanged();
    showNext();
    return std::nullopt;
}

void PromptFlow::skip(const ScreenshotRecord &record, const std::optional<QString> &typedTitle)
{
    dismissUndo();
    if (typedTitle) {
        try {
            m_database.updateTitle(record.id, typedTitle->trimmed());
            m_records.refresh(record.id);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to store typed title after skip for capture %lld: %s",
                record.id, qUtf8Printable(describe(e)));
        }
    }
    qCInfo(lcAppState, "Capture prompt skipped for %s", qUtf8Printable(record.path));
    if (removeDecided(m_queue, record.id))
        Q_EMIT queueChanged();
    showNext();
}

void PromptFlow::discard(const ScreenshotRecord &record)
{
    dismissUndo();
    qCInfo(lcAppState, "Capture prompt discarded for %s", qUtf8Printable(record.path));
    std::optional<QRect> anchor;
    if (m_prompt)
        anchor = m_prompt->panelFrame();
    trashRecord(record, anchor.value_or(mainScreenVisibleFrame()));
    if (removeDecided(m_queue, record.id))
        Q_EMIT queueChanged();
    showNext();
}

void PromptFlow::enqueue(const ScreenshotRecord &record)
{
    append({ record, record.title, record.title, std::nullopt, std::nullopt });
}

void PromptFlow::trashRecord(const ScreenshotRecord &record, const QRect &anchor)
{
    trashRecords({ record }, anchor);
}

void PromptFlow::trashRecords(const QList<ScreenshotRecord> &records, const QRect &anchor)
{
    QList<PendingUndo> undos;
    for (const ScreenshotRecord &record : records) {
        RecordTrashService::Outcome outcome
            = RecordTrashService::trash(record, m_database, fileTrasher());
        switch (outcome.kind) {
        case RecordTrashService::Outcome::Kind::trashed:
            m_records.refresh(record.id);
            if (outcome.undo)
                undos.append(*outcome.undo);
            break;
        case RecordTrashService::Outcome::Kind::failed:
            m_records.refresh(record.id);
            trashFailureAlert(record, outcome);
            break;
        case RecordTrashService::Outcome::Kind::fileAlreadyMissing:
            qCInfo(lcAppState, "File already gone for record %lld; dropped from index", record.id);
            m_records.refresh(record.id);
            break;
        }
    }
    if (undos.isEmpty())
        return;
    PendingUndo first = undos.takeFirst();
    m_pendingUndo.store(std::move(first), std::move(undos));
    if (!m_undoToast)
        return;
    QPointer<PromptFlow> weak(this);
    m_undoToast->show(
        [weak] {
            if (weak)
                weak->undoDiscard();
        },
        [weak] {
            if (weak)
                weak->m_pendingUndo.clear();
        },
        anchor);
}

void PromptFlow::undoDiscard()
{
    for (const PendingUndo &undo : m_pendingUndo.takeAll()) {
        try {
            const ScreenshotRecord restored = RecordTrashService::restore(undo, m_database);
            // Back in the screenshot folder, the watcher would take it for a new capture.
            m_hooks.putBack(restored.path);
            m_records.refresh(restored.id);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Undo discard failed: %s", qUtf8Printable(describe(e)));
        }
    }
}

void PromptFlow::deleteRecord(
    const ScreenshotRecord &record, const std::optional<QRect> &windowFrame)
{
    dismissUndo();
    trashRecord(record, windowFrame.value_or(mainScreenVisibleFrame()));
    dropDeletedFromQueue(record.id);
}

void PromptFlow::deleteRecords(
    const QList<ScreenshotRecord> &records, const std::optional<QRect> &windowFrame)
{
    dismissUndo();
    trashRecords(records, windowFrame.value_or(mainScreenVisibleFrame()));
    for (const ScreenshotRecord &record : records)
        dropDeletedFromQueue(record.id);
}

bool PromptFlow::deleteFromDetail(const ScreenshotRecord &record)
{
    dismissUndo();
    RecordTrashService::Outcome outcome
        = RecordTrashService::trash(record, m_database, fileTrasher());
    bool gone = true;
    switch (outcome.kind) {
    case RecordTrashService::Outcome::Kind::trashed:
    case RecordTrashService::Outcome::Kind::fileAlreadyMissing:
        // No toast from the detail view: the undo is dropped.
        m_records.refresh(record.id);
        break;
    case RecordTrashService::Outcome::Kind::failed:
        m_records.refresh(record.id);
        gone = trashFailureAlert(record, outcome);
        break;
    }
    dropDeletedFromQueue(record.id);
    return gone;
}

// A record deleted from the library while it waits in the queue must not come
// up in the prompt afterwards.
void PromptFlow::dropDeletedFromQueue(qint64 id)
{
    bool present = false;
    for (const PromptQueue::Item &item : std::as_const(m_queue.items))
        present = present || item.record.id == id;
    if (!present)
        return;
    try {
        if (m_database.record(id))
            return;
    } catch (const std::exception &) {
        return;
    }
    const bool wasHead = m_queue.items.constFirst().record.id == id;
    m_queue.items.removeIf([id](const PromptQueue::Item &item) { return item.record.id == id; });
    Q_EMIT queueChanged();
    if (wasHead)
        showNext();
    else if (m_prompt && m_prompt->hasModel())
        m_prompt->setQueueCount(m_queue.count());
}

void PromptFlow::reopen()
{
    if (m_queue.isEmpty())
        return;
    if (!m_prompt || !m_prompt->hasModel()) {
        showNext();
        return;
    }
    if (!m_prompt->isVisible())
        m_prompt->reopen();
}

void PromptFlow::dismissUndo()
{
    if (m_undoToast)
        m_undoToast->dismiss();
    m_pendingUndo.clear();
}

bool PromptFlow::trashFailureAlert(const ScreenshotRecord &record, const std::exception &error)
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
    if (m_dialogs->runAlert(alert) != 1)
        return false;

    try {
        RecordTrashService::deletePermanently(record, m_database);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Permanent delete failed for %s: %s", qUtf8Printable(record.path),
            qUtf8Printable(describe(e)));
        Dialogs::Alert failure;
        failure.style = Dialogs::AlertStyle::warning;
        failure.message = describe(e);
        m_dialogs->runAlert(failure);
    }
    m_records.refresh(record.id);
    return true;
}

bool PromptFlow::trashFailureAlert(
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

FileTrashing &PromptFlow::fileTrasher()
{
    if (!m_trasher)
        m_trasher = std::make_shared<SystemFileTrasher>();
    return *m_trasher;
}

} // namespace marlox
