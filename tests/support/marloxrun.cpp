#include "support/marloxrun.h"

#include <csignal>

#include <QDir>
#include <QFile>

#include "storage/bookmarkstore.h"
#include "storage/preferences.h"
#include "support/marloxprocess.h"

namespace marlox::test {

MarloxRun::MarloxRun() : m_started(startOffscreen(m_process, marloxBinary()))
{ }

MarloxRun::~MarloxRun()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

bool MarloxRun::waitFor(const QString &text, int timeoutMs)
{
    return waitForOutput(m_process, m_output, text, timeoutMs);
}

QString MarloxRun::output()
{
    m_output += QString::fromUtf8(m_process.readAll());
    return m_output;
}

void MarloxRun::signal(int number)
{
    ::kill(pid_t(m_process.processId()), number);
}

bool MarloxRun::finished(int timeoutMs)
{
    const bool ended = m_process.waitForFinished(timeoutMs);
    output();
    return ended;
}

QString binaryIndexPath()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Marlox/library.sqlite3");
}

void removeBinaryIndex()
{
    for (const char *suffix : { "", "-wal", "-shm" })
        QFile::remove(binaryIndexPath() + QLatin1String(suffix));
}

void configureBinary(const QString &shots, const QString &library, bool autoSave)
{
    QDir().mkpath(shots);
    QDir().mkpath(library);
    QFile::remove(Preferences::filePath());
    Preferences::setValue(Preferences::autoSaveEnabled, autoSave);
    Preferences::setValue(Preferences::onboardingCompleted, true);
    BookmarkStore().save(shots, Preferences::screenshotFolderBookmark);
    BookmarkStore().save(library, Preferences::libraryRootBookmark);
}

} // namespace marlox::test
