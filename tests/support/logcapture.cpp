#include "support/logcapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace marlox::test {

namespace {
struct Entry
{
    QString category;
    QString message;
};
QMutex g_mutex;
QList<Entry> g_entries;
int g_depth = 0;
QtMessageHandler g_previous = nullptr;

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&g_mutex);
        g_entries.append({ QString::fromUtf8(context.category ? context.category : ""), message });
    }
    if (g_previous)
        g_previous(type, context, message);
}
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_mutex);
    if (g_depth++ == 0) {
        g_entries.clear();
        g_previous = qInstallMessageHandler(handler);
    }
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&g_mutex);
    if (--g_depth == 0)
        qInstallMessageHandler(g_previous);
}

QStringList LogCapture::messages() const
{
    QMutexLocker lock(&g_mutex);
    QStringList out;
    for (const auto &e : g_entries)
        out.append(e.message);
    return out;
}

QStringList LogCapture::messages(const QString &category) const
{
    QMutexLocker lock(&g_mutex);
    QStringList out;
    for (const auto &e : g_entries) {
        if (e.category == category)
            out.append(e.message);
    }
    return out;
}

bool LogCapture::contains(const QString &message) const
{
    return messages().contains(message);
}

int LogCapture::count(const QString &message) const
{
    return int(messages().count(message));
}

int LogCapture::countStartingWith(const QString &prefix) const
{
    int n = 0;
    for (const QString &m : messages())
        n += m.startsWith(prefix) ? 1 : 0;
    return n;
}

void LogCapture::clear()
{
    QMutexLocker lock(&g_mutex);
    g_entries.clear();
}

} // namespace marlox::test
