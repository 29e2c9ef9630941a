// Measures how long after the last write to a new screenshot the folder
// watcher reports it as stable: median of 20 files.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        qFatal("no temporary folder");
    constexpr int runs = 20;

    FolderWatcher watcher(dir.path());
    std::optional<Clock::time_point> reportedAt;
    watcher.setOnStableFile([&](const Detection &) { reportedAt = Clock::now(); });
    g_previousHandler = qInstallMessageHandler(noticeWatching);
    watcher.start();
    while (!g_watching)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    std::vector<double> delays;
    for (int i = 0; i < runs; ++i) {
        reportedAt.reset();
        writeInChunks(dir.filePath(QStringLiteral("shot-%1.png").arg(i)));
        const auto lastWrite = Clock::now();
        QElapsedTimer timeout;
        timeout.start();
        while (!reportedAt && timeout.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (!reportedAt)
            qFatal("file %d was never reported", i);
        const double ms
            = std::chrono::duration<double, std::milli>(*reportedAt - lastWrite).count();
        delays.push_back(ms);
        std::printf("file %2d: %.1f ms\n", i, ms);
    }
    std::sort(delays.begin(), delays.end());
    const double median = (delays[runs / 2 - 1] + delays[runs / 2]) / 2;
    std::printf(
        "last write to stable report: median %.1f ms, min %.1f ms, max %.1f ms (%d files)\n",
        median, delays.front(), delays.back(), runs);
    return 0;
}
