#include "platform/workpools.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

#include "platform/log.h"

namespace marlox::WorkPools {

namespace {

int cores()
{
    return std::max(1, QThread::idealThreadCount());
}

QThreadPool *makePool(const char *name, QThread::Priority priority)
{
    auto *pool = new QThreadPool;
    pool->setObjectName(QLatin1String(name));
    pool->setMaxThreadCount(cores());
    pool->setThreadPriority(priority);
    return pool;
}

// As Qt does for its global pool when the application object goes: jobs not
// started are dropped, running ones are waited for. The pools themselves stay,
// so a later application object (tests) can use them again.
void settle();

QThreadPool &pool(int which)
{
    static QThreadPool *const pools[] = {
        makePool("Marlox.capture", QThread::NormalPriority),
        makePool("Marlox.interactive", QThread::NormalPriority),
        makePool("Marlox.background", QThread::LowPriority),
    };
    // Once per application object: its destructor runs and forgets the routines.
    static std::atomic<QCoreApplication *> registeredFor = nullptr;
    QCoreApplication *app = QCoreApplication::instance();
    if (app && registeredFor.exchange(app) != app)
        qAddPostRoutine(settle);
    return *pools[which];
}

void settle()
{
    for (int which = 0; which < 3; ++which)
        pool(which).clear();
    for (int which = 0; which < 3; ++which)
        pool(which).waitForDone();
}

} // namespace

QThreadPool &capture()
{
    return pool(0);
}

QThreadPool &interactive()
{
    return pool(1);
}

QThreadPool &background()
{
    return pool(2);
}

int capturesInFlight()
{
    return 2 * cores();
}

// Recognition keeps every core busy through a burst of captures; with
// nothing else to run it still has the cores to itself.
void yieldToInteractiveWork()
{
    thread_local bool lowered = false;
    if (lowered)
        return;
    lowered = true;
    const pid_t thread = ::gettid();
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, id_t(thread));
    if (errno == 0 && ::setpriority(PRIO_PROCESS, id_t(thread), std::min(19, now + 10)) == 0)
        return;
    qCWarning(lcPlatform, "Couldn't lower the priority of a work thread: %s", std::strerror(errno));
}

} // namespace marlox::WorkPools
