#include "app/appsettings.h"
#include "app/appstate.h"
#include "app/duplicateactions.h"
#include "app/recordactions.h"

// The narrow views of AppState that windows take, so a window needs only
// what it uses and its tests can stand in for the rest.

namespace marlox {

namespace {

class AppRecordActions : public RecordActions
{
public:
    explicit AppRecordActions(AppState &state) : m_state(state) { }

    Dialogs &dialogs() override { return m_state.dialogs(); }
    QFuture<QString> loadOCRText(const ScreenshotRecord &record) override
    {
        return m_state.loadOCRText(record);
    }
    QFuture<QList<WordBox>> loadWordBoxes(const ScreenshotRecord &record, const QImage &image,
        std::shared_ptr<std::atomic_bool> cancel) override
    {
        return m_state.loadWordBoxes(record, image, std::move(cancel));
    }
    QFuture<QList<ScreenshotCode>> loadCodes(
        const ScreenshotRecord &record, const QImage &image) override
    {
        return m_state.loadCodes(record, image);
    }
    void copyOCRText(const ScreenshotRecord &record) override { m_state.copyOCRText(record); }
    bool deleteFromDetail(const ScreenshotRecord &record) override
    {
        return m_state.deleteFromDetail(record);
    }

private:
    AppState &m_state;
};

class AppStateSettings : public AppSettings
{
public:
    explicit AppStateSettings(AppState &state) : m_state(state)
    {
        connect(
            &state, &AppState::autoSaveEnabledChanged, this, &AppSettings::autoSaveEnabledChanged);
        connect(&state, &AppState::watchStatusChanged, this, &AppSettings::watchStatusChanged);
        connect(&state, &AppState::macOSScreenshotFolderIfDifferentChanged, this,
            &AppSettings::systemFolderIfDifferentChanged);
    }

    FolderLocations &locations() override { return m_state.locations(); }
    RecognitionWork &recognition() override { return m_state.recognition(); }
    BacklogImport &backlogImport() override { return m_state.backlogImport(); }
    bool autoSaveEnabled() const override { return m_state.autoSaveEnabled(); }
    void setAutoSaveEnabled(bool enabled) override { m_state.setAutoSaveEnabled(enabled); }
    WatchStatus watchStatus() const override { return m_state.watchStatus(); }
    QString systemFolderIfDifferent() const override
    {
        return m_state.macOSScreenshotFolderIfDifferent();
    }

private:
    AppState &m_state;
};

class AppDuplicateActions : public DuplicateActions
{
public:
    explicit AppDuplicateActions(AppState &state) : m_state(state)
    {
        connect(&state, &AppState::recordsChanged, this, &DuplicateActions::recordsChanged);
        connect(&state, &AppState::recordReplaced, this, &DuplicateActions::recordsChanged);
    }

    DuplicateFinder &duplicates() override { return m_state.duplicates(); }
    void deleteRecord(
        const ScreenshotRecord &record, const std::optional<QRect> &windowFrame) override
    {
        m_state.deleteRecord(record, windowFrame);
    }
    void deleteRecords(
        const QList<ScreenshotRecord> &records, const std::optional<QRect> &windowFrame) override
    {
        m_state.deleteRecords(records, windowFrame);
    }

private:
    AppState &m_state;
};

} // namespace

void AppState::makeWindowInterfaces()
{
    m_recordActions = std::make_unique<AppRecordActions>(*this);
    m_appSettings = std::make_unique<AppStateSettings>(*this);
    m_duplicateActions = std::make_unique<AppDuplicateActions>(*this);
}

} // namespace marlox
