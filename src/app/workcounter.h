#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>

namespace marlox {

// Counts background jobs that borrow something the owner will destroy; the
// owner's destructor waits until the last one has ended.
class WorkCounter
{
public:
    WorkCounter() = default;
    ~WorkCounter() { waitForIdle(); }
    WorkCounter(const WorkCounter &) = delete;
    WorkCounter &operator=(const WorkCounter &) = delete;

    void begin()
    {
        QMutexLocker lock(&m_mutex);
        ++m_running;
    }
    void end()
    {
        QMutexLocker lock(&m_mutex);
        if (--m_running == 0)
            m_idle.wakeAll();
    }
    void waitForIdle()
    {
        QMutexLocker lock(&m_mutex);
        while (m_running > 0)
            m_idle.wait(&m_mutex);
    }

private:
    QMutex m_mutex;
    QWaitCondition m_idle;
    int m_running = 0;
};

} // namespace marlox
