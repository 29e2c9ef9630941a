// What reading QR codes and barcodes adds to each capture: CodeReader's time
// per image, with and without a code in it, against text recognition of the
// same image (a warm OCREngine), on generated screenshots at 1x and 2x, light
// and dark. With --grab, instead opens the detail view of a screenshot that
// holds a code and saves a picture of the window.
//
//   bench_codes [--sizes 1440x900,2880x1800] [--repeats 5]
//   bench_codes --grab FILE --dir DIR
//
// Lines starting with RESULT are the figures scripts/bench tables.

#include <algorithm>
#include <cstdio>

#define ZX_USE_UTF8 1
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextStream>
#include <QTimer>

#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>

#include "app/appstate.h"
#include "app/recognitionpass.h"
#include "filing/codereader.h"
#include "filing/ocrengine.h"
#include "library/screenshotdetail.h"
#include "libraryfixture.h"
#include "screencorpus.h"
#include "shell/widgetdialogs.h"

using namespace marlox;

namespace {

const QString kLink = QStringLiteral("https://tickets.example.org/boarding/LH-2041/seat/42A");

// The code as a phone or web page shows it: black on white with a quiet zone.
QImage qrCode(const QString &text, int module)
{
    const ZXing::BitMatrix matrix = ZXing::MultiFormatWriter(ZXing::BarcodeFormat::QRCode)
                                        .setMargin(0)
                                        .encode(text.toStdString(), 0, 0);
    const int quiet = 4;
    QImage image((matrix.width() + 2 * quiet) * module, (matrix.height() + 2 * quiet) * module,
        QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < matrix.height(); ++y)
        for (int x = 0; x < matrix.width(); ++x)
            if (matrix.get(x, y))
                painter.fillRect(
                    (x + quiet) * module, (y + quiet) * module, module, module, Qt::black);
    return image;
}

QImage withCode(QImage image, int scale)
{
    const QImage code = qrCode(kLink, 4 * scale);
    QPainter(&image).drawImage(
        QPoint(image.width() - code.width() - 60 * scale, 120 * scale), code);
    return image;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

double msFor(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

int measure(const QStringList &sizes, int repeats)
{
    QTextStream out(stdout);
    out << Qt::fixed << qSetRealNumberPrecision(1);
    OCREngine ocr;
    ocr.recognize(bench::drawScene(QStringLiteral("document"), QSize(800, 500), false, 1).image);
    for (const QString &sizeName : sizes) {
        const QStringList parts = sizeName.split(QLatin1Char('x'));
        const QSize size(parts.value(0).toInt(), parts.value(1).toInt());
        const int scale = size.width() > 2000 ? 2 : 1;
        QList<double> plain;
        QList<double> coded;
        QList<double> recognition;
        int found = 0;
        int images = 0;
        for (const bool dark : { false, true }) {
            for (const char *layout : { "document", "list", "code" }) {
                const QImage screen
                    = bench::drawScene(QString::fromLatin1(layout), size, dark, 7).image;
                const QImage shown = withCode(screen, scale);
                ++images;
                recognition.append(msFor([&] { ocr.recognize(shown); }));
                for (int r = 0; r < repeats; ++r) {
                    plain.append(msFor([&] { CodeReader::read(screen); }));
                    QList<ScreenshotCode> codes;
                    coded.append(msFor([&] { codes = CodeReader::read(shown); }));
                    if (r == 0 && codes.size() == 1 && codes.first().text == kLink)
                        ++found;
                }
            }
        }
        out << sizeName << ": code found in " << found << " of " << images
            << " images; reading codes " << median(plain) << " ms without a code, " << median(coded)
            << " ms with one; text recognition " << median(recognition) << " ms\n";
        out << "RESULT\tcode reading, no code in a " << sizeName << " image (ms)\t"
            << QString::number(median(plain), 'f', 1) << '\t'
            << QString::number(median(recognition), 'f', 1)
            << "\ttext recognition of the same image\n";
        out << "RESULT\tcode reading, one QR code in a " << sizeName << " image (ms)\t"
            << QString::number(median(coded), 'f', 1) << '\t'
            << QString::number(median(recognition), 'f', 1)
            << "\ttext recognition of the same image\n";
        out.flush();
    }
    return 0;
}

int grab(const QString &file, const QString &dir, QApplication &app)
{
    const QString folder = dir + QStringLiteral("/Library/Travel");
    QDir().mkpath(folder);
    const QString path = folder + QStringLiteral("/Boarding pass.png");
    QImage image = withCode(
        bench::drawScene(QStringLiteral("document"), QSize(1440, 900), false, 3).image, 1);
    image.save(path);

    AppStateDependencies deps;
    deps.dialogs = std::make_shared<WidgetDialogs>();
    deps.databasePath = dir + QStringLiteral("/library.sqlite3");
    deps.installSystemObservers = false;
    AppState state(std::move(deps));
    ScreenshotDatabase &db = state.database();
    const qint64 id = db.insertOrUpdate(path, QStringLiteral("Boarding pass"),
        QStringLiteral("Travel"), double(QDateTime::currentSecsSinceEpoch()), QString(), QString(),
        ScreenshotStatus::filed, QFileInfo(path).size());
    OCREngine ocr;
    Recognition recognition = ocr.recognize(image);
    recognition.codes = CodeReader::read(image);
    RecognitionPass::store(db, id, recognition, QString(), std::nullopt);

    // Owned by its window, which goes before the state does.
    auto *detail
        = new ScreenshotDetailWindowController(&state.recordActions(), *db.record(id), nullptr);
    detail->window()->resize(1280, 760);
    detail->showWindow();
    QTimer::singleShot(3000, &app, [&] {
        // The code's row under the text, as when the pointer rests on it.
        if (auto *pane
            = detail->window()->findChild<QScrollArea *>(QStringLiteral("detail.textPane")))
            pane->verticalScrollBar()->setValue(pane->verticalScrollBar()->maximum());
        detail->view()->imagePane()->setHighlightedCode(0);
        QCoreApplication::processEvents();
        detail->window()->grab().save(file);
        delete detail->window();
        app.quit();
    });
    return app.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QStringList sizes { QStringLiteral("1440x900"), QStringLiteral("2880x1800") };
    int repeats = 5;
    QString grabFile;
    QString dir;
    for (int i = 1; i + 1 < argc; ++i) {
        const QByteArray arg = argv[i];
        const QString value = QString::fromLocal8Bit(argv[++i]);
        if (arg == "--sizes")
            sizes = value.split(QLatin1Char(','));
        else if (arg == "--repeats")
            repeats = std::max(1, value.toInt());
        else if (arg == "--grab")
            grabFile = value;
        else if (arg == "--dir")
            dir = value;
    }
    if (!grabFile.isEmpty() && dir.isEmpty()) {
        std::fprintf(stderr, "usage: bench_codes --grab FILE --dir DIR\n");
        return 2;
    }
    if (!dir.isEmpty())
        bench::isolateProfile(dir + QStringLiteral("/profile"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Marlox"));
    return grabFile.isEmpty() ? measure(sizes, repeats) : grab(grabFile, dir, app);
}
