#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QTimer>

namespace marlox {

// Coalesces bursts of load requests: the first request schedules one fetch
// `delay` later on a private serial thread; requests that arrive meanwhile
// ride along. A result is delivered (on the context's thread) only when no
// request arrived after its fetch read the generation, so only the newest
// result reaches the caller. A fetch that throws counts as no result.
template <typename Result> class CoalescedLoader
{
public:
    using Fetch = std::function<std::optional<Result>()>;
    using Deliver = std::function<void(std::optional<Result>)>;

    CoalescedLoader(const QString &label, std::chrono::milliseconds delay, Fetch fetch,
        QObject *deliverContext, Deliver deliver)
        : m_delay(delay),
          m_fetch(std::move(fetch)),
          m_deliverContext(deliverContext),
          m_deliver(std::move(deliver)),
          m_state(std::make_shared<State>())
    {
        m_thread = std::make_unique<QThread>();
        m_thread->setObjectName(label);
        m_workContext = std::make_unique<QObject>();
        m_workContext->moveToThread(m_thread.get());
        m_thread->start(QThread::HighPriority);
    }

    ~CoalescedLoader()
    {
        // A load already running finishes; scheduled ones never start, and
        // a delivery still queued finds its deliver function gone.
        {
            QMutexLocker lock(&m_state->lock);
            m_state->isAlive = false;
        }
        m_thread->quit();
        m_thread->wait();
        m_workContext.reset();
    }

    CoalescedLoader(const CoalescedLoader &) = delete;
    CoalescedLoader &operator=(const CoalescedLoader &) = delete;

    // Any thread; returns at once.
    void request()
    {
        bool wasScheduled;
        {
            QMutexLocker lock(&m_state->lock);
            ++m_state->requestCount;
            wasScheduled = m_state->isScheduled;
            m_state->isScheduled = true;
        }
        if (wasScheduled)
            return;
        QObject *work = m_workContext.get();
        QMetaObject::invokeMethod(
            work,
            [this, work] {
                QTimer::singleShot(m_delay, Qt::PreciseTimer, work, [this] { load(); });
            },
            Qt::QueuedConnection);
    }

    bool isScheduledOrInFlight() const
    {
        QMutexLocker lock(&m_state->lock);
        return m_state->isScheduled || m_state->isInFlight;
    }

    qint64 requestCount() const
    {
        QMutexLocker lock(&m_state->lock);
        return m_state->requestCount;
    }

private:
    struct State
    {
        mutable QMutex lock;
        bool isScheduled = false;
        bool isInFlight = false;
        bool isAlive = true;
        qint64 requestCount = 0;
    };

    void load()
    {
        qint64 generation;
        {
            QMutexLocker lock(&m_state->lock);
            m_state->isScheduled = false;
            m_state->isInFlight = true;
            generation = m_state->requestCount;
        }
        std::optional<Result> result;
        try {
            result = m_fetch();
        } catch (...) {
            // An exception must not cross the worker's event loop.
            result.reset();
        }
        auto state = m_state;
        auto deliver = m_deliver;
        auto finish = [state, deliver, generation, result = std::move(result)]() mutable {
            qint64 current;
            {
                QMutexLocker lock(&state->lock);
                state->isInFlight = false;
                current = state->requestCount;
                if (!state->isAlive)
                    return;
            }
            if (current != generation)
                return;
            deliver(std::move(result));
        };
        const QPointer<QObject> context = m_deliverContext;
        if (!context) {
            // Nobody is left to deliver to; just settle the state.
            QMutexLocker lock(&state->lock);
            state->isInFlight = false;
            return;
        }
        QMetaObject::invokeMethod(context.data(), std::move(finish), Qt::QueuedConnection);
    }

    std::chrono::milliseconds m_delay;
    Fetch m_fetch;
    QPointer<QObject> m_deliverContext;
    Deliver m_deliver;
    std::shared_ptr<State> m_state;
    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<QObject> m_workContext;
};

} // namespace marlox
