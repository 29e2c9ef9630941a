// What finding duplicates costs: the perceptual hash of one capture against
// the decode and the SHA-256 the capture path already does, and grouping
// a large index (its read included) against loading the record list from it,
// plus the bucketed grouping alone against comparing every pair.
//
//   bench_duplicates [--records 100000] [--repeats 5]
#include <algorithm>
#include <cstdio>
#include <vector>

#include <QBuffer>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "app/duplicatefinder.h"
#include "benchindex.h"
#include "filing/contenthash.h"
#include "filing/duplicategroups.h"
#include "filing/perceptualhash.h"
#include "storage/screenshotdatabase.h"

using namespace marlox;
using namespace marlox::bench;

namespace {

QImage screen(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(236, 236, 236));
    QPainter painter(&image);
    painter.fillRect(0, 0, size.width() / 5, size.height(), QColor(70, 80, 100));
    QFont font = painter.font();
    font.setPixelSize(size.height() / 60);
    painter.setFont(font);
    for (int y = 40; y < size.height(); y += size.height() / 40)
        painter.drawText(
            size.width() / 4, y, QStringLiteral("Line of text at %1 in a window").arg(y));
    return image;
}

template <typename Work> double medianMs(int repeats, Work work)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(milliseconds(timer));
    }
    return percentile(times, 0.5);
}

// Captures as a library holds them: most unique, some saved twice, some the
// same window again a few bits apart.
QList<DuplicateGroups::Entry> entries(int count)
{
    QRandomGenerator random(11);
    QList<DuplicateGroups::Entry> out;
    out.reserve(count);
    for (int i = 0; i < count; ++i) {
        QByteArray detail(128, '\0');
        random.fillRange(reinterpret_cast<quint32 *>(detail.data()), 32);
        DuplicateGroups::Entry entry { i + 1, QString::number(random.generate64(), 16),
            random.generate64(), detail };
        const int kind = int(random.bounded(100));
        if (kind < 2 && i > 0) {
            const auto &original = out.at(int(random.bounded(i)));
            entry.contentHash = original.contentHash;
            entry.perceptualHash = original.perceptualHash;
            entry.perceptualDetail = original.perceptualDetail;
        } else if (kind < 5 && i > 0) {
            const auto &original = out.at(int(random.bounded(i)));
            quint64 hash = *original.perceptualHash;
            for (int flip = int(random.bounded(4)); flip > 0; --flip)
                hash ^= quint64(1) << random.bounded(64);
            entry.perceptualHash = hash;
            entry.perceptualDetail = original.perceptualDetail;
            for (int flip = int(random.bounded(12)); flip > 0; --flip) {
                const int bit = int(random.bounded(1024));
                entry.perceptualDetail[bit / 8]
                    = char(entry.perceptualDetail[bit / 8] ^ (1 << (bit % 8)));
            }
        }
        out.append(entry);
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({ { QStringLiteral("records"), QStringLiteral("index size"),
                            QStringLiteral("n"), QStringLiteral("100000") },
        { QStringLiteral("repeats"), QStringLiteral("repeats"), QStringLiteral("n"),
            QStringLiteral("5") } });
    parser.process(app);
    const int records = parser.value(QStringLiteral("records")).toInt();
    const int repeats = parser.value(QStringLiteral("repeats")).toInt();

    for (const QSize size : { QSize(1440, 900), QSize(2880, 1800) }) {
        const QImage image = screen(size);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        const double phash = medianMs(repeats * 4, [&] { PerceptualHash::of(image); });
        const double sha = medianMs(repeats * 4, [&] { ContentHash::ofData(png); });
        const double decode = medianMs(repeats, [&] { QImage::fromData(png, "PNG"); });
        std::printf("RESULT\tperceptual hash of a decoded %dx%d capture (ms)\t%.2f\t%.2f\tdecoding "
                    "its PNG, which the capture path does anyway\n",
            size.width(), size.height(), phash, decode);
        std::printf("RESULT\tperceptual hash of a decoded %dx%d capture, against SHA-256 (ms)\t%.2f"
                    "\t%.2f\tSHA-256 of its PNG file (%lld KB)\n",
            size.width(), size.height(), phash, sha, static_cast<long long>(png.size() / 1024));
    }

    const QList<DuplicateGroups::Entry> generated = entries(records);
    const double grouping = medianMs(repeats, [&] { DuplicateGroups::group(generated); });
    // Every pair, timed on a sample and scaled by the square.
    const int sample = std::min(records, 5000);
    const double pairsSample = medianMs(1, [&] {
        int near = 0;
        for (int i = 0; i < sample; ++i)
            for (int j = i + 1; j < sample; ++j)
                near += PerceptualHash::similar(*generated.at(i).perceptualHash,
                    generated.at(i).perceptualDetail, *generated.at(j).perceptualHash,
                    generated.at(j).perceptualDetail);
        std::printf("(%d near pairs in the sample)\n", near);
    });
    const double scale = double(records) / sample;
    std::printf("RESULT\tgrouping %d records, hashes in memory (ms)\t%.0f\t%.0f\tevery pair "
                "compared (%d measured, scaled)\n",
        records, grouping, pairsSample * scale * scale, sample);

    QTemporaryDir dir;
    ScreenshotDatabase database(dir.filePath(QStringLiteral("index.sqlite3")));
    QList<ScreenshotDatabase::NewFile> files;
    for (const auto &entry : generated)
        files.append({ QStringLiteral("/lib/General/%1.png").arg(entry.id),
            QStringLiteral("Shot %1").arg(entry.id), QStringLiteral("General"), 1.7e9 + entry.id,
            entry.contentHash, ScreenshotStatus::filed, 1000 });
    const QList<qint64> ids = database.insertNewFiles(files);
    database.runInTransaction([&] {
        for (qsizetype i = 0; i < ids.size(); ++i)
            database.storePerceptualHash(
                ids.at(i), generated.at(i).perceptualHash, generated.at(i).perceptualDetail);
    });
    DuplicateListing listing;
    const double found
        = medianMs(repeats, [&] { listing = DuplicateFinder::computeListing(database); });
    const double list = medianMs(repeats, [&] { database.allRecordsForList(); });
    std::printf("(%lld identical groups, %lld similar groups)\n",
        static_cast<long long>(listing.identical.size()),
        static_cast<long long>(listing.similar.size()));
    std::printf(
        "RESULT\tfinding duplicates in a %d-record index, off the GUI thread (ms)\t%.0f\t%.0f"
        "\tloading the record list from it\n",
        records, found, list);
    return 0;
}
