#include "app/appstate.h"

#include "app/coalescedloader.h"

// PROVISIONAL: replaced by the record loading's owner.
namespace marlox {

void AppState::reloadRecords()
{
    setRecords(m_database->allRecordsForList());
}
void AppState::refreshRecord(qint64)
{
    reloadRecords();
}
QList<ScreenshotRecord> AppState::mergeRecord(
    QList<ScreenshotRecord> list, qint64, const std::optional<ScreenshotRecord> &)
{
    return list;
}
QList<SearchResult> AppState::searchRecords(const QString &text, const LibrarySection &section)
{
    return m_database->search(text, section, 50);
}
QFuture<QString> AppState::loadOCRText(const ScreenshotRecord &)
{
    return {};
}
void AppState::copyOCRText(const ScreenshotRecord &)
{ }

} // namespace marlox
