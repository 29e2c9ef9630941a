// Bursts of captures with the library window open, through the coordinator
// with the real folder watcher and recognition (auto-save on): how long the
// GUI thread goes without turning its event loop (a 10 ms timer that repaints
// the window each turn notes every gap), and the process's peak memory during
// the burst, and which events took the GUI thread longest (a repaint, queued
// work). Then, on a library of --records rows with the window open, the GUI
// thread's time for filing one capture: its row indexed, the file moved into
// a folder, the list, grid and sidebar updated, and the repaint that follows;
// in wall time and in the thread's processor time, which waiting for a core
// on a busy machine does not inflate.
//
//   bench_capture_burst [--captures 10,200] [--size 1440x900] [--records 100000]
//                       [--filings 20]
//
// Lines starting with RESULT are the figures scripts/bench tables.
#include <algorithm>
#include <cstdio>
#include <vector>

#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include "app/appstate.h"
#include "guiclock.h"
#include "library/librarygridview.h"
#include "library/librarywindow.h"
#include "libraryfixture.h"
#include "platform/memoryrelease.h"
#include "shell/widgetdialogs.h"
#include "storage/bookmarkstore.h"
#include "storage/preferences.h"
#include "storage/screenshotdatabase.h"

using namespace marlox;
using namespace marlox::bench;

namespace {

// Processor time of the calling thread, in ms: on a machine shared with
// other work a wall-clock phase also counts the time spent waiting for a core.
double threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Peak resident memory since the last reset, in MB.
double peakResidentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

void resetPeakResident()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

AppStateDependencies dependencies(const QString &databasePath)
{
    AppStateDependencies deps;
    deps.dialogs = std::make_shared<WidgetDialogs>();
    deps.databasePath = databasePath;
    deps.installSystemObservers = false;
    return deps;
}

void burst(const QString &root, int count, QSize size)
{
    const QString shots = root + QStringLiteral("/Screenshots");
    const QString staging = root + QStringLiteral("/staging");
    const QString library = root + QStringLiteral("/Library");
    for (const QString &dir : { shots, staging, library })
        QDir().mkpath(dir);
    BookmarkStore().save(shots, Preferences::screenshotFolderBookmark);
    BookmarkStore().save(library, Preferences::libraryRootBookmark);
    Preferences::setValue(Preferences::autoSaveEnabled, true);

    // Written beside the watched folder first, then renamed in all at once as
    // a burst; the encoded bytes are gone before the measuring starts.
    QRandomGenerator random(11);
    for (int i = 0; i < count; ++i) {
        bench::drawScreenshot(
            i, QStringLiteral("Window %1").arg(i), bench::randomLines(random, 14, 6), size)
            .save(staging + QStringLiteral("/Screenshot %1.png").arg(i, 3, 10, QLatin1Char('0')));
    }

    AppState state(dependencies(root + QStringLiteral("/library.sqlite3")));
    auto window = openWindow(state);
    int filed = 0;
    QObject::connect(&state, &AppState::lastSavedAtChanged, [&filed] { ++filed; });
    spinFor(1500); // the watcher's baseline, the first list

    std::vector<double> gaps;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        gaps.push_back(ms(sinceTick));
        sinceTick.restart();
        window->update();
    });
    MemoryRelease::releaseFreed();
    resetPeakResident();
    const double before = peakResidentMb();
    QElapsedTimer wall;
    wall.start();
    for (const QString &name : QDir(staging).entryList(QDir::Files))
        QFile::rename(staging + u'/' + name, shots + u'/' + name);
    sinceTick.start();
    ticker.start();
    timedApp()->threshold = 40;
    timedApp()->recording = true;
    const bool done = spinUntil([&] { return filed >= count; }, count * 60000);
    timedApp()->recording = false;
    ticker.stop();
    const double seconds = ms(wall) / 1000;
    const double peak = peakResidentMb();

    double worst = 0;
    double total = 0;
    for (double gap : gaps) {
        worst = std::max(worst, gap - 10);
        if (gap > 50)
            total += gap - 10;
    }
    const QString what = QStringLiteral("burst of %1 captures at %2x%3, library window open")
                             .arg(count)
                             .arg(size.width())
                             .arg(size.height());
    std::printf("%s: %d filed in %.1f s%s; %zu timer turns, worst gap %.0f ms, "
                "%.0f ms in gaps over 50 ms; resident %.0f MB before, peak %.0f MB\n",
        qPrintable(what), filed, seconds, done ? "" : " (timed out)", gaps.size(), worst, total,
        before, peak);
    timedApp()->printSlowest(12);
    std::printf("RESULT\t%s: worst GUI stall (ms)\t%.0f\t-\t-\n", qPrintable(what), worst);
    std::printf(
        "RESULT\t%s: GUI stalled over 50 ms, total (ms)\t%.0f\t-\t-\n", qPrintable(what), total);
    std::printf("RESULT\t%s: peak resident memory (MB)\t%.0f\t-\t-\n", qPrintable(what), peak);
    std::fflush(stdout);
}

void filingCost(const QString &root, int records, int filings)
{
    const QString shots = root + QStringLiteral("/Screenshots");
    const QString library = root + QStringLiteral("/Library");
    QDir().mkpath(shots);
    QDir().mkpath(library + QStringLiteral("/General"));
    BookmarkStore().save(library, Preferences::libraryRootBookmark);
    const QString databasePath = root + QStringLiteral("/library.sqlite3");
    {
        ScreenshotDatabase schema(databasePath);
    }
    // Rows of files elsewhere: nothing in the library for upkeep to touch.
    QRandomGenerator random(5);
    QList<bench::BulkRow> rows;
    const double now = QDateTime::currentSecsSinceEpoch();
    const QStringList folders { "General", "Work", "Receipts", "Travel", "Design" };
    for (int i = 0; i < records; ++i) {
        bench::BulkRow row;
        row.path = root + QStringLiteral("/elsewhere/shot%1.png").arg(i);
        row.title = bench::randomLines(random, 1, 3).first();
        const bool inbox = i % 10 == 0;
        row.folder = inbox ? QString() : folders[i % folders.size()];
        row.status = inbox ? QStringLiteral("inbox") : QStringLiteral("filed");
        row.createdAt = now - 60 - i * 90.0;
        row.ocrText = bench::randomLines(random, 6, 6).join(QLatin1Char('\n'));
        rows.append(row);
    }
    if (!bench::bulkInsert(databasePath, rows))
        qFatal("could not fill the index");
    rows.clear();

    AppState state(dependencies(databasePath));
    auto window = openWindow(state);
    spinFor(2000);
    QImage image(400, 250, QImage::Format_RGB32);
    image.fill(Qt::white);
    // The first filing makes the library hold something, which starts the
    // rebuild a fresh index owes; let it pass before timing.
    image.save(shots + QStringLiteral("/warm-up.png"));
    const qint64 warmUp = state.database().insertOrUpdate(shots + QStringLiteral("/warm-up.png"),
        QStringLiteral("Warm-up"), QString(), QDateTime::currentSecsSinceEpoch(), QString(),
        QString(), ScreenshotStatus::inbox, 0);
    state.refreshRecord(warmUp);
    state.fileRecord(
        *state.database().record(warmUp), QStringLiteral("Warm-up"), QStringLiteral("General"));
    spinFor(5000);
    timedApp()->threshold = 1;
    std::vector<double> times;
    std::vector<double> cpuTimes;
    std::vector<double> phases[3]; // index, file, posted work (the repaint)
    for (int i = 0; i < filings; ++i) {
        const QString path = shots + QStringLiteral("/filing %1.png").arg(i);
        image.save(path);
        const QString title = QStringLiteral("Filing %1").arg(i);
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = threadCpuMs();
        QElapsedTimer phase;
        phase.start();
        // What the GUI thread does for one auto-saved capture once its text
        // is read (AppState::indexAndFileAutoSaved).
        qint64 id = 0;
        state.database().runInTransaction([&] {
            id = state.database().insertOrUpdate(path, title, QString(),
                QDateTime::currentSecsSinceEpoch(), QStringLiteral("some text"), QString(),
                ScreenshotStatus::inbox, QFileInfo(path).size());
            state.database().storeWordBoxes(id, QByteArray());
        });
        phases[0].push_back(ms(phase));
        phase.restart();
        state.fileRecord(*state.database().record(id), title, QStringLiteral("General"));
        phases[1].push_back(ms(phase));
        phase.restart();
        timedApp()->recording = true;
        QCoreApplication::processEvents();
        timedApp()->recording = false;
        phases[2].push_back(ms(phase));
        times.push_back(ms(timer));
        cpuTimes.push_back(threadCpuMs() - cpuStart);
        spinFor(50);
    }
    timedApp()->printSlowest(12);
    // The repaint that follows each filing, alone: the grid's full area.
    std::vector<double> repaints;
    std::vector<double> repaintsWall;
    for (int i = 0; i < 50; ++i) {
        const double start = threadCpuMs();
        QElapsedTimer wall;
        wall.start();
        window->grid()->viewport()->repaint();
        repaints.push_back(threadCpuMs() - start);
        repaintsWall.push_back(ms(wall));
    }
    std::printf("  repainting the grid: median %.2f ms, %.2f ms of it the GUI thread's processor "
                "time\n",
        median(repaintsWall), median(repaints));
    std::printf("  medians: index %.2f ms, file (move, row, merge into list and window) %.2f ms, "
                "posted work and repaint %.2f ms\n",
        median(phases[0]), median(phases[1]), median(phases[2]));
    std::printf("filing one capture with %lld records and the window open: median %.2f ms, "
                "worst %.2f ms (%d filings; %lld records shown)\n",
        static_cast<long long>(state.records().size()), median(times),
        *std::max_element(times.begin(), times.end()), filings,
        static_cast<long long>(window->grid()->displayed().size()));
    std::printf("RESULT\tGUI time per filed capture, %d records, library window open (ms, "
                "median)\t%.2f\t-\t-\n",
        records, median(times));
    std::printf("RESULT\tGUI time per filed capture, %d records, worst of %d (ms)\t%.2f\t-\t-\n",
        records, filings, *std::max_element(times.begin(), times.end()));
    std::printf("RESULT\tGUI thread processor time per filed capture, %d records (ms, "
                "median)\t%.2f\t-\t-\n",
        records, median(cpuTimes));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("OMP_THREAD_LIMIT")) {
        setenv("OMP_THREAD_LIMIT", "1", 1);
        execv("/proc/self/exe", argv);
    }
    QList<int> counts { 10, 200 };
    QSize size(1440, 900);
    int records = 100000;
    int filings = 20;
    for (int i = 1; i + 1 < argc; ++i) {
        const QByteArray arg = argv[i];
        const QByteArray value = argv[++i];
        if (arg == "--captures") {
            counts.clear();
            for (const QByteArray &count : value.split(','))
                counts.append(count.toInt());
        } else if (arg == "--size") {
            const QList<QByteArray> sides = value.split('x');
            size = QSize(sides.value(0).toInt(), sides.value(1).toInt());
        } else if (arg == "--records") {
            records = value.toInt();
        } else if (arg == "--filings") {
            filings = value.toInt();
        }
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir temp;
    bench::isolateProfile(temp.filePath(QStringLiteral("profile")));
    TimedApplication app(argc, argv);

    if (records > 0)
        filingCost(temp.filePath(QStringLiteral("filing")), records, filings);
    for (int count : counts) {
        if (count <= 0)
            continue;
        const QString root = temp.filePath(QStringLiteral("burst%1").arg(count));
        QDir().mkpath(root);
        bench::isolateProfile(root + QStringLiteral("/profile"));
        burst(root, count, size);
    }
    return 0;
}
