#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace marlox {

// Coalesces bursts of load requests: the first request schedules one fetch
// `delay` later on a private serial thread; requests that arrive meanwhile
// ride along. A result is delivered (on the context's thread) only when no
// request arrived after its fetch read the generation, so only the newest
// result reaches the caller.
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
        m_thread->start();
    }

    ~CoalescedLoader()
    {
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
        QMetaObject::invokeMethod(
            m_workContext.get(),
            [this] { QTimer::singleShot(m_delay, m_workContext.get(), [this] { load(); }); },
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
        auto result = m_fetch();
        auto state = m_state;
        auto deliver = m_deliver;
        QMetaObject::invokeMethod(
            m_deliverContext,
            [state, deliver, generation, result = std::move(result)]() mutable {
                qint64 current;
                {
                    QMutexLocker lock(&state->lock);
                    state->isInFlight = false;
                    current = state->requestCount;
                }
                if (current != generation)
                    return;
                deliver(std::move(result));
            },
            Qt::QueuedConnection);
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
