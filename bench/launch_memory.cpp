// Launch and memory with a large index. Each figure comes from a fresh child
// process of this program that starts as the app does (QApplication, then the
// coordinator on the index):
// - launch to the first list delivered, and to the library window shown,
//   against the sqlite3 shell started to read the same list columns;
// - resident size at idle with every record loaded (after a reload through the
//   coordinator's loader), against the sqlite3 shell's peak reading the list;
// - peak resident size while a 5120x2880 capture is decoded and recognised on
//   the global pool, against the tesseract command line's peak on that file;
// - resident size after the library window was opened, paged through and
//   closed, against the size before it opened.
//
//   bench_launch_memory --index PATH [--records 100000] [--runs 5]
//
// The index is made (as bench_search makes it) when PATH does not exist.
// Lines starting with RESULT are the figures scripts/bench tables.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QScrollBar>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QWindow>

#include "app/appstate.h"
#include "benchindex.h"
#include "filing/ocrengine.h"
#include "guiclock.h"
#include "library/librarygridview.h"
#include "library/librarywindow.h"
#include "screencorpus.h"
#include "shell/widgetdialogs.h"

extern char **environ;

using namespace marlox;

using marlox::bench::spinUntil;

namespace {

qint64 monotonicNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// "VmRSS" or "VmHWM" of this process, in MB.
double statusMegabytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            const QList<QByteArray> parts = line.simplified().split(' ');
            return parts.value(1).toDouble() / 1024.0;
        }
    }
    return 0;
}

// The peak so far is forgotten: VmHWM restarts from the current size.
void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

void idle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

struct Child
{
    double wallMs = 0;
    double maxRssMb = 0;
    bool ok = false;
};

// Runs a command with stdin from `input` (or /dev/null) and stdout to /dev/null.
Child runMeasured(const QStringList &command, const QString &input = QString())
{
    QList<QByteArray> storage;
    std::vector<char *> argv;
    for (const QString &arg : command)
        storage << arg.toLocal8Bit();
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray in = input.isEmpty() ? QByteArray("/dev/null") : input.toLocal8Bit();
    posix_spawn_file_actions_addopen(&actions, 0, in.constData(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Child child;
    const qint64 start = monotonicNs();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return child;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) { }
    child.wallMs = double(monotonicNs() - start) / 1e6;
    child.maxRssMb = double(usage.ru_maxrss) / 1024.0;
    child.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return child;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

AppStateDependencies launchDependencies(const QString &index)
{
    AppStateDependencies deps;
    deps.dialogs = std::make_shared<WidgetDialogs>();
    deps.databasePath = index;
    deps.installSystemObservers = false;
    return deps;
}

void waitForList(AppState &state)
{
    if (state.records().isEmpty())
        spinUntil([&] { return !state.records().isEmpty(); }, 120000);
}

// Child: launch as the app does, print when the list and the window arrive.
int childLaunch(int argc, char **argv, const QString &index, qint64 spawnedAt)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("quorvintesha"));
    QApplication::setApplicationName(QStringLiteral("Marlox"));
    const double started = double(monotonicNs() - spawnedAt) / 1e6;
    AppState state(launchDependencies(index));
    waitForList(state);
    const double list = double(monotonicNs() - spawnedAt) / 1e6;
    LibraryWindow window(&state);
    window.resize(1200, 800);
    window.show();
    spinUntil([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }, 120000);
    QCoreApplication::processEvents();
    window.repaint();
    const double shown = double(monotonicNs() - spawnedAt) / 1e6;
    std::printf("LAUNCH\t%lld\t%.1f\t%.1f\t%.1f\n", static_cast<long long>(state.records().size()),
        list, shown, started);
    return 0;
}

// Child: memory at idle with every record loaded, then the peak of one large capture.
int childMemory(int argc, char **argv, const QString &index, const QString &capture)
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("quorvintesha"));
    QApplication::setApplicationName(QStringLiteral("Marlox"));
    const double empty = statusMegabytes("VmRSS:");
    AppState state(launchDependencies(index));
    waitForList(state);
    int deliveries = 0;
    QObject::connect(&state, &AppState::recordsChanged, [&deliveries] { ++deliveries; });
    state.reloadRecords();
    spinUntil([&] { return deliveries > 0; }, 120000);
    idle(1000);
    const double idleRss = statusMegabytes("VmRSS:");
    const double idleHwm = statusMegabytes("VmHWM:");

    // A capture as the pipeline holds it: the file's bytes and the decoded
    // bitmap, recognised on a pool thread.
    QFile file(capture);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    resetPeak();
    const double before = statusMegabytes("VmRSS:");
    {
        QByteArray bytes = file.readAll();
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        QImage image;
        reader.read(&image);
        OCREngine engine;
        QSemaphore done;
        QThreadPool::globalInstance()->start([&] {
            engine.recognizeText(image);
            done.release();
        });
        done.acquire();
    }
    const double peak = statusMegabytes("VmHWM:");
    idle(500);
    const double after = statusMegabytes("VmRSS:");
    // What glibc keeps in the worker's arena after the capture is gone.
    malloc_trim(0);
    const double trimmed = statusMegabytes("VmRSS:");

    // Opened as the tray opens it (deleted when closed), paged through, closed.
    auto *window = new LibraryWindow(&state);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->resize(1200, 800);
    window->show();
    spinUntil(
        [&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 120000);
    idle(1000);
    const double withWindow = statusMegabytes("VmRSS:");
    QScrollBar *bar = window->grid()->verticalScrollBar();
    for (int page = 0; page < 20; ++page) {
        bar->setValue(bar->value() + bar->pageStep());
        idle(50);
    }
    idle(500);
    const double paged = statusMegabytes("VmRSS:");
    window->close();
    idle(1500);
    const double closed = statusMegabytes("VmRSS:");
    std::printf("MEMORY\t%lld\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\t%.1f\n",
        static_cast<long long>(state.records().size()), empty, idleRss, idleHwm, before, peak,
        after, withWindow, trimmed, paged, closed);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("OMP_THREAD_LIMIT")) {
        setenv("OMP_THREAD_LIMIT", "1", 1);
        execv("/proc/self/exe", argv);
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QString index;
    QString capture;
    QString mode;
    qint64 spawnedAt = 0;
    int records = 100000;
    int runs = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        const QByteArray arg(argv[i]);
        const QString value = QString::fromLocal8Bit(argv[i + 1]);
        if (arg == "--index")
            index = value;
        else if (arg == "--records")
            records = value.toInt();
        else if (arg == "--runs")
            runs = std::max(1, value.toInt());
        else if (arg == "--child")
            mode = value;
        else if (arg == "--spawned-at")
            spawnedAt = value.toLongLong();
        else if (arg == "--capture")
            capture = value;
        else
            continue;
        ++i;
    }
    if (mode == QLatin1String("launch"))
        return childLaunch(argc, argv, index, spawnedAt);
    if (mode == QLatin1String("memory"))
        return childMemory(argc, argv, index, capture);

    QTemporaryDir temporary;
    if (index.isEmpty())
        index = temporary.filePath(QStringLiteral("index.sqlite3"));
    // The children get a profile of their own.
    bench::isolateProfile(temporary.filePath(QStringLiteral("profile")));
    QGuiApplication app(argc, argv);
    if (!QFileInfo::exists(index)) {
        QElapsedTimer timer;
        timer.start();
        bench::ensureIndex(index, records);
        std::printf(
            "made an index of %d records in %.0f ms\n", records, bench::milliseconds(timer));
    }
    const QString selfPath = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();

    // The sqlite3 shell, started to read the list: the launch baseline.
    const QString script = temporary.filePath(QStringLiteral("list.sql"));
    {
        QFile file(script);
        file.open(QIODevice::WriteOnly);
        file.write((QStringLiteral("SELECT ") + QLatin1String(ScreenshotDatabase::listColumns)
            + QStringLiteral(" FROM screenshots ORDER BY created_at DESC;\n"))
                       .toUtf8());
    }
    std::vector<double> shellWall;
    std::vector<double> shellRss;
    for (int i = 0; i < runs; ++i) {
        const Child shell = runMeasured(
            { QStringLiteral("sqlite3"), QStringLiteral("-readonly"), index }, script);
        if (!shell.ok)
            qFatal("sqlite3 failed on %s", qPrintable(index));
        shellWall.push_back(shell.wallMs);
        shellRss.push_back(shell.maxRssMb);
    }

    std::vector<double> list;
    std::vector<double> window;
    std::vector<double> started;
    qlonglong count = 0;
    for (int i = 0; i < runs; ++i) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const qint64 now = monotonicNs();
        child.start(selfPath,
            { QStringLiteral("--child"), QStringLiteral("launch"), QStringLiteral("--index"), index,
                QStringLiteral("--spawned-at"), QString::number(now) });
        child.waitForFinished(600000);
        for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> parts = line.split('\t');
            if (parts.value(0) == "LAUNCH" && parts.size() >= 5) {
                count = parts.at(1).toLongLong();
                list.push_back(parts.at(2).toDouble());
                window.push_back(parts.at(3).toDouble());
                started.push_back(parts.at(4).toDouble());
            }
        }
    }
    if (list.empty())
        qFatal("the launch child reported nothing");

    // A 5120x2880 capture for the recognition peak, and the command line's peak on it.
    const QString capture5k = temporary.filePath(QStringLiteral("capture-5120x2880.png"));
    bench::drawScene(QStringLiteral("document"), QSize(5120, 2880), false, 5).image.save(capture5k);
    const Child cli = runMeasured(
        { QStringLiteral("tesseract"), capture5k, QStringLiteral("stdout"), QStringLiteral("--oem"),
            QStringLiteral("1"), QStringLiteral("-l"), QStringLiteral("eng") });

    QProcess memory;
    memory.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    memory.start(selfPath,
        { QStringLiteral("--child"), QStringLiteral("memory"), QStringLiteral("--index"), index,
            QStringLiteral("--capture"), capture5k });
    memory.waitForFinished(600000);
    QList<double> m;
    for (const QByteArray &line : memory.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> parts = line.split('\t');
        if (parts.value(0) == "MEMORY" && parts.size() >= 12) {
            for (int k = 2; k < 12; ++k)
                m << parts.at(k).toDouble();
        }
    }
    if (m.size() < 10)
        qFatal("the memory child reported nothing");

    std::printf("%lld records, %d launches each\n", count, runs);
    std::printf("launch to first list delivered: median %.0f ms (each:", median(list));
    for (double v : list)
        std::printf(" %.0f", v);
    std::printf(")\n  of which to QApplication constructed: median %.0f ms\n", median(started));
    std::printf("launch to library window shown: median %.0f ms\n", median(window));
    std::printf("sqlite3 shell started to read the same list: median %.0f ms, max RSS %.1f MB\n",
        median(shellWall), median(shellRss));
    std::printf("resident: %.1f MB after QApplication, %.1f MB idle with the list loaded "
                "(peak so far %.1f MB), %.1f MB with the library window open\n",
        m[0], m[1], m[2], m[6]);
    std::printf("library window paged through 20 screens: %.1f MB; closed: %.1f MB (%.1f MB "
                "before it opened)\n",
        m[8], m[9], m[7]);
    std::printf("5120x2880 capture: %.1f MB before, peak %.1f MB while decoding and recognising "
                "(+%.1f MB), %.1f MB after, %.1f MB after malloc_trim; tesseract command line "
                "peak %.1f MB\n",
        m[3], m[4], m[4] - m[3], m[5], m[7], cli.maxRssMb);

    std::printf("RESULT\tlaunch to first list, %lld records (ms)\t%.0f\t%.0f\t"
                "sqlite3 shell started to read the same columns\n",
        count, median(list), median(shellWall));
    std::printf("RESULT\tlaunch to library window shown (ms)\t%.0f\t%.0f\t"
                "sqlite3 shell started to read the same columns\n",
        median(window), median(shellWall));
    std::printf("RESULT\tmemory: resident at idle, %lld records loaded (MB)\t%.1f\t%.1f\t"
                "sqlite3 shell reading the same list (peak)\n",
        count, m[1], median(shellRss));
    std::printf("RESULT\tmemory: resident with the library window open (MB)\t%.1f\t—\t—\n", m[6]);
    std::printf("RESULT\tmemory: resident after the library window closed (MB)\t%.1f\t%.1f\t"
                "before it opened\n",
        m[9], m[7]);
    std::printf("RESULT\tmemory: peak recognising a 5120x2880 capture (MB)\t%.1f\t%.1f\t"
                "tesseract CLI on the same file (peak)\n",
        m[4], cli.maxRssMb);
    return 0;
}
