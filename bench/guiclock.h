#pragma once

// The GUI thread's clock for benchmarks: waiting while the event loop turns,
// and telling how long it went without turning and what held it up.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include "app/appstate.h"
#include "library/librarywindow.h"

namespace marlox::bench {

inline double ms(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// Runs the event loop until `done` holds or `timeoutMs` passes.
template <typename F> inline bool spinUntil(F done, int timeoutMs = 60000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// A library window of the usual size, once it is on screen.
inline std::unique_ptr<LibraryWindow> openWindow(AppState &state)
{
    auto window = std::make_unique<LibraryWindow>(&state);
    window->resize(1200, 800);
    window->show();
    spinUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 30000);
    return window;
}

inline void spinFor(int milliseconds)
{
    spinUntil([] { return false; }, milliseconds);
}

// Times every event the GUI thread handles while recording is on, so a long
// stall can be told apart: a paint, a timer, or queued work (a MetaCall).
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    struct Slow
    {
        double ms;
        int type;
        QByteArray receiver;
    };
    bool recording = false;
    double threshold = 40;
    std::vector<Slow> slow;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (!recording || m_depth > 0)
            return QApplication::notify(receiver, event);
        QElapsedTimer timer;
        timer.start();
        ++m_depth;
        const bool result = QApplication::notify(receiver, event);
        --m_depth;
        const double took = ms(timer);
        if (took > threshold)
            slow.push_back({ took, int(event->type()), receiver->metaObject()->className() });
        return result;
    }

    void printSlowest(int count)
    {
        std::sort(
            slow.begin(), slow.end(), [](const Slow &a, const Slow &b) { return a.ms > b.ms; });
        QHash<QString, std::pair<int, double>> byKind;
        for (const Slow &s : slow) {
            auto &[n, total] = byKind[QStringLiteral("%1 to %2").arg(s.type).arg(s.receiver)];
            ++n;
            total += s.ms;
        }
        std::printf(
            "  events over %.0f ms: %zu; by event type and receiver:", threshold, slow.size());
        for (auto it = byKind.cbegin(); it != byKind.cend(); ++it)
            std::printf(" [%s: %d, %.0f ms]", qPrintable(it.key()), it->first, it->second);
        std::printf("\n  slowest:");
        for (int i = 0; i < count && i < int(slow.size()); ++i)
            std::printf(
                " %.0f ms (%d to %s);", slow[i].ms, slow[i].type, slow[i].receiver.constData());
        std::printf("\n");
        slow.clear();
    }

private:
    int m_depth = 0;
};

inline TimedApplication *timedApp()
{
    return static_cast<TimedApplication *>(QCoreApplication::instance());
}

// Notes every gap between turns of the event loop with a 10 ms timer that
// also asks `repaint` to be redrawn each turn, as an animation would.
class GapMeter
{
public:
    explicit GapMeter(QWidget *repaint = nullptr)
    {
        m_ticker.setTimerType(Qt::PreciseTimer);
        m_ticker.setInterval(10);
        QObject::connect(&m_ticker, &QTimer::timeout, [this, repaint] {
            gaps.push_back(ms(m_sinceTick));
            m_sinceTick.restart();
            if (repaint)
                repaint->update();
        });
    }
    void start()
    {
        m_sinceTick.start();
        m_ticker.start();
    }
    void stop() { m_ticker.stop(); }
    // The longest wait beyond the timer's own 10 ms.
    double worst() const
    {
        double worst = 0;
        for (double gap : gaps)
            worst = std::max(worst, gap - 10);
        return worst;
    }
    // The time lost in gaps over `over` ms.
    double totalOver(double over) const
    {
        double total = 0;
        for (double gap : gaps)
            total += gap > over ? gap - 10 : 0;
        return total;
    }

    std::vector<double> gaps;

private:
    QTimer m_ticker;
    QElapsedTimer m_sinceTick;
};

} // namespace marlox::bench
