// Opens the library window on a generated index and reports how long the
// window takes to show its first thumbnails, and how long each keystroke of a
// search takes to show its results.
//
//   bench_library_open [--records 100000] [--keep DIR]

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QThread>
#include <QWindow>

#include "app/appstate.h"
#include "guiclock.h"
#include "library/librarygridview.h"
#include "library/librarywindow.h"
#include "library/thumbnailprovider.h"
#include "libraryfixture.h"
#include "shell/widgetdialogs.h"
#include "storage/screenshotdatabase.h"

using namespace marlox;

using marlox::bench::spinUntil;

namespace {

double ms(const QElapsedTimer &timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// Milliseconds since this process started (the kernel counts in clock ticks).
double msSinceProcessStart()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // Fields after the command name, which may hold spaces: starttime is the 20th.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    const double startedTicks = fields.value(19).toDouble();
    timespec now {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double nowMs = double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
    return nowMs - startedTicks * 1e3 / double(sysconf(_SC_CLK_TCK));
}

bool visibleThumbnailsReady(LibraryGridView *grid)
{
    const QSize pixels = ThumbnailProvider::pixelSize(LibraryGridView::maxColumnWidth,
        LibraryGridView::thumbnailHeight, grid->viewport()->devicePixelRatioF());
    const QList<int> visible = grid->visibleIndexes();
    if (visible.isEmpty() || grid->pendingThumbnailCount() > 0)
        return false;
    for (int index : visible) {
        const QString &path = grid->displayed()[index].path;
        if (ThumbnailProvider::shared().cachedImage(path, pixels.width(), pixels.height()).isNull())
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int records = 100000;
    QString keep;
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--records") == 0)
            records = QByteArray(argv[++i]).toInt();
        else if (qstrcmp(argv[i], "--keep") == 0)
            keep = QString::fromLocal8Bit(argv[++i]);
    }
    QTemporaryDir temp;
    const QString root = keep.isEmpty() ? temp.path() : keep;
    QDir().mkpath(root);
    bench::isolateProfile(root + QStringLiteral("/profile"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Marlox"));

    // Distinct images, shared by symbolic links so that every record has a file.
    const QString databasePath = root + QStringLiteral("/library.sqlite3");
    if (!QFile::exists(databasePath)) {
        QElapsedTimer generate;
        generate.start();
        const QString images = root + QStringLiteral("/images");
        const QString links = root + QStringLiteral("/links");
        QDir().mkpath(images);
        QDir().mkpath(links);
        constexpr int distinct = 48;
        QRandomGenerator random(7);
        for (int i = 0; i < distinct; ++i) {
            const QSize size = i % 7 == 0 ? QSize(1170, 2532) : QSize(3024, 1964);
            bench::drawScreenshot(
                i, QStringLiteral("Window %1").arg(i), bench::randomLines(random, 14, 6), size)
                .save(images + QStringLiteral("/image%1.png").arg(i));
        }
        {
            ScreenshotDatabase schema(databasePath);
        }
        QList<bench::BulkRow> rows;
        rows.reserve(records);
        const double now = QDateTime::currentSecsSinceEpoch();
        const QStringList folders { "General", "Work", "Receipts", "Travel", "Design" };
        for (int i = 0; i < records; ++i) {
            const QString link
                = links + QStringLiteral("/shot%1.png").arg(i, 6, 10, QLatin1Char('0'));
            QFile::link(images + QStringLiteral("/image%1.png").arg(i % distinct), link);
            bench::BulkRow row;
            row.path = link;
            row.title = bench::randomLines(random, 1, 3).first();
            const bool inbox = i % 10 == 0;
            row.folder = inbox ? QString() : folders[i % folders.size()];
            row.status = inbox ? QStringLiteral("inbox") : QStringLiteral("filed");
            row.createdAt = now - i * 90.0;
            row.ocrText = bench::randomLines(random, 6, 6).join(QLatin1Char('\n'));
            rows.append(row);
        }
        if (!bench::bulkInsert(databasePath, rows)) {
            std::fprintf(stderr, "could not fill the index\n");
            return 1;
        }
        std::printf("generated %d records in %.0f ms\n", records, ms(generate));
    }

    AppStateDependencies deps;
    deps.dialogs = std::make_shared<WidgetDialogs>();
    deps.databasePath = databasePath;
    deps.installSystemObservers = false;
    QElapsedTimer timer;
    timer.start();
    AppState state(std::move(deps));
    std::printf("coordinator start-up with %lld records: %.0f ms\n",
        static_cast<long long>(state.records().size()), ms(timer));
    // Only meaningful when the index already existed (--keep with a made index):
    // otherwise it includes making it. bench_launch_memory times clean launches.
    std::printf("process start to first list: %.0f ms\n", msSinceProcessStart());

    timer.restart();
    auto window = std::make_unique<LibraryWindow>(&state);
    window->resize(1200, 800);
    const double built = ms(timer);
    window->show();
    spinUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); });
    QCoreApplication::processEvents();
    const double shown = ms(timer);
    LibraryGridView *grid = window->grid();
    const bool ready = spinUntil([&] { return visibleThumbnailsReady(grid); });
    grid->viewport()->repaint();
    const double thumbnails = ms(timer);
    std::printf("window built (derived lists for all records): %.0f ms\n", built);
    std::printf("window shown and painted: %.0f ms\n", shown);
    std::printf("first %lld thumbnails shown: %.0f ms%s\n",
        static_cast<long long>(grid->visibleIndexes().size()), thumbnails,
        ready ? "" : " (timed out)");

    // Scrolling to the middle: paint time of the new screenful.
    timer.restart();
    grid->verticalScrollBar()->setValue(grid->verticalScrollBar()->maximum() / 2);
    grid->viewport()->repaint();
    std::printf("scroll to the middle and repaint: %.1f ms\n", ms(timer));
    timer.restart();
    spinUntil([&] { return visibleThumbnailsReady(grid); });
    std::printf(
        "  thumbnails there (48 distinct files, decoded once each at most): %.0f ms\n", ms(timer));

    // Sorting 100,000 titles and switching sections.
    auto *sort = window->findChild<QComboBox *>(QStringLiteral("library.sort"));
    timer.restart();
    sort->setCurrentIndex(2);
    std::printf("sort by Title: %.0f ms\n", ms(timer));
    timer.restart();
    sort->setCurrentIndex(0);
    std::printf("sort by Date (Newest): %.0f ms\n", ms(timer));
    timer.restart();
    window->setSelection(LibrarySection::inbox());
    std::printf("switch to Inbox: %.0f ms\n", ms(timer));
    window->setSelection(LibrarySection::all());

    // Search, one keystroke at a time.
    auto *search = window->findChild<QLineEdit *>(QStringLiteral("library.search"));
    const QString word = QStringLiteral("meeting");
    std::printf("\nkeystroke  blocking(ms)  results shown(ms)  sync searchRecords(ms)  hits\n");
    for (int n = 1; n <= word.size(); ++n) {
        const QString text = word.left(n);
        int applied = 0;
        const auto connection = QObject::connect(
            window.get(), &LibraryWindow::searchApplied, [&applied] { ++applied; });
        timer.restart();
        search->setText(text);
        const double blocking = ms(timer);
        spinUntil([&] { return applied > 0; });
        const double latency = ms(timer);
        QObject::disconnect(connection);
        // What the GUI thread would block for if it searched itself.
        QElapsedTimer direct;
        direct.start();
        const auto hits = state.searchRecords(text, LibrarySection::all());
        const double syncMs = ms(direct);
        std::printf("%-10s %12.1f %18.1f %23.1f %5lld\n", qPrintable(text), blocking, latency,
            syncMs, static_cast<long long>(hits.size()));
    }

    // Typed quickly: every keystroke queued at once; only the last one is used.
    search->clear();
    spinUntil([&] { return !window->searchResults().has_value(); });
    int applied = 0;
    QObject::connect(window.get(), &LibraryWindow::searchApplied, [&applied] { ++applied; });
    const QString fast = QStringLiteral("invoice");
    timer.restart();
    double blockingTotal = 0;
    for (int n = 1; n <= fast.size(); ++n) {
        QElapsedTimer key;
        key.start();
        search->setText(fast.left(n));
        blockingTotal += ms(key);
    }
    spinUntil([&] {
        return window->searchResults().has_value() && applied > 0 && search->text() == fast;
    });
    std::printf("\n7 keystrokes without pause (\"%s\"): %.1f ms blocking in total, final "
                "results after %.0f ms, %lld intermediate results shown\n",
        qPrintable(fast), blockingTotal, ms(timer), static_cast<long long>(applied - 1));
    return 0;
}
