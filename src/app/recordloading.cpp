#include <QClipboard>
#include <QGuiApplication>
#include <QThreadPool>
#include <QtConcurrent>

#include "app/appstate.h"
#include "app/workcounter.h"
#include "platform/log.h"
#include "platform/workpools.h"
#include "storage/searchquery.h"

namespace marlox {

namespace {

bool isBlankSearch(const QString &text)
{
    return SearchQuery::isBlank(text);
}

} // namespace

QList<SearchResult> AppState::searchRecords(const QString &text, const LibrarySection &section)
{
    if (isBlankSearch(text))
        return {};
    try {
        return m_database->search(text, section, 50);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Search failed: %s", qUtf8Printable(describe(e)));
        return {};
    }
}

QList<SearchResult> AppState::similarRecords(
    const QString &text, const LibrarySection &section, const QList<SearchResult> &exact)
{
    if (isBlankSearch(text))
        return {};
    QList<qint64> exclude;
    exclude.reserve(exact.size());
    for (const auto &hit : exact)
        exclude.append(hit.id());
    try {
        return m_database->similarMatches(text, section, 50, exclude);
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Similar search failed: %s", qUtf8Printable(describe(e)));
        return {};
    }
}

void AppState::copyOCRText(const ScreenshotRecord &record)
{
    QString text = record.ocrText;
    try {
        if (auto stored = m_database->ocrText(record.id))
            text = *stored;
    } catch (const std::exception &e) {
        qCWarning(lcAppState, "Failed to read the text of record %lld: %s",
            static_cast<long long>(record.id), qUtf8Printable(describe(e)));
    }
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return;
    clipboard->clear();
    clipboard->setText(text, QClipboard::Clipboard);
}

} // namespace marlox
