#include <QtConcurrent>

#include "app/appstate.h"
#include "app/workcounter.h"
#include "platform/log.h"
#include "platform/workpools.h"

namespace marlox {

QFuture<QList<ScreenshotCode>> AppState::loadCodes(const ScreenshotRecord &record)
{
    if (!m_textReads)
        m_textReads = std::make_shared<WorkCounter>();
    WorkCounter *reads = m_textReads.get();
    ScreenshotDatabase *database = m_database.get();
    const qint64 id = record.id;
    reads->begin();
    return QtConcurrent::run(&WorkPools::interactive(), [reads, database, id] {
        QList<ScreenshotCode> codes;
        try {
            codes = database->codes(id);
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to read the codes of record %lld: %s",
                static_cast<long long>(id), qUtf8Printable(describe(e)));
        }
        reads->end();
        return codes;
    });
}

} // namespace marlox
