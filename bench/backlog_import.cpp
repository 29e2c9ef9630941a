// Adding the screenshots already in the screenshot folder to the Inbox, with
// the library window open: how fast rows go in until every file is
// searchable by its title (against reading and hashing the same files alone),
// how fast the import's one low-priority thread reads their text (against
// recognising the same kind of file directly on one thread), and how long
// the GUI thread goes without turning its event loop meanwhile.
//
//   bench_backlog_import [--files 2000] [--size 1440x900] [--text-seconds 60]
//
// Lines starting with RESULT are the figures scripts/bench tables.
#include <cstdio>

#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QWindow>

#include "app/appstate.h"
#include "app/backlogimport.h"
#include "app/recognitionpass.h"
#include "filing/contenthash.h"
#include "filing/ocrengine.h"
#include "guiclock.h"
#include "library/librarywindow.h"
#include "libraryfixture.h"
#include "shell/widgetdialogs.h"
#include "storage/bookmarkstore.h"
#include "storage/preferences.h"

using namespace marlox;
using namespace marlox::bench;

namespace {

// Drawn on every core at once: the folder is the fixture, not the measure.
QStringList writeShots(const QString &folder, int count, QSize size)
{
    QStringList paths;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QThreadPool pool;
    for (int i = 0; i < count; ++i) {
        const QString path
            = folder + QStringLiteral("/Screenshot %1.png").arg(i, 5, 10, QLatin1Char('0'));
        paths.append(path);
        pool.start([i, path, size, now] {
            QRandomGenerator random(quint32(i) + 7);
            drawScreenshot(i, QStringLiteral("Window %1").arg(i), randomLines(random, 14, 6), size)
                .save(path);
            QFile file(path);
            // Ten minutes apart, so every default title is its own.
            if (file.open(QIODevice::ReadWrite))
                file.setFileTime(QDateTime::fromSecsSinceEpoch(now - 600 * qint64(i + 1)),
                    QFile::FileModificationTime);
        });
    }
    pool.waitForDone();
    return paths;
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("OMP_THREAD_LIMIT")) {
        setenv("OMP_THREAD_LIMIT", "1", 1);
        execv("/proc/self/exe", argv);
    }
    int files = 2000;
    QSize size(1440, 900);
    int textSeconds = 60;
    for (int i = 1; i + 1 < argc; ++i) {
        const QByteArray arg = argv[i];
        const QByteArray value = argv[++i];
        if (arg == "--files") {
            files = value.toInt();
        } else if (arg == "--size") {
            const QList<QByteArray> sides = value.split('x');
            size = QSize(sides.value(0).toInt(), sides.value(1).toInt());
        } else if (arg == "--text-seconds") {
            textSeconds = value.toInt();
        }
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir temp;
    isolateProfile(temp.filePath(QStringLiteral("profile")));
    TimedApplication app(argc, argv);
    const QString shots = temp.filePath(QStringLiteral("Screenshots"));
    QDir().mkpath(shots);
    QElapsedTimer timer;
    timer.start();
    const QStringList paths = writeShots(shots, files, size);
    std::printf("wrote %d screenshots of %dx%d in %.1f s\n", files, size.width(), size.height(),
        ms(timer) / 1000);

    // Baselines on the same files: reading and hashing every one alone, and
    // recognising a few directly on this one thread.
    timer.restart();
    for (const QString &path : paths)
        ContentHash::ofFile(path);
    const double hashRate = files / (ms(timer) / 1000);
    OCREngine ocr;
    const int sample = std::min(4, files);
    timer.restart();
    for (int i = 0; i < sample; ++i)
        ocr.recognize(RecognitionPass::decodeImage(paths.at(i * (files / sample))));
    const double directTextRate = sample / (ms(timer) / 1000);
    std::printf("baselines: read and hash %.0f files/s; recognition on one thread %.3f "
                "images/s\n",
        hashRate, directTextRate);

    BookmarkStore().save(shots, Preferences::screenshotFolderBookmark);
    AppStateDependencies deps;
    deps.dialogs = std::make_shared<WidgetDialogs>();
    deps.databasePath = temp.filePath(QStringLiteral("library.sqlite3"));
    deps.installSystemObservers = false;
    AppState state(deps);
    auto window = openWindow(state);
    BacklogImport &backlog = state.backlogImport();
    backlog.refreshCount();
    spinUntil([&] { return backlog.waitingCount().has_value(); }, 60000);
    spinFor(1500); // the watcher's baseline, the first list

    GapMeter gaps(window.get());
    timedApp()->threshold = 40;
    timedApp()->recording = true;
    gaps.start();
    timer.restart();
    backlog.start();
    QElapsedTimer firstRows;
    firstRows.start();
    spinUntil([&] { return backlog.progress().added > 0; }, 600000);
    const double firstMs = ms(firstRows);
    spinUntil(
        [&] { return backlog.progress().phase != BacklogImport::Phase::adding; }, files * 1000);
    const double addSeconds = ms(timer) / 1000;
    const qsizetype added = backlog.progress().added;
    const double rowRate = added / addSeconds;
    // Not the import's: the check below runs on the GUI thread.
    gaps.stop();
    timedApp()->recording = false;

    // Every row is there and found by its title.
    int found = 0;
    for (const QString &path : paths) {
        const auto id = state.database().idForPath(path);
        const auto record = id ? state.database().record(*id) : std::nullopt;
        if (!record)
            continue;
        for (const SearchResult &hit :
            state.database().search(record->title, LibrarySection::inbox(), 5)) {
            if (hit.id() == *id) {
                ++found;
                break;
            }
        }
    }
    std::printf("added %lld rows in %.1f s (%.0f rows/s), first rows after %.0f ms; %d of %d "
                "found by their title\n",
        qlonglong(added), addSeconds, rowRate, firstMs, found, files);

    gaps.start();
    timedApp()->recording = true;
    QElapsedTimer reading;
    reading.start();
    const qsizetype textAtStart = backlog.progress().done;
    spinUntil([&] { return !backlog.isRunning(); }, textSeconds * 1000);
    const double readSeconds = ms(reading) / 1000;
    const qsizetype texts = backlog.progress().done - textAtStart;
    const double textRate = texts / readSeconds;
    std::printf("read the text of %lld screenshots in %.1f s (%.3f images/s) on the import's "
                "one thread\n",
        qlonglong(texts), readSeconds, textRate);
    backlog.cancel();
    gaps.stop();
    timedApp()->recording = false;
    std::printf("GUI thread: %zu timer turns, worst gap %.0f ms, %.0f ms in gaps over 50 ms\n",
        gaps.gaps.size(), gaps.worst(), gaps.totalOver(50));
    timedApp()->printSlowest(8);

    const QString what = QStringLiteral("earlier screenshots, %1 at %2x%3")
                             .arg(files)
                             .arg(size.width())
                             .arg(size.height());
    std::printf("RESULT\t%s: rows until all searchable by title (rows/s)\t%.0f\t%.0f\treading and "
                "hashing the same files alone (files/s)\n",
        qPrintable(what), rowRate, hashRate);
    std::printf("RESULT\t%s: text read on the import's one thread (images/s)\t%.3f\t%.3f\t"
                "recognising the same files directly on one thread\n",
        qPrintable(what), textRate, directTextRate);
    std::printf("RESULT\t%s: worst GUI stall, library window open (ms)\t%.0f\t-\t-\n",
        qPrintable(what), gaps.worst());
    std::fflush(stdout);
    window.reset();
    return 0;
}
