// The folder watcher on its own: how long after the last write to a new
// screenshot it reports the file as stable (median of N files), and what
// watching costs while nothing happens (CPU seconds per minute, measured with
// getrusage over a quiet stretch and scaled), each with a folder holding
// 0 files and one holding many.
//
//   bench_watch_latency [--runs 20] [--idle-seconds 20] [--files 0,20000]
//
// Lines starting with RESULT are the figures scripts/bench tables.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>

#include <sys/resource.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include "detection/folderwatcher.h"

using namespace marlox;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic_bool g_watching = false;
QtMessageHandler g_previousHandler = nullptr;

// The watcher says when its sources are up; files before that are baseline.
void noticeWatching(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("Watching ")))
        g_watching = true;
    else if (message.startsWith(QLatin1String("Stable file ")))
        return; // one per file: noise in the table's log
    g_previousHandler(type, context, message);
}

void writeInChunks(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        qFatal("cannot write %s", qPrintable(path));
    for (int chunk = 0; chunk < 4; ++chunk) {
        file.write(QByteArray(64 * 1024, char('a' + chunk)));
        QThread::msleep(20);
    }
}

// Runs the event loop (sleeping while nothing is due) for ms, or until done
// says so after an event.
template <typename Done> void runFor(int ms, Done done)
{
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    timeout.start(ms);
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(5);
    if (!done())
        loop.exec();
}

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double cpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    const auto toSeconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Figures
{
    double idleCpuPerMinute = 0;
    double latencyMs = 0;
};

Figures measure(int existing, int runs, int idleSeconds)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        qFatal("no temporary folder");
    for (int i = 0; i < existing; ++i) {
        QFile file(dir.filePath(QStringLiteral("old-%1.png").arg(i)));
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(200, 'o')) != 200)
            qFatal("cannot fill %s", qPrintable(dir.path()));
    }

    FolderWatcher watcher(dir.path());
    std::optional<Clock::time_point> reportedAt;
    watcher.setOnStableFile([&](const Detection &) { reportedAt = Clock::now(); });
    g_watching = false;
    watcher.start();
    runFor(30000, [] { return bool(g_watching); });

    Figures figures;
    // Idle means nothing happened for a while: the folder was just filled.
    spin(5000);
    const double cpuBefore = cpuSeconds();
    spin(idleSeconds * 1000);
    figures.idleCpuPerMinute = (cpuSeconds() - cpuBefore) * 60.0 / idleSeconds;

    std::vector<double> delays;
    for (int i = 0; i < runs; ++i) {
        reportedAt.reset();
        writeInChunks(dir.filePath(QStringLiteral("shot-%1.png").arg(i)));
        const auto lastWrite = Clock::now();
        runFor(10000, [&] { return reportedAt.has_value(); });
        if (!reportedAt)
            qFatal("file %d was never reported", i);
        delays.push_back(
            std::chrono::duration<double, std::milli>(*reportedAt - lastWrite).count());
    }
    watcher.stop();
    figures.latencyMs = median(delays);
    std::printf("%d files in the folder: idle %.3f CPU s/min; last write to stable report: "
                "median %.1f ms, min %.1f ms, max %.1f ms (%d files)\n",
        existing, figures.idleCpuPerMinute, figures.latencyMs,
        *std::min_element(delays.begin(), delays.end()),
        *std::max_element(delays.begin(), delays.end()), runs);
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int runs = 20;
    int idleSeconds = 20;
    QList<int> fileCounts = { 0, 20000 };
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--runs"))
            runs = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--idle-seconds"))
            idleSeconds = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--files")) {
            fileCounts.clear();
            for (const QString &count : args.at(i + 1).split(QLatin1Char(',')))
                fileCounts.append(count.toInt());
        }
    }
    if (runs < 1 || idleSeconds < 1 || fileCounts.isEmpty())
        qFatal("usage: bench_watch_latency [--runs N] [--idle-seconds S] [--files 0,20000]");
    g_previousHandler = qInstallMessageHandler(noticeWatching);

    for (const int existing : std::as_const(fileCounts)) {
        const Figures figures = measure(existing, runs, idleSeconds);
        // A watcher driven by events alone costs nothing at idle.
        std::printf("RESULT\twatcher: idle CPU, %d files in the folder (CPU s per minute)\t%.3f\t"
                    "—\tnothing is due while no file changes\n",
            existing, figures.idleCpuPerMinute);
        std::printf("RESULT\twatcher: last write to stable report, %d files in the folder, median "
                    "of %d (ms)\t%.1f\t%.0f\tfloor: two 150 ms polls\n",
            existing, runs, figures.latencyMs, 2.0 * double(FolderWatcher::pollInterval.count()));
    }
    return 0;
}
