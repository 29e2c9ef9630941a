// Builds a library of a few hundred generated screenshots and opens the
// library window on it, for looking at and for taking pictures of the window.
//
//   bench_library_demo --dir DIR [--count 300] [--query TEXT] [--select N]
//                      [--grab FILE] [--quit-after SECONDS] [--show duplicates]
//
// The images are drawn with QPainter. The text of the three images that
// mention a shipment to Zanzibar is recognised for real; the others are
// indexed with the text they were drawn with, which saves minutes of OCR.
// A few are saved twice, and a few drawn again with another time on a clock,
// so the Duplicates section (--show duplicates) has something to show.

#include <cstdio>
#include <memory>

#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>

#include "app/appstate.h"
#include "app/duplicatefinder.h"
#include "filing/contenthash.h"
#include "filing/ocrengine.h"
#include "library/librarygridview.h"
#include "library/librarywindow.h"
#include "libraryfixture.h"
#include "shell/widgetdialogs.h"
#include "storage/screenshotdatabase.h"

using namespace marlox;

int main(int argc, char **argv)
{
    QString dir;
    QString query;
    QString grab;
    int count = 300;
    int select = -1;
    int quitAfter = 0;
    bool showDuplicates = false;
    for (int i = 1; i + 1 < argc; ++i) {
        const QByteArray arg = argv[i];
        const QString value = QString::fromLocal8Bit(argv[++i]);
        if (arg == "--dir")
            dir = value;
        else if (arg == "--count")
            count = value.toInt();
        else if (arg == "--query")
            query = value;
        else if (arg == "--select")
            select = value.toInt();
        else if (arg == "--grab")
            grab = value;
        else if (arg == "--quit-after")
            quitAfter = value.toInt();
        else if (arg == "--show")
            showDuplicates = value == QLatin1String("duplicates");
    }
    if (dir.isEmpty()) {
        std::fprintf(stderr, "usage: bench_library_demo --dir DIR [--count N] [--query TEXT]\n");
        return 2;
    }
    bench::isolateProfile(dir + QStringLiteral("/profile"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Marlox"));

    const QString library = dir + QStringLiteral("/Library");
    const QString inboxDir = dir + QStringLiteral("/Screenshots");
    const QString databasePath = dir + QStringLiteral("/library.sqlite3");
    const bool fresh = !QFile::exists(databasePath);
    if (fresh) {
        const QStringList folders { "General", "Work", "Receipts", "Travel", "Design" };
        for (const QString &folder : folders)
            QDir().mkpath(library + QLatin1Char('/') + folder);
        QDir().mkpath(inboxDir);
        ScreenshotDatabase db(databasePath);
        OCREngine ocr;
        QRandomGenerator random(11);
        const double now = QDateTime::currentSecsSinceEpoch();
        for (int i = 0; i < count; ++i) {
            // Ages: a dozen today, some yesterday, a week's worth, then months.
            double age;
            if (i < 12)
                age = i * 1500.0;
            else if (i < 24)
                age = 86400.0 + (i - 12) * 2400.0;
            else if (i < 70)
                age = 2 * 86400.0 + (i - 24) * 9000.0;
            else
                age = 8 * 86400.0 + (i - 70) * 30000.0;
            const double created = now - age;
            const bool special = i == 3 || i == 40 || i == 150;
            QStringList lines = bench::randomLines(random, 12, 6);
            QString heading = bench::randomLines(random, 1, 2).first();
            if (special)
                lines[2] = QStringLiteral("Shipment to Zanzibar confirmed for Thursday");
            const bool phone = i % 9 == 4;
            QImage image = bench::drawScreenshot(
                i, heading, lines, phone ? QSize(585, 1266) : QSize(1440, 900));
            const bool twice = i % 23 == 5;
            const bool clocked = i % 29 == 8;
            if (clocked) {
                QPainter painter(&image);
                painter.setPen(Qt::black);
                painter.drawText(QRect(image.width() - 120, 0, 110, 24),
                    Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("10:41"));
            }
            const bool inbox = i % 6 == 1;
            const QString folder = inbox ? QString() : folders[(i / 3) % folders.size()];
            const QString title = inbox ? QString() : heading;
            const QString name = inbox
                ? QStringLiteral("Screenshot %1.png").arg(i, 3, 10, QLatin1Char('0'))
                : QStringLiteral("%1 %2.png").arg(heading).arg(i);
            const QString path = (inbox ? inboxDir : library + QLatin1Char('/') + folder)
                + QLatin1Char('/') + name;
            image.save(path);
            QString text = heading + QLatin1Char('\n') + lines.join(QLatin1Char('\n'));
            if (special)
                text = ocr.recognizeText(image);
            const QString hash = ContentHash::ofFile(path).value_or(QString());
            db.insertOrUpdate(path, title, folder, created, text, hash,
                inbox ? ScreenshotStatus::inbox : ScreenshotStatus::filed, QFileInfo(path).size());
            if (twice || clocked) {
                // The same bytes saved again in another folder, or the same
                // window a minute later.
                const QString &again = folders[(i / 3 + 1) % folders.size()];
                const QString copy = library + QLatin1Char('/') + again + QLatin1Char('/')
                    + QFileInfo(name).completeBaseName() + QStringLiteral(" copy.png");
                if (clocked) {
                    QPainter painter(&image);
                    painter.fillRect(QRect(image.width() - 120, 0, 110, 24), Qt::white);
                    painter.drawText(QRect(image.width() - 120, 0, 110, 24),
                        Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("10:42"));
                    painter.end();
                    image.save(copy);
                } else {
                    QFile::copy(path, copy);
                }
                db.insertOrUpdate(copy, heading, again, created + 600, text,
                    ContentHash::ofFile(copy).value_or(QString()), ScreenshotStatus::filed,
                    QFileInfo(copy).size());
            }
        }
    }

    AppStateDependencies deps;
    deps.dialogs = std::make_shared<WidgetDialogs>();
    deps.databasePath = databasePath;
    deps.installSystemObservers = false;
    AppState state(std::move(deps));
    if (fresh)
        state.setLibraryRoot(library, true);

    LibraryWindow window(&state);
    window.resize(1180, 760);
    window.move(40, 40);
    window.show();
    if (!query.isEmpty())
        window.findChild<QLineEdit *>(QStringLiteral("library.search"))->setText(query);
    if (select >= 0) {
        QTimer::singleShot(1500, &window, [&window, select] {
            const auto &shown = window.grid()->displayed();
            if (select < shown.size())
                window.selectRecord(shown[select]);
        });
    }
    if (showDuplicates)
        window.showDuplicates(true);
    if (!grab.isEmpty() && showDuplicates) {
        // Once every older file has its perceptual hash and the groups are laid out.
        auto *poll = new QTimer(&window);
        QObject::connect(poll, &QTimer::timeout, &window, [&window, &state, poll, grab] {
            if (state.duplicates().isFillingHashes())
                return;
            poll->stop();
            QTimer::singleShot(2500, &window, [&window, grab] { window.grab().save(grab); });
        });
        poll->start(4000);
    } else if (!grab.isEmpty()) {
        QTimer::singleShot(4000, &window, [&window, grab] { window.grab().save(grab); });
    }
    if (quitAfter > 0)
        QTimer::singleShot(quitAfter * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
