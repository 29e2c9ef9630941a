// Times ThumbnailProvider's decode of a 360x200 thumbnail against
// `vipsthumbnail --size 360x200` on the same PNG and JPEG files at three
// screen sizes, and reports each one's peak memory.
//
//   bench_thumbnails [--repeats 5] [--sizes 1440x900,2880x1800,5120x2880]
//   bench_thumbnails --decode-once FILE   (prints this process's peak memory)
#include <cstdio>

#include <sys/resource.h>

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>

#include "benchindex.h"
#include "library/thumbnailprovider.h"

using namespace marlox;
using namespace marlox::bench;

namespace {

long peakKilobytes(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return usage.ru_maxrss;
}

double runVips(const QString &file, const QString &outDir)
{
    QElapsedTimer timer;
    timer.start();
    QProcess vips;
    vips.start(QStringLiteral("vipsthumbnail"),
        { file, QStringLiteral("--size"), QStringLiteral("360x200"), QStringLiteral("-o"),
            outDir + QStringLiteral("/%s.thumb.jpg") });
    if (!vips.waitForFinished(120000) || vips.exitCode() != 0)
        qFatal("vipsthumbnail failed on %s", qPrintable(file));
    return milliseconds(timer);
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("repeats"), QStringLiteral("Runs per file."),
        QStringLiteral("n"), QStringLiteral("5") });
    parser.addOption({ QStringLiteral("sizes"), QStringLiteral("Image sizes."),
        QStringLiteral("list"), QStringLiteral("1440x900,2880x1800,5120x2880") });
    parser.addOption({ QStringLiteral("decode-once"), QStringLiteral("Decode one file."),
        QStringLiteral("file") });
    parser.process(app);

    if (parser.isSet(QStringLiteral("decode-once"))) {
        const QImage image
            = ThumbnailProvider::decode(parser.value(QStringLiteral("decode-once")), 360, 200);
        std::printf(
            "%dx%d peak %ld KB\n", image.width(), image.height(), peakKilobytes(RUSAGE_SELF));
        return image.isNull() ? 1 : 0;
    }
    const int repeats = qMax(1, parser.value(QStringLiteral("repeats")).toInt());

    QTemporaryDir dir;
    QStringList files;
    for (const QString &size : parser.value(QStringLiteral("sizes")).split(QLatin1Char(','))) {
        const QStringList wh = size.split(QLatin1Char('x'));
        QRandomGenerator random(3);
        const QImage image = drawScreenshot(7, QStringLiteral("Quarterly budget review"),
            randomLines(random, 30, 9), QSize(wh[0].toInt(), wh[1].toInt()));
        for (const char *format : { "png", "jpg" }) {
            const QString file = dir.filePath(size + QLatin1Char('.') + QLatin1String(format));
            if (!image.save(file))
                qFatal("cannot write %s", qPrintable(file));
            files.append(file);
        }
    }

    // vipsthumbnail first, alone among the children, so its peak is its own.
    std::vector<std::vector<double>> vipsTimes(files.size());
    for (int r = 0; r < repeats; ++r) {
        for (int i = 0; i < files.size(); ++i)
            vipsTimes[i].push_back(runVips(files[i], dir.path()));
    }
    const long vipsPeak = peakKilobytes(RUSAGE_CHILDREN);

    long oursPeak = 0;
    for (const QString &file : files) {
        QProcess once;
        once.start(
            QCoreApplication::applicationFilePath(), { QStringLiteral("--decode-once"), file });
        once.waitForFinished(120000);
        const QString line = QString::fromUtf8(once.readAllStandardOutput());
        const qsizetype at = line.indexOf(QStringLiteral("peak "));
        if (at >= 0)
            oursPeak = qMax(oursPeak, line.mid(at + 5).section(QLatin1Char(' '), 0, 0).toLong());
    }

    std::printf("file              Marlox ms  vipsthumbnail ms  ratio\n");
    for (int i = 0; i < files.size(); ++i) {
        std::vector<double> ours;
        QImage image;
        for (int r = 0; r < repeats; ++r) {
            QElapsedTimer timer;
            timer.start();
            image = ThumbnailProvider::decode(files[i], 360, 200);
            ours.push_back(milliseconds(timer));
        }
        const QString name = QFileInfo(files[i]).fileName();
        const double a = percentile(ours, 0.5);
        const double b = percentile(vipsTimes[i], 0.5);
        std::printf("%-16s %10.1f %17.1f %6.2f  (%dx%d)\n", qPrintable(name), a, b, a / b,
            image.width(), image.height());
        std::printf(
            "RESULT\tthumbnail 360x200 from %s (ms)\t%.1f\t%.1f\tvipsthumbnail --size 360x200\n",
            qPrintable(name), a, b);
    }
    std::printf("RESULT\tthumbnail peak memory, largest file (MB)\t%.1f\t%.1f\tvipsthumbnail "
                "(whole process)\n",
        oursPeak / 1024.0, vipsPeak / 1024.0);
    return 0;
}
