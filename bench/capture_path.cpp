// The capture path through the coordinator, with the real folder watcher and
// recognition: from the last write of a 2880x1800 screenshot to its stable
// report, to the capture prompt's show call, and (auto-save) to the row filed
// in the library. Medians over N captures written one after another; each
// capture waits for the previous one's recognition so they don't compete.
//
//   bench_capture_path [--runs 20]
//
// Lines starting with RESULT are the figures scripts/bench tables.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>

#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include "../tests/support/fakes.h"
#include "app/appstate.h"
#include "filing/ocrengine.h"
#include "guiclock.h"
#include "libraryfixture.h"
#include "platform/frontmostapp.h"
#include "screencorpus.h"
#include "storage/bookmarkstore.h"
#include "storage/preferences.h"

using namespace marlox;
using Clock = std::chrono::steady_clock;

using marlox::bench::spinUntil;

namespace {

std::atomic_bool g_watching = false;
QtMessageHandler g_previousHandler = nullptr;

// The watcher logs when its baseline is taken; files written before that
// would count as already there.
void noticeWatching(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("Watching ")))
        g_watching = true;
    static const bool verbose = qEnvironmentVariableIsSet("MARLOX_BENCH_VERBOSE");
    if (verbose || type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg)
        g_previousHandler(type, context, message);
}

// The prompt's show call, timed.
class TimedPrompt : public test::RecordingPrompt
{
public:
    std::optional<Clock::time_point> *shownAt = nullptr;
    TimedPrompt **self = nullptr;
    ~TimedPrompt() override
    {
        if (self && *self == this)
            *self = nullptr;
    }
    void show(const CapturePromptContent &content) override
    {
        if (shownAt && !*shownAt)
            *shownAt = Clock::now();
        RecordingPrompt::show(content);
    }
};

// The real engine, counting finished recognitions.
class CountingRecognizer : public TextRecognizer
{
public:
    OCREngine engine;
    std::atomic<int> finished { 0 };
    void setLanguages(const QStringList &languages) override { engine.setLanguages(languages); }
    QString recognizeText(const QImage &image) override
    {
        QString text = engine.recognizeText(image);
        ++finished;
        return text;
    }
};

class NoFrontmost : public FrontmostApplication
{
public:
    std::optional<Info> frontmost() override { return std::nullopt; }
};

double ms(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Writes as a screenshot tool does: straight to the final name, in a few chunks.
Clock::time_point writeCapture(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        qFatal("cannot write %s", qPrintable(path));
    const qsizetype chunk = bytes.size() / 4 + 1;
    for (qsizetype at = 0; at < bytes.size(); at += chunk) {
        file.write(bytes.constData() + at, std::min(chunk, bytes.size() - at));
        if (at + chunk < bytes.size())
            QThread::msleep(10);
    }
    file.close();
    return Clock::now();
}

QByteArray encodedCapture(int seed)
{
    const bench::Scene scene = bench::drawScene(
        bench::layoutNames().at(seed % 3), QSize(2880, 1800), seed % 2 == 1, quint32(100 + seed));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    scene.image.save(&buffer, "PNG");
    return bytes;
}

double cliMilliseconds(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(bytes);
    file.close();
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(QStringLiteral("tesseract"),
        { path, QStringLiteral("stdout"), QStringLiteral("--oem"), QStringLiteral("1"),
            QStringLiteral("-l"), QStringLiteral("eng") });
    process.waitForFinished(600000);
    return double(timer.nsecsElapsed()) / 1e6;
}

void printStage(const char *name, const std::vector<double> &values)
{
    std::printf("  %-40s median %7.1f ms, min %7.1f, max %7.1f\n", name, median(values),
        *std::min_element(values.begin(), values.end()),
        *std::max_element(values.begin(), values.end()));
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("OMP_THREAD_LIMIT")) {
        setenv("OMP_THREAD_LIMIT", "1", 1);
        execv("/proc/self/exe", argv);
    }
    int runs = 20;
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--runs") == 0)
            runs = std::max(1, QByteArray(argv[++i]).toInt());
    }
    QTemporaryDir root;
    bench::isolateProfile(root.filePath(QStringLiteral("profile")));
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    g_previousHandler = qInstallMessageHandler(noticeWatching);

    const QString shots = root.filePath(QStringLiteral("Screenshots"));
    const QString library = root.filePath(QStringLiteral("Library"));
    QDir().mkpath(shots);
    QDir().mkpath(library);
    BookmarkStore().save(shots, Preferences::screenshotFolderBookmark);
    BookmarkStore().save(library, Preferences::libraryRootBookmark);
    Preferences::setValue(Preferences::autoSaveEnabled, false);

    std::printf("encoding %d captures of 2880x1800...\n", 2 * runs);
    std::fflush(stdout);
    QList<QByteArray> captures;
    for (int i = 0; i < 2 * runs; ++i)
        captures << encodedCapture(i);

    std::optional<Clock::time_point> reportedAt;
    std::optional<Clock::time_point> shownAt;
    std::optional<Clock::time_point> filedAt;
    auto recognizer = std::make_shared<CountingRecognizer>();
    AppStateDependencies deps;
    deps.dialogs = std::make_shared<test::ScriptedDialogs>();
    TimedPrompt *prompt = nullptr;
    deps.makeCapturePrompt = [&] {
        auto made = std::make_unique<TimedPrompt>();
        made->shownAt = &shownAt;
        made->self = &prompt;
        prompt = made.get();
        return made;
    };
    deps.undoToast = std::make_shared<test::RecordingToast>();
    deps.ocr = recognizer;
    deps.frontmost = std::make_shared<NoFrontmost>();
    deps.databasePath = root.filePath(QStringLiteral("library.sqlite3"));
    deps.installSystemObservers = false;
    AppState state(deps);
    QObject::connect(&state, &AppState::lastDetectionAtChanged, [&] {
        if (!reportedAt)
            reportedAt = Clock::now();
    });
    QObject::connect(&state, &AppState::lastSavedAtChanged, [&] {
        if (!filedAt)
            filedAt = Clock::now();
    });
    if (!spinUntil([] { return g_watching.load(); }, 30000))
        qFatal("the screenshot folder is not being watched: %s",
            qPrintable(state.watchStatus().message));
    // Give each pool thread its engine before timing anything.
    recognizer->engine.recognizeText(QImage(64, 64, QImage::Format_RGB32));

    // The prompt path: report, then the prompt shown before recognition.
    std::vector<double> toReport;
    std::vector<double> toPrompt;
    std::vector<double> reportToPrompt;
    std::vector<double> toText;
    for (int i = 0; i < runs; ++i) {
        reportedAt.reset();
        shownAt.reset();
        const int before = recognizer->finished;
        const auto lastWrite = writeCapture(
            QDir(shots).filePath(QStringLiteral("prompt-%1.png").arg(i)), captures.at(i));
        if (!spinUntil([&] { return shownAt.has_value() && reportedAt.has_value(); }, 30000))
            qFatal("capture %d was never prompted", i);
        spinUntil([&] { return recognizer->finished > before; }, 300000);
        const auto recognized = Clock::now();
        toReport.push_back(ms(lastWrite, *reportedAt));
        toPrompt.push_back(ms(lastWrite, *shownAt));
        reportToPrompt.push_back(ms(*reportedAt, *shownAt));
        toText.push_back(ms(lastWrite, recognized));
        std::printf("prompt %2d: report %6.1f ms, prompt %6.1f ms, text %7.1f ms\n", i,
            toReport.back(), toPrompt.back(), toText.back());
        std::fflush(stdout);
        // A copy: skipping closes the prompt, which drops its content.
        if (prompt && prompt->visible) {
            const auto skip = prompt->current().onSkip;
            skip(std::nullopt);
        }
        QCoreApplication::processEvents();
    }

    // The auto-save path: recognition and hashing first, then the row filed.
    state.setAutoSaveEnabled(true);
    std::vector<double> autoReport;
    std::vector<double> toFiled;
    std::vector<double> reportToFiled;
    std::vector<double> cli;
    // Outside the watched folder, or the app would file it too.
    const QString sample = root.filePath(QStringLiteral("cli-sample.png"));
    for (int i = 0; i < runs; ++i) {
        reportedAt.reset();
        filedAt.reset();
        const QString path = QDir(shots).filePath(QStringLiteral("auto-%1.png").arg(i));
        const auto lastWrite = writeCapture(path, captures.at(runs + i));
        if (!spinUntil([&] { return filedAt.has_value() && reportedAt.has_value(); }, 300000))
            qFatal("capture %d was never filed", i);
        autoReport.push_back(ms(lastWrite, *reportedAt));
        toFiled.push_back(ms(lastWrite, *filedAt));
        reportToFiled.push_back(ms(*reportedAt, *filedAt));
        // What a script would take after the same two polls: the command line
        // on the same file, run between captures so both see the same load.
        cli.push_back(cliMilliseconds(sample, captures.at(runs + i)));
        std::printf("auto-save %2d: report %6.1f ms, filed %7.1f ms; command line %7.1f ms\n", i,
            autoReport.back(), toFiled.back(), cli.back());
        std::fflush(stdout);
    }
    const QStringList filed
        = QDir(QDir(library).filePath(QStringLiteral("General"))).entryList(QDir::Files);

    // The pipeline decodes each capture on the GUI thread before the prompt.
    std::vector<double> decode;
    for (int i = 0; i < std::min(runs, 5); ++i) {
        QByteArray bytes = captures.at(i);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QElapsedTimer timer;
        timer.start();
        QImageReader reader(&buffer);
        reader.setAutoTransform(true);
        QImage image;
        reader.read(&image);
        decode.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    // One insert into the index with its commit, as indexing a capture does.
    std::vector<double> insert;
    for (int i = 0; i < 10; ++i) {
        QElapsedTimer timer;
        timer.start();
        state.database().insertOrUpdate(QDir(shots).filePath(QStringLiteral("x-%1.png").arg(i)),
            QStringLiteral("Screenshot"), QString(), 1.7e9 + i, QString(), QString(),
            ScreenshotStatus::inbox, 0);
        insert.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    const double floor = 2.0 * std::chrono::milliseconds(150).count();

    std::printf("\n%d captures of 2880x1800 PNG, prompt path:\n", runs);
    printStage("last write to stable report", toReport);
    printStage("stable report to prompt shown", reportToPrompt);
    printStage("last write to prompt shown", toPrompt);
    printStage("last write to text recognised (background)", toText);
    std::printf("%d captures, auto-save path (%lld files now in General):\n", runs,
        static_cast<long long>(filed.size()));
    printStage("last write to stable report", autoReport);
    printStage("stable report to row filed", reportToFiled);
    printStage("last write to row filed", toFiled);
    std::printf("decoding one of these PNG files (QImageReader): median %.1f ms\n", median(decode));
    std::printf("one insert into the index with its commit: median %.1f ms\n", median(insert));
    std::printf("tesseract command line on the same files: median %.0f ms\n", median(cli));

    std::printf("RESULT\tcapture: last write to stable report, median of %d (ms)\t%.1f\t%.0f\t"
                "floor: two 150 ms polls\n",
        runs, median(toReport), floor);
    std::printf("RESULT\tcapture: last write to prompt shown (ms)\t%.1f\t%.0f\t"
                "floor: two 150 ms polls\n",
        median(toPrompt), floor);
    std::printf("RESULT\tcapture: last write to row filed, auto-save (ms)\t%.0f\t%.0f\t"
                "floor + tesseract CLI on the same file\n",
        median(toFiled), floor + median(cli));
    return 0;
}
