#include <QtConcurrent>

#include "app/appstate.h"
#include "app/workcounter.h"
#include "filing/codereader.h"
#include "platform/log.h"
#include "platform/workpools.h"

namespace marlox {

QFuture<QList<ScreenshotCode>> AppState::loadCodes(
    const ScreenshotRecord &record, const QImage &image)
{
    if (!m_textReads)
        m_textReads = std::make_shared<WorkCounter>();
    WorkCounter *reads = m_textReads.get();
    ScreenshotDatabase *database = m_database.get();
    const qint64 id = record.id;
    reads->begin();
    return QtConcurrent::run(&WorkPools::interactive(), [reads, database, id, image] {
        QList<ScreenshotCode> codes;
        try {
            codes = database->codes(id);
            // Indexed before codes were read, or put back after a discard:
            // the view has the bitmap already, and reading it costs little.
            if (codes.isEmpty()) {
                codes = CodeReader::read(image);
                if (!codes.isEmpty())
                    database->storeCodes(id, codes);
            }
        } catch (const std::exception &e) {
            qCWarning(lcAppState, "Failed to read the codes of record %lld: %s",
                static_cast<long long>(id), qUtf8Printable(describe(e)));
        }
        reads->end();
        return codes;
    });
}

} // namespace marlox
