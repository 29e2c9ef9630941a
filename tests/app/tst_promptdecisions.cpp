#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include "app/appstate.h"
#include "app/prompttext.h"
#include "filing/foldermanagementservice.h"
#include "filing/libraryfileservice.h"
#include "platform/trash.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/logcapture.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

const QString noLibraryText
    = QStringLiteral("No library folder set — choose one from the menu bar, then try again.");

// AppState drops its prompt when the queue runs dry; the recording outlives it.
class SharedPrompt : public CapturePromptPresenter
{
public:
    explicit SharedPrompt(std::shared_ptr<RecordingPrompt> prompt) : m_prompt(std::move(prompt)) { }
    void show(const CapturePromptContent &content) override { m_prompt->show(content); }
    void close() override { m_prompt->close(); }
    bool hasModel() const override { return m_prompt->hasModel(); }
    void setQueueCount(int count) override { m_prompt->setQueueCount(count); }
    std::optional<QRect> panelFrame() const override { return m_prompt->panelFrame(); }
    bool isVisible() const override { return m_prompt->isVisible(); }
    void reopen() override { m_prompt->reopen(); }

private:
    std::shared_ptr<RecordingPrompt> m_prompt;
};

} // namespace

class TestPromptDecisions : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AppStateScene> m_scene;
    QString m_shots;
    QString m_library;
    std::shared_ptr<ScriptedDialogs> m_dialogs;
    std::shared_ptr<RecordingPrompt> m_prompt;
    std::shared_ptr<RecordingToast> m_toast;
    std::shared_ptr<FolderTrasher> m_trasher;
    int m_promptsMade = 0;

    std::unique_ptr<AppState> makeState(bool withLibrary = true, bool withPrompt = true)
    {
        if (withLibrary)
            m_scene->rememberLibrary();
        return m_scene->makeState([&](AppStateDependencies &deps) {
            deps.makeCapturePrompt = nullptr;
            if (withPrompt) {
                deps.makeCapturePrompt = [this]() -> std::unique_ptr<CapturePromptPresenter> {
                    ++m_promptsMade;
                    return std::make_unique<SharedPrompt>(m_prompt);
                };
            }
            deps.undoToast = m_toast;
            deps.trasher = m_trasher;
        });
    }

    // A capture as the pipeline leaves it: a file in the screenshot folder and an Inbox row.
    ScreenshotRecord capture(AppState &state, const QString &name)
    {
        const QString path = QDir(m_shots).filePath(name);
        writeFile(path, "png bytes of " + name.toUtf8());
        const qint64 id = state.database().insertOrUpdate(path, QStringLiteral("Default ") + name,
            QString(), 1000, QStringLiteral("text of ") + name, QStringLiteral("hash"),
            ScreenshotStatus::inbox, 0);
        state.refreshRecord(id);
        return *state.database().record(id);
    }

    void enqueue(AppState &state, const ScreenshotRecord &record)
    {
        state.appendToPromptQueue({ record, QString(), record.title, std::nullopt, std::nullopt });
    }

    static bool listed(const AppState &state, qint64 id)
    {
        return std::any_of(state.records().begin(), state.records().end(),
            [id](const ScreenshotRecord &r) { return r.id == id; });
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<AppStateScene>();
        m_shots = m_scene->shots;
        m_library = m_scene->library;
        QDir().mkpath(m_scene->dir.filePath(QStringLiteral("Trash")));
        m_dialogs = m_scene->dialogs;
        m_prompt = std::make_shared<RecordingPrompt>();
        m_toast = std::make_shared<RecordingToast>();
        m_trasher = std::make_shared<FolderTrasher>();
        m_trasher->folder = m_scene->dir.filePath(QStringLiteral("Trash"));
        m_promptsMade = 0;
    }

    void threeCapturesSaveSkipDiscard()
    {
        auto state = makeState();
        QSignalSpy queueChanged(state.get(), &AppState::promptQueueChanged);
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        const ScreenshotRecord b = capture(*state, QStringLiteral("b.png"));
        const ScreenshotRecord c = capture(*state, QStringLiteral("c.png"));
        enqueue(*state, a);
        enqueue(*state, b);
        enqueue(*state, c);
        QCOMPARE(queueChanged.count(), 3);
        QCOMPARE(m_prompt->shown.size(), 1);
        QCOMPARE(m_prompt->current().recordId, a.id);
        QCOMPARE(m_prompt->current().initialFolder, QStringLiteral("General"));
        QCOMPARE(m_prompt->queueCount, 3);

        QCOMPARE(
            m_prompt->current().onSave(QStringLiteral("Trip: day1/day2"), QStringLiteral("Work")),
            std::nullopt);
        const auto filed = state->database().record(a.id);
        QCOMPARE(filed->status, ScreenshotStatus::filed);
        QCOMPARE(filed->path, m_library + QStringLiteral("/Work/Trip day1 day2.png"));
        QVERIFY(QFile::exists(filed->path));
        QCOMPARE(state->recentFolders().value(0), QStringLiteral("Work"));
        QVERIFY(state->lastSavedAt().isValid());
        QCOMPARE(m_prompt->current().recordId, b.id);
        QCOMPARE(m_prompt->current().queueCount, 2);
        // The folder just used is where the next capture starts.
        QCOMPARE(m_prompt->current().initialFolder, QStringLiteral("Work"));
        QVERIFY(m_prompt->current().folderNames.contains(QStringLiteral("Work")));

        m_prompt->current().onSkip(std::nullopt);
        QCOMPARE(state->database().record(b.id)->status, ScreenshotStatus::inbox);
        QCOMPARE(state->database().record(b.id)->title, b.title);
        QCOMPARE(m_prompt->current().recordId, c.id);
        QCOMPARE(m_prompt->current().queueCount, 1);

        m_prompt->current().onDiscard();
        QVERIFY(!state->database().record(c.id).has_value());
        QVERIFY(!QFile::exists(c.path));
        QVERIFY(!listed(*state, c.id));
        QCOMPARE(m_toast->shown.size(), 1);
        QCOMPARE(m_toast->shown.first().anchor, QRect(100, 100, 360, 300));
        QVERIFY(state->pendingUndoSlot().pending.has_value());
        QVERIFY(state->promptQueue().isEmpty());
        QCOMPARE(m_prompt->closeCount, 1);
        QVERIFY(!m_prompt->isVisible());
        QCOMPARE(queueChanged.count(), 6);
    }

    void discardThenSaveMakesTheDiscardFinal()
    {
        auto state = makeState();
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        const ScreenshotRecord b = capture(*state, QStringLiteral("b.png"));
        enqueue(*state, a);
        enqueue(*state, b);
        m_prompt->current().onDiscard();
        QVERIFY(m_toast->isUp);
        QVERIFY(state->pendingUndoSlot().pending.has_value());
        QCOMPARE(m_prompt->current().onSave(QStringLiteral("B"), QStringLiteral("General")),
            std::nullopt);
        QVERIFY(!m_toast->isUp);
        QCOMPARE(m_toast->dismissCount, 1);
        QVERIFY(!state->pendingUndoSlot().pending.has_value());
        // A late click on the old toast brings nothing back.
        m_toast->shown.first().onUndo();
        QVERIFY(!QFile::exists(a.path));
        QCOMPARE(state->database().allRecords().size(), 1);
    }

    void skipStoresOnlyATypedTitle_data()
    {
        QTest::addColumn<bool>("typed");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("title");
        QTest::newRow("blank keeps the default") << false << QString() << "Default a.png";
        QTest::newRow("typed title stored") << true << "Receipt for lunch"
                                            << "Receipt for lunch";
    }
    void skipStoresOnlyATypedTitle()
    {
        QFETCH(bool, typed);
        QFETCH(QString, text);
        QFETCH(QString, title);
        auto state = makeState();
        LogCapture log;
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        enqueue(*state, a);
        m_prompt->current().onSkip(typed ? std::optional<QString>(text) : std::nullopt);
        const auto stored = state->database().record(a.id);
        QCOMPARE(stored->title, title);
        QCOMPARE(stored->status, ScreenshotStatus::inbox);
        QCOMPARE(stored->path, a.path);
        QVERIFY(QFile::exists(a.path));
        QCOMPARE(state->records().constFirst().title, title);
        QVERIFY(state->promptQueue().isEmpty());
        QVERIFY(log.contains(QStringLiteral("Capture prompt skipped for ") + a.path));
    }

    void discardOfMissingFileDropsTheRecordQuietly()
    {
        auto state = makeState();
        LogCapture log;
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        enqueue(*state, a);
        QVERIFY(QFile::remove(a.path));
        m_prompt->current().onDiscard();
        QVERIFY(!state->database().record(a.id).has_value());
        QVERIFY(!listed(*state, a.id));
        QVERIFY(m_toast->shown.isEmpty());
        QVERIFY(m_dialogs->alerts.isEmpty());
        QVERIFY(log.contains(
            QStringLiteral("File already gone for record %1; dropped from index").arg(a.id)));
    }

    void trashFailureAnsweredWithCancelLeavesEverything()
    {
        auto state = makeState();
        LogCapture log;
        m_trasher->refuse = true;
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        enqueue(*state, a);
        m_dialogs->alertAnswers = { 0 };
        m_prompt->current().onDiscard();

        QCOMPARE(m_dialogs->alerts.size(), 1);
        const Dialogs::Alert &alert = m_dialogs->alerts.first();
        QCOMPARE(alert.style, Dialogs::AlertStyle::warning);
        QCOMPARE(alert.message, QStringLiteral("Couldn't move “a.png” to the Trash"));
        QVERIFY(alert.informativeText.endsWith(
            QStringLiteral("\n\nThe screenshot is still in Marlox and on disk. You can delete it "
                           "permanently instead; this can't be undone.")));
        QVERIFY(alert.informativeText.startsWith(
            FileError(EACCES, a.path, QStringLiteral("trash")).description()));
        QCOMPARE(alert.buttons,
            QStringList({ QStringLiteral("Cancel"), QStringLiteral("Delete Permanently") }));
        QCOMPARE(alert.destructiveButton, 1);
        QVERIFY(QFile::exists(a.path));
        QVERIFY(state->database().record(a.id).has_value());
        QVERIFY(listed(*state, a.id));
        QVERIFY(m_toast->shown.isEmpty());
        QCOMPARE(
            log.countStartingWith(QStringLiteral("Couldn't move %1 to the Trash: ").arg(a.path)),
            1);
    }

    void trashFailureCanDeletePermanently()
    {
        auto state = makeState();
        m_trasher->refuse = true;
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        const ScreenshotRecord b = capture(*state, QStringLiteral("b.png"));
        m_dialogs->alertAnswers = { 1 };
        state->deleteRecord(a, QRect(0, 0, 800, 600));
        QVERIFY(!QFile::exists(a.path));
        QVERIFY(!state->database().record(a.id).has_value());
        QVERIFY(!listed(*state, a.id));
        // The detail view's answers are its own test's; it leaves no undo behind.
        m_trasher->refuse = false;
        QVERIFY(state->deleteFromDetail(b));
        QVERIFY(m_toast->shown.isEmpty());
        QVERIFY(!state->pendingUndoSlot().pending.has_value());
    }

    void undoRestoresTheDiscardedCapture()
    {
        auto state = makeState();
        LogCapture log;
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        const ScreenshotRecord b = capture(*state, QStringLiteral("b.png"));
        enqueue(*state, a);
        enqueue(*state, b);
        m_prompt->current().onDiscard();
        QVERIFY(!QFile::exists(a.path));
        m_toast->shown.last().onUndo();
        QVERIFY(QFile::exists(a.path));
        QVERIFY(!state->pendingUndoSlot().pending.has_value());
        QVERIFY(listed(*state, a.id));
        QCOMPARE(state->database().ocrText(a.id),
            std::optional<QString>(QStringLiteral("text of a.png")));
        // Not back in the queue: the prompt stays on the next capture.
        QCOMPARE(state->promptQueue().count(), 1);
        QCOMPARE(m_prompt->current().recordId, b.id);
        // A second undo has nothing left to do.
        m_toast->shown.last().onUndo();
        QCOMPARE(log.countStartingWith(QStringLiteral("Undo discard failed")), 0);
    }

    void toastExpiryEmptiesTheSlot()
    {
        auto state = makeState();
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        state->deleteRecord(a, std::nullopt);
        QVERIFY(state->pendingUndoSlot().pending.has_value());
        m_toast->shown.last().onExpire();
        QVERIFY(!state->pendingUndoSlot().pending.has_value());
        QVERIFY(QFileInfo::exists(QDir(m_trasher->folder).filePath(QStringLiteral("a.png"))));
    }

    void failedSaveKeepsTheItemAndShowsTheText()
    {
        auto state = makeState(false);
        LogCapture log;
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        enqueue(*state, a);
        QCOMPARE(m_prompt->current().onSave(QStringLiteral("T"), QStringLiteral("General")),
            std::optional<QString>(noLibraryText));
        QCOMPARE(state->promptQueue().count(), 1);
        QCOMPARE(m_prompt->shown.size(), 1);
        QVERIFY(QFile::exists(a.path));
        QCOMPARE(
            log.countStartingWith(QStringLiteral("Save failed for capture %1: ").arg(a.id)), 1);
    }

    void closedPromptComesBackForTheNextCapture()
    {
        auto state = makeState();
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        const ScreenshotRecord b = capture(*state, QStringLiteral("b.png"));
        enqueue(*state, a);
        m_prompt->visible = false; // the user clicked the panel's close button
        QCOMPARE(state->promptQueue().count(), 1);
        enqueue(*state, b);
        QCOMPARE(m_prompt->reopenCount, 1);
        QVERIFY(m_prompt->isVisible());
        QCOMPARE(m_prompt->current().recordId, a.id);
        QCOMPARE(m_prompt->queueCount, 2);
        QCOMPARE(m_promptsMade, 1);
    }

    void queueWorksWithoutPromptUi()
    {
        auto state = makeState(true, false);
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        enqueue(*state, a);
        QCOMPARE(state->promptQueue().count(), 1);
        QCOMPARE(
            state->savePrompt(a, QStringLiteral("A"), QStringLiteral("General")), std::nullopt);
        QVERIFY(state->promptQueue().isEmpty());
        QCOMPARE(state->database().record(a.id)->status, ScreenshotStatus::filed);
    }

    void enqueueForPromptUsesTheRecordsTitle()
    {
        auto state = makeState();
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        state->enqueueForPrompt(a);
        QCOMPARE(m_prompt->current().title, a.title);
        QCOMPARE(m_prompt->current().defaultTitle, a.title);
        QCOMPARE(m_prompt->current().initialError, std::nullopt);
    }

    void deletingAQueuedRecordTakesItOutOfTheQueue()
    {
        auto state = makeState();
        const ScreenshotRecord a = capture(*state, QStringLiteral("a.png"));
        const ScreenshotRecord b = capture(*state, QStringLiteral("b.png"));
        enqueue(*state, a);
        enqueue(*state, b);
        state->deleteRecord(a, std::nullopt);
        QCOMPARE(state->promptQueue().count(), 1);
        QCOMPARE(m_prompt->current().recordId, b.id);
        QCOMPARE(m_prompt->current().queueCount, 1);
    }

    void errorTexts()
    {
        using LibraryError = LibraryFileService::ServiceError;
        using FolderError = FolderManagementService::ServiceError;
        const QString badFolder
            = QStringLiteral("Folder names can't contain “/” or begin with “.”.");
        const QList<std::pair<QString, QString>> texts {
            { errorText(FileError::noSuchFile()), noLibraryText },
            { errorText(LibraryError(LibraryError::Kind::emptyTitle)),
                QStringLiteral("Title can't be empty.") },
            { errorText(LibraryError(LibraryError::Kind::invalidFolderName)), badFolder },
            { errorText(LibraryError(LibraryError::Kind::captureGone)),
                QStringLiteral(
                    "The screenshot's file is gone: it was moved or deleted outside Marlox.") },
            { errorText(FolderError(FolderError::Kind::invalidName)), badFolder },
            { errorText(FileError(EACCES, QStringLiteral("/x/a.png"))),
                "Couldn't save: " + FileError(EACCES, QStringLiteral("/x/a.png")).description() },
            { errorText(std::runtime_error("disk on fire")),
                QStringLiteral("Couldn't save: disk on fire") },
            // A file gone is not a missing library folder.
            { errorText(FileError(ENOENT, QStringLiteral("/x/a.png"), QStringLiteral("move"))),
                "Couldn't save: move /x/a.png: " + QString::fromLocal8Bit(strerror(ENOENT)) },
        };
        for (const auto &[text, expected] : texts)
            QCOMPARE(text, expected);
    }
};

MARLOX_TEST_MAIN(TestPromptDecisions)
#include "tst_promptdecisions.moc"
