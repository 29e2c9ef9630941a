// Compares Marlox's recognition with the tesseract command line on generated
// 2880x1800 screenshots: wall time per image and word recall against the
// words drawn. Run from the build directory: bench/bench_ocr_compare
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>
#include <memory>
#include <unistd.h>

#include <tesseract/baseapi.h>

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>

#include "app/appstate.h"
#include "app/preferences.h"
#include "filing/ocrengine.h"
#include "storage/bookmarkstore.h"

using namespace marlox;

namespace {

const QStringList vocabulary = QStringLiteral(
    "the quarterly report shows revenue growth across every region while support tickets fell "
    "after the new release customers asked for faster exports better search and offline access "
    "meeting notes action items owner deadline budget review design system colour tokens invoice "
    "payment overdue receipt attached shipping address tracking number delivered warehouse "
    "calendar invite tomorrow morning agenda follow up draft proposal contract signature legal "
    "approval pending server deploy pipeline failed retry build cache memory usage latency error "
    "rate dashboard alert threshold weekly summary project roadmap milestone launch marketing")
                                   .split(QLatin1Char(' '));

struct Screen
{
    QString name;
    QImage image;
    QStringList words;
};

QString sentence(QRandomGenerator &random, int words)
{
    QStringList parts;
    for (int i = 0; i < words; ++i)
        parts << vocabulary.at(int(random.bounded(vocabulary.size())));
    parts.first()[0] = parts.first()[0].toUpper();
    return parts.join(QLatin1Char(' '));
}

// A document window at 2x: title bar, sidebar, heading and paragraphs.
Screen documentWindow(const QString &name, bool dark, bool darkSidebar, quint32 seed)
{
    QRandomGenerator random(seed);
    Screen screen { name, QImage(2880, 1800, QImage::Format_RGB32), {} };
    const QColor page = dark ? QColor(30, 30, 30) : QColor(255, 255, 255);
    const QColor ink = dark ? QColor(212, 212, 212) : QColor(29, 29, 31);
    const QColor side = darkSidebar || dark ? QColor(40, 42, 54) : QColor(242, 242, 247);
    const QColor sideInk = darkSidebar || dark ? QColor(200, 200, 210) : QColor(60, 60, 67);
    screen.image.fill(page);
    QPainter p(&screen.image);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.fillRect(0, 0, 2880, 76, dark ? QColor(50, 50, 50) : QColor(230, 230, 230));
    p.fillRect(0, 76, 560, 1724, side);
    QFont ui(QStringLiteral("DejaVu Sans"));
    auto draw = [&](int x, int y, int px, bool bold, const QColor &color, const QString &text) {
        ui.setPixelSize(px);
        ui.setBold(bold);
        p.setFont(ui);
        p.setPen(color);
        p.drawText(x, y, text);
        screen.words << text;
    };
    draw(1200, 50, 26, true, ink, sentence(random, 3));
    for (int i = 0; i < 10; ++i)
        draw(48, 160 + i * 64, 26, false, sideInk, sentence(random, 2));
    draw(640, 200, 44, true, ink, sentence(random, 5));
    for (int i = 0; i < 20; ++i)
        draw(640, 290 + i * 68, 28, false, ink, sentence(random, 11));
    return screen;
}

// A dark code editor: monospace lines with a gutter of line numbers.
Screen codeEditor(quint32 seed)
{
    QRandomGenerator random(seed);
    Screen screen { QStringLiteral("dark code editor"), QImage(2880, 1800, QImage::Format_RGB32),
        {} };
    screen.image.fill(QColor(30, 30, 30));
    QPainter p(&screen.image);
    QFont mono(QStringLiteral("DejaVu Sans Mono"));
    mono.setPixelSize(26);
    p.setFont(mono);
    const QList<QColor> colors = { QColor(156, 220, 254), QColor(206, 145, 120),
        QColor(220, 220, 170), QColor(212, 212, 212) };
    for (int i = 0; i < 38; ++i) {
        p.setPen(QColor(133, 133, 133));
        p.drawText(40, 70 + i * 44, QString::number(i + 1));
        const QString line = sentence(random, 3 + int(random.bounded(6)));
        p.setPen(colors.at(i % colors.size()));
        p.drawText(160 + int(random.bounded(4)) * 52, 70 + i * 44, line);
        screen.words << line;
    }
    return screen;
}

QStringList words(const QString &text)
{
    return text.toLower().split(
        QRegularExpression(QStringLiteral("[^\\p{L}\\p{N}]+")), Qt::SkipEmptyParts);
}

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double childrenCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QStringList g_missing;

// The share of drawn words found in the output, counting repeats.
double recall(const QStringList &drawn, const QString &output)
{
    g_missing.clear();
    QHash<QString, int> available;
    for (const QString &word : words(output))
        ++available[word];
    int found = 0;
    int total = 0;
    for (const QString &word : words(drawn.join(QLatin1Char(' ')))) {
        ++total;
        if (available.value(word) > 0) {
            --available[word];
            ++found;
        } else {
            g_missing << word;
        }
    }
    return total ? double(found) / total : 1.0;
}

// The same API settings as OCREngine (96 dpi), but without the dark-background inversion.
QString recognizeWithoutInversion(tesseract::TessBaseAPI &api, const QImage &image)
{
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    api.SetImage(gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
    api.SetSourceResolution(96);
    std::unique_ptr<char[]> text(api.GetUTF8Text());
    api.Clear();
    return QString::fromUtf8(text.get());
}

class SilentDialogs : public Dialogs
{
public:
    std::optional<QString> chooseFolder(const FolderPanel &) override { return std::nullopt; }
    std::optional<QString> chooseNewFolder(const SavePanel &) override { return std::nullopt; }
    int runAlert(const Alert &) override { return 0; }
};

// Seconds from the stable file being handed to the coordinator to its row
// being filed, with auto-save on: read, recognition, hash, insert and move.
void measurePipeline(const QList<Screen> &screens, int rounds, QTextStream &out)
{
    QTemporaryDir root;
    QDir(root.path()).mkpath(QStringLiteral("Screenshots"));
    QDir(root.path()).mkpath(QStringLiteral("Library"));
    BookmarkStore().save(
        root.filePath(QStringLiteral("Library")), Preferences::libraryRootBookmark);
    Preferences::setValue(Preferences::autoSaveEnabled, true);
    AppStateDependencies deps;
    deps.dialogs = std::make_shared<SilentDialogs>();
    deps.databasePath = root.filePath(QStringLiteral("index.sqlite3"));
    deps.installSystemObservers = false;
    AppState state(deps);

    QList<double> seconds;
    for (int round = 0; round < rounds; ++round) {
        for (const Screen &screen : screens) {
            const QString path
                = root.filePath(QStringLiteral("Screenshots/shot-%1.png").arg(seconds.size()));
            screen.image.save(path);
            QEventLoop loop;
            QObject::connect(&state, &AppState::lastSavedAtChanged, &loop, &QEventLoop::quit);
            QTimer::singleShot(300000, &loop, &QEventLoop::quit);
            QElapsedTimer timer;
            timer.start();
            state.handleDetection({ path, 0 });
            loop.exec();
            seconds << timer.nsecsElapsed() / 1e9;
        }
    }
    QList<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted.size() % 2
        ? sorted.at(sorted.size() / 2)
        : (sorted.at(sorted.size() / 2 - 1) + sorted.at(sorted.size() / 2)) / 2;
    QStringList each;
    for (double s : seconds)
        each << QString::number(s, 'f', 2);
    out << QStringLiteral("\nstable file to filed row, auto-save, %1 captures one after another: "
                          "median %2 s (%3)\n")
               .arg(seconds.size())
               .arg(median, 0, 'f', 2)
               .arg(each.join(QStringLiteral(", ")));
    out << QStringLiteral("filed rows with text: %1\n")
               .arg(state.database()
                        .search(QStringLiteral("the"), LibrarySection::all(), 100)
                        .size());
}

} // namespace

int main(int argc, char **argv)
{
    // OpenMP reads the limit only when it loads: re-run once with it set.
    if (!qEnvironmentVariableIsSet("OMP_THREAD_LIMIT")) {
        setenv("OMP_THREAD_LIMIT", "1", 1);
        execv("/proc/self/exe", argv);
    }
    // A profile of its own: the pipeline run writes preferences.
    char profile[] = "/tmp/marlox-bench-XXXXXX";
    if (!mkdtemp(profile))
        return 1;
    setenv("XDG_CONFIG_HOME", profile, 1);
    setenv("XDG_DATA_HOME", profile, 1);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    QTextStream out(stdout);

    const QList<Screen> screens = {
        documentWindow(QStringLiteral("light document"), false, false, 1),
        documentWindow(QStringLiteral("dark document"), true, true, 2),
        documentWindow(QStringLiteral("light, dark sidebar"), false, true, 3),
        codeEditor(4),
    };
    QTemporaryDir temporary;
    // "-o DIR" keeps the images and every engine's text there.
    const qsizetype keepAt = app.arguments().indexOf(QStringLiteral("-o"));
    const QDir dir(keepAt > 0 ? app.arguments().value(keepAt + 1) : temporary.path());
    OCREngine engine;
    tesseract::TessBaseAPI plain;
    plain.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY);
    plain.SetPageSegMode(tesseract::PSM_AUTO);

    QElapsedTimer timer;
    timer.start();
    engine.recognizeText(QImage(64, 64, QImage::Format_RGB32));
    out << QStringLiteral("engine initialisation (once per thread): %1 s\n\n")
               .arg(timer.nsecsElapsed() / 1e9, 0, 'f', 3);
    const bool verbose = app.arguments().contains(QStringLiteral("-v"));
    out << QStringLiteral("Per image: CPU seconds (wall seconds) and word recall.\n");
    out << QStringLiteral("%1 | %2 | %3 | %4\n")
               .arg(QStringLiteral("screen"), -20)
               .arg(QStringLiteral("Marlox"), -26)
               .arg(QStringLiteral("same API, no inversion"), -26)
               .arg(QStringLiteral("tesseract CLI"), -26);

    struct Total
    {
        double cpu = 0, wall = 0, recall = 0;
    } ours, uninverted, cli;
    auto cell = [](double cpu, double wall, double r) {
        return QStringLiteral("%1 s (%2 s) %3%")
            .arg(cpu, 5, 'f', 2)
            .arg(wall, 5, 'f', 2)
            .arg(r * 100, 5, 'f', 1)
            .leftJustified(26);
    };
    auto report = [&](const char *who, double r) {
        if (verbose && r < 1.0)
            out << "    " << who << " missed: " << g_missing.join(QLatin1Char(' ')) << "\n";
    };
    for (const Screen &screen : screens) {
        const QString file
            = dir.filePath(QString(screen.name).replace(QLatin1Char(' '), QLatin1Char('_'))
                + QStringLiteral(".png"));
        screen.image.save(file);

        // Each side starts from the PNG file, as the command line does.
        timer.restart();
        double cpu = threadCpuSeconds();
        const QString oursText = engine.recognizeText(QImage(file));
        const double oursCpu = threadCpuSeconds() - cpu;
        const double oursWall = timer.nsecsElapsed() / 1e9;

        timer.restart();
        cpu = threadCpuSeconds();
        const QString plainText = recognizeWithoutInversion(plain, QImage(file));
        const double plainCpu = threadCpuSeconds() - cpu;
        const double plainWall = timer.nsecsElapsed() / 1e9;

        QProcess process;
        cpu = childrenCpuSeconds();
        timer.restart();
        process.start(QStringLiteral("tesseract"),
            { file, QStringLiteral("stdout"), QStringLiteral("--oem"), QStringLiteral("1"),
                QStringLiteral("-l"), QStringLiteral("eng") });
        process.waitForFinished(600000);
        const double cliWall = timer.nsecsElapsed() / 1e9;
        const double cliCpu = childrenCpuSeconds() - cpu;
        const QString cliText = QString::fromUtf8(process.readAllStandardOutput());

        if (keepAt > 0) {
            for (const auto &[suffix, text] : { std::pair { "marlox", oursText },
                     std::pair { "plain", plainText }, std::pair { "cli", cliText } }) {
                QFile keep(
                    file + QLatin1Char('.') + QLatin1String(suffix) + QStringLiteral(".txt"));
                if (keep.open(QIODevice::WriteOnly))
                    keep.write(text.toUtf8());
            }
        }
        out << QString(screen.name).leftJustified(20) << " | ";
        const double r1 = recall(screen.words, oursText);
        out << cell(oursCpu, oursWall, r1) << " | ";
        const QStringList missedOurs = g_missing;
        const double r2 = recall(screen.words, plainText);
        out << cell(plainCpu, plainWall, r2) << " | ";
        const QStringList missedPlain = g_missing;
        const double r3 = recall(screen.words, cliText);
        out << cell(cliCpu, cliWall, r3) << "\n";
        g_missing = missedOurs;
        report("Marlox", r1);
        g_missing = missedPlain;
        report("no inversion", r2);
        recall(screen.words, cliText);
        report("CLI", r3);
        out.flush();

        ours = { ours.cpu + oursCpu, ours.wall + oursWall, ours.recall + r1 };
        uninverted
            = { uninverted.cpu + plainCpu, uninverted.wall + plainWall, uninverted.recall + r2 };
        cli = { cli.cpu + cliCpu, cli.wall + cliWall, cli.recall + r3 };
    }
    const double n = screens.size();
    out << QString(QStringLiteral("mean")).leftJustified(20) << " | "
        << cell(ours.cpu / n, ours.wall / n, ours.recall / n) << " | "
        << cell(uninverted.cpu / n, uninverted.wall / n, uninverted.recall / n) << " | "
        << cell(cli.cpu / n, cli.wall / n, cli.recall / n) << "\n";
    plain.End();
    measurePipeline(screens, 2, out);
    QDir(QString::fromLocal8Bit(profile)).removeRecursively();
    return 0;
}
