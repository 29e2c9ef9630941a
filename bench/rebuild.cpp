// Times the rebuild of the index from a library tree against `sha256sum` over
// the same files, then text recognition of a sample of them, and the cost of
// committing row by row against batches. The library is a realistic mix:
// files of 12 to 60 KB (about 30 KB on average, like ordinary screenshots)
// in 24 folders; --large uses one big screenshot repeated instead.
//
//   bench_rebuild [--counts 1000,10000] [--ocr-sample 20] [--dir /tmp/x] [--large]
//
// Run it with OMP_THREAD_LIMIT=1 in the environment (as the app does).
#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include "filing/contenthash.h"
#include "filing/libraryfileservice.h"
#include "filing/libraryreconciler.h"
#include "filing/ocrengine.h"

using namespace marlox;

namespace {

QTextStream out(stdout);

// A screenshot-like picture: a window with lines of text, saved as PNG.
QByteArray screenshotBytes()
{
    QImage image(1440, 900, QImage::Format_RGB32);
    image.fill(QColor(246, 246, 246));
    QPainter painter(&image);
    painter.fillRect(0, 0, 1440, 38, QColor(222, 222, 222));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(18);
    painter.setFont(font);
    painter.setPen(Qt::black);
    for (int line = 0; line < 30; ++line) {
        painter.drawText(40, 80 + line * 26,
            QStringLiteral("Line %1: the quarterly report shows revenue of %2 units in region %3")
                .arg(line + 1)
                .arg((line + 7) * 1234)
                .arg(QChar(u'A' + line % 26)));
    }
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// n distinct files (the same picture with a different trailer after its
// end chunk, which decoders ignore) spread over 20 folders.
QStringList makeLibrary(const QString &root, int n, const QByteArray &png)
{
    QStringList paths;
    for (int i = 0; i < n; ++i) {
        const QString folder = QStringLiteral("%1/Folder %2").arg(root).arg(i % 20);
        QDir().mkpath(folder);
        const QString path = QStringLiteral("%1/Shot %2.png").arg(folder).arg(i);
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(png);
        file.write(QByteArray::number(i));
        paths.append(path);
    }
    return paths;
}

// n distinct files of 12 to 60 KB in 24 folders: a PNG signature, then noise
// (hashing and indexing never look inside).
QStringList makeMixedLibrary(const QString &root, int n)
{
    QRandomGenerator random(2024);
    QStringList paths;
    for (int i = 0; i < n; ++i) {
        const QString folder = QStringLiteral("%1/Folder %2").arg(root).arg(i % 24);
        QDir().mkpath(folder);
        const QString path = QStringLiteral("%1/Screenshot %2.png").arg(folder).arg(i);
        QByteArray bytes(12 * 1024 + int(random.bounded(48 * 1024)), Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        bytes.replace(0, 8, QByteArray("\x89PNG\r\n\x1a\n", 8));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        paths.append(path);
    }
    return paths;
}

// The rebuild as it was: each row upserted on its own statement, prepared
// afresh, and its id read back with a second query; batches of 100 rows.
int rowByRowRebuild(const QString &root, ScreenshotDatabase &db)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    int rows = 0;
    for (qsizetype from = 0; from < files.size(); from += 100) {
        QList<QPair<QString, QString>> batch;
        for (qsizetype i = from; i < qMin(files.size(), from + 100); ++i)
            batch.append({ files[i], ContentHash::ofFile(files[i]).value_or(QString()) });
        db.runInTransaction([&] {
            for (const auto &[path, hash] : batch) {
                const QFileInfo info(path);
                db.insertOrUpdate(path, info.completeBaseName(),
                    LibraryFileService::libraryFolderName(path, root).value_or(QString()),
                    info.lastModified().toSecsSinceEpoch(), {}, hash, ScreenshotStatus::filed,
                    info.size());
                ++rows;
            }
        });
    }
    return rows;
}

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double sha256sumSeconds(const QString &root)
{
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.setWorkingDirectory(root);
    process.start(QStringLiteral("sh"),
        { QStringLiteral("-c"),
            QStringLiteral("find . -type f -print0 | xargs -0 sha256sum > /dev/null") });
    process.waitForFinished(-1);
    return seconds(timer);
}

// Insert cost alone: the same rows one commit each, then in batches of 100.
void insertCost(const QString &dir, int n)
{
    for (const bool batched : { false, true }) {
        const QString path
            = QStringLiteral("%1/insert-%2.sqlite3").arg(dir, batched ? "batched" : "single");
        ScreenshotDatabase db(path);
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < n;) {
            const int end = batched ? qMin(n, i + 100) : i + 1;
            const auto insert = [&] {
                for (; i < end; ++i) {
                    db.insertOrUpdate(QStringLiteral("/lib/F/%1.png").arg(i), QStringLiteral("t"),
                        QStringLiteral("F"), i, {}, QStringLiteral("h"), ScreenshotStatus::filed,
                        1);
                }
            };
            if (batched)
                db.runInTransaction(insert);
            else
                insert();
        }
        out << QStringLiteral("  insert %1 rows %2: %3 s\n")
                   .arg(n)
                   .arg(batched ? QStringLiteral("in batches of 100")
                                : QStringLiteral("one commit each"))
                   .arg(seconds(timer), 0, 'f', 3);
        out.flush();
    }
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("counts"), QStringLiteral("File counts."),
        QStringLiteral("list"), QStringLiteral("1000,10000") });
    parser.addOption({ QStringLiteral("ocr-sample"), QStringLiteral("Files to recognise."),
        QStringLiteral("n"), QStringLiteral("20") });
    parser.addOption(
        { QStringLiteral("dir"), QStringLiteral("Work folder."), QStringLiteral("dir") });
    parser.addOption({ QStringLiteral("large"),
        QStringLiteral("One large screenshot repeated instead of the realistic mix.") });
    parser.process(app);
    const bool large = parser.isSet(QStringLiteral("large"));

    QTemporaryDir temporary(parser.isSet(QStringLiteral("dir"))
            ? parser.value(QStringLiteral("dir")) + QStringLiteral("/rebuild-XXXXXX")
            : QDir::tempPath() + QStringLiteral("/marlox-rebuild-XXXXXX"));
    const QByteArray png = large ? screenshotBytes() : QByteArray();
    if (large)
        out << QStringLiteral("file size %1 bytes\n").arg(png.size());
    else
        out << QStringLiteral("files of 12 to 60 KB in 24 folders\n");

    for (const QString &count : parser.value(QStringLiteral("counts")).split(u',')) {
        const int n = count.toInt();
        const QString dir = temporary.filePath(count);
        const QString root = dir + QStringLiteral("/Library");
        const QStringList paths = large ? makeLibrary(root, n, png) : makeMixedLibrary(root, n);
        qint64 bytes = 0;
        for (const QString &path : paths)
            bytes += QFileInfo(path).size();
        out << QStringLiteral("%1 files (%2 MB, warm page cache)\n")
                   .arg(n)
                   .arg(double(bytes) / 1e6, 0, 'f', 0);
        out.flush();

        const double shaSeconds = sha256sumSeconds(root);
        out << QStringLiteral("  sha256sum: %1 s\n").arg(shaSeconds, 0, 'f', 3);
        out.flush();

        QElapsedTimer timer;
        {
            ScreenshotDatabase old(dir + QStringLiteral("/row-by-row.sqlite3"));
            timer.start();
            const int rows = rowByRowRebuild(root, old);
            const double oldSeconds = seconds(timer);
            out << QStringLiteral("  row by row, as before (%1 rows): %2 s (%3x sha256sum)\n")
                       .arg(rows)
                       .arg(oldSeconds, 0, 'f', 3)
                       .arg(oldSeconds / shaSeconds, 0, 'f', 2);
            out.flush();
        }

        ScreenshotDatabase db(dir + QStringLiteral("/index.sqlite3"));
        timer.restart();
        const QList<qint64> ids = LibraryReconciler::rebuild(root, db);
        const double rebuildSeconds = seconds(timer);
        out << QStringLiteral("  rebuild (enumerate, hash, insert %1): %2 s (%3x sha256sum)\n")
                   .arg(ids.size())
                   .arg(rebuildSeconds, 0, 'f', 3)
                   .arg(rebuildSeconds / shaSeconds, 0, 'f', 2);
        out.flush();

        insertCost(dir, n);

        // Noise does not decode: recognition is timed on the real picture only.
        const int sample = large ? qMin(n, parser.value(QStringLiteral("ocr-sample")).toInt()) : 0;
        if (sample > 0) {
            OCREngine ocr;
            timer.restart();
            int characters = 0;
            for (int i = 0; i < sample; ++i) {
                QImageReader reader(paths[i]);
                reader.setAutoTransform(true);
                characters += ocr.recognizeText(reader.read()).size();
            }
            const double each = seconds(timer) / sample;
            out << QStringLiteral("  recognition: %1 s per file over %2 files (%3 characters "
                                  "each); all %4 files: about %5 s on one thread\n")
                       .arg(each, 0, 'f', 3)
                       .arg(sample)
                       .arg(characters / sample)
                       .arg(n)
                       .arg(each * n, 0, 'f', 0);
            out.flush();
        }
        QDir(dir).removeRecursively();
    }
    return 0;
}
