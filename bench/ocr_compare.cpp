// Compares Marlox's recognition (a warm OCREngine) with the tesseract command
// line on a corpus of generated screenshots: 1440x900 at 1x, 2880x1800 and
// 5120x2880 at 2x, light and dark, PNG and JPEG. Reports CPU and wall seconds
// per image, word recall and character error rate against the drawn text, per
// size, theme and format and over the corpus; the throughput of several
// captures recognised at once on the global thread pool, as the app runs them;
// and, with --variants, what other Tesseract settings would change.
//
//   bench_ocr_compare [--sizes 1440x900,2880x1800,5120x2880] [--themes light,dark]
//                     [--formats png,jpg] [--layouts 3] [--hard 1] [--throughput 6]
//                     [--variants] [-o DIR] [-v]
//   bench_ocr_compare --file IMAGE[,IMAGE...]
//
// --layouts N: layouts per size and theme (document, list, code; fewer rotate).
// --hard 0: leave out the hard cases (pale and coloured text, tiny type, a
// lone line on an empty screen) otherwise drawn once per size and theme.
// Lines starting with RESULT are the figures scripts/bench tables.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>

#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QMap>
#include <QProcess>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThreadPool>

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include "filing/ocrengine.h"
#include "screencorpus.h"

using namespace marlox;
using namespace marlox::bench;

namespace {

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double rusageSeconds(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Timing
{
    double cpu = 0;
    double wall = 0;
};

struct Tally
{
    int images = 0;
    double cpu = 0;
    double wall = 0;
    Score score;

    void add(const Timing &timing, const Score &s)
    {
        ++images;
        cpu += timing.cpu;
        wall += timing.wall;
        score.add(s);
    }
    double meanCpu() const { return images ? cpu / images : 0; }
    double meanWall() const { return images ? wall / images : 0; }
};

struct Image
{
    Scene scene;
    QString format;
    QString file;
    QString name() const
    {
        return QStringLiteral("%1 %2 %3 %4")
            .arg(scene.layout, scene.sizeName(),
                scene.dark ? QStringLiteral("dark") : QStringLiteral("light"), format);
    }
};

QString cell(const Tally &t)
{
    return QStringLiteral("%1 s (%2 s) %3% %4%")
        .arg(t.meanCpu(), 5, 'f', 2)
        .arg(t.meanWall(), 5, 'f', 2)
        .arg(t.score.recall() * 100, 5, 'f', 1)
        .arg(t.score.cer() * 100, 5, 'f', 1);
}

QString recognizeWithCli(const QString &file, Timing &timing)
{
    QProcess process;
    const double cpu = rusageSeconds(RUSAGE_CHILDREN);
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("tesseract"),
        { file, QStringLiteral("stdout"), QStringLiteral("--oem"), QStringLiteral("1"),
            QStringLiteral("-l"), QStringLiteral("eng") });
    process.waitForFinished(600000);
    timing.wall = double(timer.nsecsElapsed()) / 1e9;
    timing.cpu = rusageSeconds(RUSAGE_CHILDREN) - cpu;
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Settings OCREngine could use instead of its own, tried through the same API.
struct Variant
{
    QString name;
    std::function<bool(const Scene &)> applies;
    double scale = 1.0;
    bool invert = true;
    tesseract::PageSegMode mode = tesseract::PSM_AUTO;
    bool localContrast = false;
};

// Each pixel's distance from its neighbourhood's mean, as dark on white: text
// comes out dark whether it was dark on light, light on dark, or white on a
// coloured button or selection, so no page-wide inversion is needed.
QImage localContrast(const QImage &gray)
{
    const int w = gray.width();
    const int h = gray.height();
    const int r = std::max(8, w / 180);
    auto boxMean = [](const uchar *in, uchar *out, int n, int stride, int radius) {
        int sum = 0;
        int count = 0;
        for (int i = 0; i < std::min(n, radius + 1); ++i, ++count)
            sum += in[i * stride];
        for (int i = 0; i < n; ++i) {
            out[i * stride] = uchar(sum / count);
            const int add = i + radius + 1;
            const int drop = i - radius;
            if (add < n) {
                sum += in[add * stride];
                ++count;
            }
            if (drop >= 0) {
                sum -= in[drop * stride];
                --count;
            }
        }
    };
    QImage rows(w, h, QImage::Format_Grayscale8);
    QImage mean(w, h, QImage::Format_Grayscale8);
    for (int y = 0; y < h; ++y)
        boxMean(gray.constScanLine(y), rows.scanLine(y), w, 1, r);
    const int stride = int(rows.bytesPerLine());
    for (int x = 0; x < w; ++x)
        boxMean(rows.constBits() + x, mean.bits() + x, h, stride, r);
    QImage result(w, h, QImage::Format_Grayscale8);
    for (int y = 0; y < h; ++y) {
        const uchar *g = gray.constScanLine(y);
        const uchar *m = mean.constScanLine(y);
        uchar *o = result.scanLine(y);
        for (int x = 0; x < w; ++x)
            o[x] = uchar(255 - std::min(255, 2 * std::abs(int(g[x]) - int(m[x]))));
    }
    return result;
}

QString recognizeWithVariant(tesseract::TessBaseAPI &api, const QImage &image, const Variant &v)
{
    QImage gray = v.invert && !v.localContrast ? OCREngine::preparedImage(image)
                                               : image.convertToFormat(QImage::Format_Grayscale8);
    if (v.localContrast)
        gray = localContrast(gray);
    if (v.scale != 1.0) {
        gray = gray.scaled(qRound(gray.width() * v.scale), qRound(gray.height() * v.scale),
            Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    api.SetPageSegMode(v.mode);
    api.SetImage(gray.constBits(), gray.width(), gray.height(), 1, int(gray.bytesPerLine()));
    api.SetSourceResolution(96);
    QStringList lines;
    if (api.Recognize(nullptr) == 0) {
        std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
        if (it && !it->Empty(tesseract::RIL_TEXTLINE)) {
            do {
                const std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
                if (text)
                    lines << QString::fromUtf8(text.get()).trimmed();
            } while (it->Next(tesseract::RIL_TEXTLINE));
        }
    }
    api.Clear();
    return lines.join(QLatin1Char('\n'));
}

// Recognises `images` on the global pool with `workers` threads, as the app
// does for captures arriving together. Runs the batch once to give each thread
// its engine, then times a second batch.
void measureThroughput(OCREngine &engine, const QList<QImage> &images, int workers,
    QTextStream &out, double &rate, double &cores)
{
    QThreadPool *pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(workers);
    // waitForDone would end the threads and their engines with them.
    std::atomic<int> running { 0 };
    std::atomic<int> mostAtOnce { 0 };
    auto batch = [&] {
        QSemaphore done;
        for (const QImage &image : images) {
            pool->start([&, image] {
                const int now = ++running;
                int seen = mostAtOnce;
                while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) { }
                engine.recognizeText(image);
                --running;
                done.release();
            });
        }
        done.acquire(int(images.size()));
    };
    batch();
    const double cpu = rusageSeconds(RUSAGE_SELF);
    QElapsedTimer timer;
    timer.start();
    batch();
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    rate = images.size() / wall;
    cores = (rusageSeconds(RUSAGE_SELF) - cpu) / wall;
    out << QStringLiteral("  %1 worker(s): %2 images in %3 s = %4 images/s, %5 cores busy, "
                          "at most %6 recognising at once\n")
               .arg(workers)
               .arg(images.size())
               .arg(wall, 0, 'f', 2)
               .arg(rate, 0, 'f', 3)
               .arg(cores, 0, 'f', 2)
               .arg(mostAtOnce.load());
    out.flush();
}

void result(QTextStream &out, const QString &figure, double ours, double baseline,
    const QString &tool, int precision = 2)
{
    out << "RESULT\t" << figure << '\t' << QString::number(ours, 'f', precision) << '\t'
        << QString::number(baseline, 'f', precision) << '\t' << tool << '\n';
}

} // namespace

int main(int argc, char **argv)
{
    // OpenMP reads the limit only when it loads: re-run once with it set.
    if (!qEnvironmentVariableIsSet("OMP_THREAD_LIMIT")) {
        setenv("OMP_THREAD_LIMIT", "1", 1);
        execv("/proc/self/exe", argv);
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    QTextStream out(stdout);

    const QStringList args = app.arguments();
    auto option = [&](const QString &name, const QString &fallback) {
        const qsizetype at = args.indexOf(name);
        return at > 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
    };
    // --file A[,B...]: print what the engine reads from each image and the
    // CPU seconds it took (the engine warmed up first), and stop.
    const QString files = option(QStringLiteral("--file"), QString());
    if (!files.isEmpty()) {
        OCREngine engine;
        engine.recognizeText(QImage(64, 64, QImage::Format_RGB32));
        double total = 0;
        for (const QString &file : files.split(QLatin1Char(','))) {
            const QImage image(file);
            const double cpu = threadCpuSeconds();
            const QString text = engine.recognizeText(image);
            const double spent = threadCpuSeconds() - cpu;
            total += spent;
            out << file << QStringLiteral(": %1 s\n").arg(spent, 0, 'f', 3) << text << "\n\n";
        }
        out << QStringLiteral("CPU s in all: %1\n").arg(total, 0, 'f', 3);
        return 0;
    }
    QList<QSize> sizes;
    for (const QString &size :
        option(QStringLiteral("--sizes"), QStringLiteral("1440x900,2880x1800,5120x2880"))
            .split(QLatin1Char(','))) {
        const QStringList wh = size.split(QLatin1Char('x'));
        sizes << QSize(wh.value(0).toInt(), wh.value(1).toInt());
    }
    const QStringList themes
        = option(QStringLiteral("--themes"), QStringLiteral("light,dark")).split(QLatin1Char(','));
    const QStringList formats
        = option(QStringLiteral("--formats"), QStringLiteral("png,jpg")).split(QLatin1Char(','));
    const int layoutsPerCell
        = std::clamp(option(QStringLiteral("--layouts"), QStringLiteral("3")).toInt(), 1, 3);
    const int throughputCount = option(QStringLiteral("--throughput"), QStringLiteral("6")).toInt();
    const bool hardCases
        = option(QStringLiteral("--hard"), QStringLiteral("1")) != QLatin1String("0");
    const bool variants = args.contains(QStringLiteral("--variants"));
    // --variant-only NAME: just that one of the variants.
    const QString onlyVariant = option(QStringLiteral("--variant-only"), QString());
    const bool verbose = args.contains(QStringLiteral("-v"));
    QTemporaryDir temporary;
    const QString keep = option(QStringLiteral("-o"), QString());
    const QDir dir(keep.isEmpty() ? temporary.path() : keep);
    QDir().mkpath(dir.path());

    // The corpus: each size and theme gets its layouts, each saved in every format.
    QList<Image> images;
    int cellIndex = 0;
    for (const QSize &size : sizes) {
        for (const QString &theme : themes) {
            QStringList layouts;
            for (int k = 0; k < layoutsPerCell; ++k)
                layouts << layoutNames().at((cellIndex + k) % 3);
            if (hardCases)
                layouts << hardLayoutNames();
            for (int k = 0; k < layouts.size(); ++k) {
                const QString &layout = layouts.at(k);
                const quint32 seed = quint32(cellIndex * 7 + k + 1);
                const Scene scene
                    = drawAnyScene(layout, size, theme == QLatin1String("dark"), seed);
                for (const QString &format : formats) {
                    Image image { scene, format, {} };
                    image.file = dir.filePath(
                        QString(image.name()).replace(QLatin1Char(' '), QLatin1Char('_'))
                        + QLatin1Char('.') + format);
                    scene.image.save(image.file, nullptr, format == QLatin1String("jpg") ? 85 : -1);
                    images << image;
                }
            }
            ++cellIndex;
        }
    }

    OCREngine engine;
    QElapsedTimer timer;
    timer.start();
    engine.recognizeText(QImage(64, 64, QImage::Format_RGB32));
    out << QStringLiteral("engine initialisation (once per thread): %1 s\n")
               .arg(timer.nsecsElapsed() / 1e9, 0, 'f', 3);
    out << QStringLiteral("%1 images; per image: CPU s (wall s), word recall, character error "
                          "rate\n\n")
               .arg(images.size());
    out << QStringLiteral("%1 | %2 | %3\n")
               .arg(QStringLiteral("image"), -36)
               .arg(QStringLiteral("Marlox"), -30)
               .arg(QStringLiteral("tesseract CLI"));

    QMap<QString, std::pair<Tally, Tally>> groups;
    std::pair<Tally, Tally> overall;
    QList<std::pair<Image, std::pair<Timing, Score>>> engineResults;
    for (const Image &image : images) {
        // Each side starts from the file, as the command line does.
        Timing ours;
        timer.restart();
        double cpu = threadCpuSeconds();
        const QString oursText = engine.recognizeText(QImage(image.file));
        ours.cpu = threadCpuSeconds() - cpu;
        ours.wall = double(timer.nsecsElapsed()) / 1e9;
        Timing cli;
        const QString cliText = recognizeWithCli(image.file, cli);
        if (!keep.isEmpty()) {
            for (const auto &[suffix, text] :
                { std::pair { ".marlox.txt", oursText }, std::pair { ".cli.txt", cliText } }) {
                QFile file(image.file + QLatin1String(suffix));
                if (file.open(QIODevice::WriteOnly))
                    file.write(text.toUtf8());
            }
        }
        const Score oursScore = score(image.scene.texts, oursText);
        const Score cliScore = score(image.scene.texts, cliText);
        engineResults.append({ image, { ours, oursScore } });
        Tally one;
        Tally other;
        one.add(ours, oursScore);
        other.add(cli, cliScore);
        out << image.name().leftJustified(36) << " | " << cell(one).leftJustified(30) << " | "
            << cell(other) << "\n";
        if (verbose) {
            out << "    Marlox missed: " << oursScore.missed.join(QLatin1Char(' ')) << "\n";
            out << "    CLI missed: " << cliScore.missed.join(QLatin1Char(' ')) << "\n";
        }
        out.flush();
        const QString theme = image.scene.dark ? QStringLiteral("dark") : QStringLiteral("light");
        for (const QString &key : { QStringLiteral("size ") + image.scene.sizeName(),
                 QStringLiteral("theme ") + theme, QStringLiteral("format ") + image.format,
                 QStringLiteral("layout ") + image.scene.layout }) {
            groups[key].first.add(ours, oursScore);
            groups[key].second.add(cli, cliScore);
        }
        overall.first.add(ours, oursScore);
        overall.second.add(cli, cliScore);
    }

    out << "\n";
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        out << QStringLiteral("%1 (%2)").arg(it.key()).arg(it->first.images).leftJustified(36)
            << " | " << cell(it->first).leftJustified(30) << " | " << cell(it->second) << "\n";
    }
    out << QString(QStringLiteral("overall (%1)").arg(overall.first.images)).leftJustified(36)
        << " | " << cell(overall.first).leftJustified(30) << " | " << cell(overall.second)
        << "\n\n";

    // Word recall by kind of text, over the corpus and at 1x only.
    Score oursAt1x;
    Score cliAt1x;
    for (const auto &[image, ours] : engineResults) {
        if (image.scene.scale == 1)
            oursAt1x.add(ours.second);
    }
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        if (it.key() == QLatin1String("size 1440x900"))
            cliAt1x = it->second.score;
    }
    out << "word recall by kind of text: Marlox / CLI, all sizes; at 1x\n";
    for (int k = 0; k < textKindCount; ++k) {
        auto share = [k](const Score &s) {
            return s.words[k]
                ? QStringLiteral("%1%").arg(100.0 * s.found[k] / s.words[k], 5, 'f', 1)
                : QStringLiteral("    -");
        };
        out << QStringLiteral("  %1 %2 / %3;  %4 / %5  (%6 words, %7 at 1x)\n")
                   .arg(QString::fromLatin1(textKindName(TextKind(k))), -22)
                   .arg(share(overall.first.score), share(overall.second.score), share(oursAt1x),
                       share(cliAt1x))
                   .arg(overall.first.score.words[k])
                   .arg(oursAt1x.words[k]);
    }
    out.flush();

    const QString cliTool = QStringLiteral("tesseract IMAGE stdout --oem 1 -l eng");
    result(out,
        QStringLiteral("recognition, CPU s per image (%1 images)").arg(overall.first.images),
        overall.first.meanCpu(), overall.second.meanCpu(), cliTool);
    result(out, QStringLiteral("recognition, wall s per image"), overall.first.meanWall(),
        overall.second.meanWall(), cliTool);
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        if (it.key().startsWith(QLatin1String("size "))) {
            result(out, QStringLiteral("recognition, CPU s per image at %1").arg(it.key().mid(5)),
                it->first.meanCpu(), it->second.meanCpu(), cliTool);
        }
    }
    result(out, QStringLiteral("recognition, word recall (%)"), overall.first.score.recall() * 100,
        overall.second.score.recall() * 100, cliTool, 1);
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        if (it.key().startsWith(QLatin1String("size "))
            || it.key() == QLatin1String("theme dark")) {
            result(out,
                QStringLiteral("recognition, word recall at %1 (%)")
                    .arg(it.key().mid(it.key().indexOf(QLatin1Char(' ')) + 1)),
                it->first.score.recall() * 100, it->second.score.recall() * 100, cliTool, 1);
        }
    }
    const auto smallUi = [](const Score &s) {
        const int words = s.words[int(TextKind::ui)] + s.words[int(TextKind::small)];
        return words ? 100.0 * (s.found[int(TextKind::ui)] + s.found[int(TextKind::small)]) / words
                     : 0.0;
    };
    if (oursAt1x.wordTotal()) {
        result(out, QStringLiteral("recognition, word recall of 1x UI and small text (%)"),
            smallUi(oursAt1x), smallUi(cliAt1x), cliTool, 1);
    }
    const auto kinds = [](const Score &s, const QList<TextKind> &which) {
        int found = 0;
        int words = 0;
        for (const TextKind kind : which) {
            found += s.found[int(kind)];
            words += s.words[int(kind)];
        }
        return words ? 100.0 * found / words : 0.0;
    };
    const QList<std::pair<QString, QList<TextKind>>> hardFigures = {
        { QStringLiteral("small and tiny text"), { TextKind::small, TextKind::tiny } },
        { QStringLiteral("low-contrast text"), { TextKind::lowContrast } },
        { QStringLiteral("coloured text on bars"), { TextKind::bars } },
        { QStringLiteral("a lone tiny line or short title"), { TextKind::lone } },
    };
    for (const auto &[name, which] : hardFigures) {
        if (kinds(overall.first.score, which) > 0 || kinds(overall.second.score, which) > 0) {
            result(out, QStringLiteral("recognition, word recall of %1 (%)").arg(name),
                kinds(overall.first.score, which), kinds(overall.second.score, which), cliTool, 1);
        }
    }
    result(out, QStringLiteral("recognition, word recall without editor line numbers (%)"),
        overall.first.score.recallWithout(TextKind::lineNumbers) * 100,
        overall.second.score.recallWithout(TextKind::lineNumbers) * 100, cliTool, 1);
    result(out, QStringLiteral("recognition, character error rate (%)"),
        overall.first.score.cer() * 100, overall.second.score.cer() * 100, cliTool, 1);
    out.flush();

    // Several captures at once, on the global pool as the capture pipeline runs them.
    if (throughputCount > 0) {
        QList<QImage> batch;
        for (const Image &image : images) {
            if (image.scene.image.width() == 2880 && image.format == formats.first())
                batch << image.scene.image;
        }
        if (batch.isEmpty())
            batch << images.first().scene.image;
        QList<QImage> work;
        for (int i = 0; i < throughputCount; ++i)
            work << batch.at(i % batch.size());
        out << QStringLiteral("\n%1 captures of %2 recognised at once on the global thread pool:\n")
                   .arg(work.size())
                   .arg(QStringLiteral("%1x%2")
                            .arg(work.first().width())
                            .arg(work.first().height()));
        double oneRate = 0, oneCores = 0, twoRate = 0, twoCores = 0;
        measureThroughput(engine, work, 1, out, oneRate, oneCores);
        measureThroughput(engine, work, 2, out, twoRate, twoCores);
        QThreadPool::globalInstance()->setMaxThreadCount(QThread::idealThreadCount());
        result(out,
            QStringLiteral("recognition throughput, %1 captures, 2 workers (images/s)")
                .arg(work.size()),
            twoRate, oneRate, QStringLiteral("same with 1 worker"), 3);
        result(out, QStringLiteral("recognition, cores busy with 2 workers"), twoCores, oneCores,
            QStringLiteral("same with 1 worker"));
    }

    if (variants || !onlyVariant.isEmpty()) {
        // Settings the engine could use, on the same PNG images, against the engine as it is.
        const QList<Variant> tried = {
            { QStringLiteral("no dark inversion"), [](const Scene &s) { return s.dark; }, 1.0,
                false },
            { QStringLiteral("local contrast, no inversion"), [](const Scene &) { return true; },
                1.0, false, tesseract::PSM_AUTO, true },
            { QStringLiteral("1x upscaled x2"), [](const Scene &s) { return s.scale == 1; }, 2.0 },
            { QStringLiteral("1x upscaled x1.5"), [](const Scene &s) { return s.scale == 1; },
                1.5 },
            { QStringLiteral("1x, sparse text (PSM 11)"),
                [](const Scene &s) { return s.scale == 1; }, 1.0, true,
                tesseract::PSM_SPARSE_TEXT },
            { QStringLiteral("2x downscaled x0.75"), [](const Scene &s) { return s.scale == 2; },
                0.75 },
            { QStringLiteral("2x downscaled x0.5"), [](const Scene &s) { return s.scale == 2; },
                0.5 },
        };
        tesseract::TessBaseAPI api;
        api.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY);
        out << "\nOther settings on the same images (PNG only): engine as it is -> variant\n";
        out << QStringLiteral("%1 | %2 | %3 | %4\n")
                   .arg(QStringLiteral("variant"), -28)
                   .arg(QStringLiteral("image"), -30)
                   .arg(QStringLiteral("engine: CPU s, recall, CER"), -30)
                   .arg(QStringLiteral("variant"));
        for (const Variant &variant : tried) {
            if (!onlyVariant.isEmpty() && !variant.name.startsWith(onlyVariant))
                continue;
            Tally before;
            Tally after;
            for (const auto &[image, ours] : engineResults) {
                if (image.format != QLatin1String("png") || !variant.applies(image.scene))
                    continue;
                const QImage decoded(image.file);
                Timing timing;
                timer.restart();
                const double cpu = threadCpuSeconds();
                const QString text = recognizeWithVariant(api, decoded, variant);
                timing.cpu = threadCpuSeconds() - cpu;
                timing.wall = double(timer.nsecsElapsed()) / 1e9;
                const Score s = score(image.scene.texts, text);
                Tally one;
                Tally two;
                one.add(ours.first, ours.second);
                two.add(timing, s);
                out << variant.name.leftJustified(28) << " | " << image.name().leftJustified(30)
                    << " | " << cell(one).leftJustified(30) << " | " << cell(two) << "\n";
                out.flush();
                before.add(ours.first, ours.second);
                after.add(timing, s);
            }
            if (before.images) {
                out << variant.name.leftJustified(28) << " | "
                    << QStringLiteral("mean of %1").arg(before.images).leftJustified(30) << " | "
                    << cell(before).leftJustified(30) << " | " << cell(after) << "\n";
            }
        }
        api.End();
    }
    return 0;
}
