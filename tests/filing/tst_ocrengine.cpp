// marlox-test-timeout: 300
#include <QDir>
#include <QFile>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QtConcurrent>

#include "filing/ocrengine.h"
#include "support/logcapture.h"
#include "support/testmain.h"

using namespace marlox;

namespace {

// Text as a screenshot shows it: a UI font at a 2x display's pixel size.
QImage drawText(const QStringList &lines, QColor background, QColor foreground,
    QSize size = QSize(1400, 420), QImage::Format format = QImage::Format_RGB32)
{
    QImage image(size, format);
    image.fill(background);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(30);
    painter.setFont(font);
    painter.setPen(foreground);
    int y = 90;
    for (const QString &line : lines) {
        painter.drawText(80, y, line);
        y += 90;
    }
    return image;
}

const QStringList threeLines = { QStringLiteral("Quarterly revenue report for March"),
    QStringLiteral("Meeting notes from the design review"),
    QStringLiteral("Invoice number 4821 is overdue") };

QStringList words(const QString &text)
{
    return text.toLower().split(QRegularExpression(QStringLiteral("\\W+")), Qt::SkipEmptyParts);
}

// The share of expected words found in the recognised text.
double recall(const QStringList &expected, const QString &text)
{
    const QStringList got = words(text);
    const QStringList want = words(expected.join(QLatin1Char(' ')));
    int found = 0;
    for (const QString &word : want)
        found += got.contains(word);
    return want.isEmpty() ? 1.0 : double(found) / want.size();
}

} // namespace

class TestOcrEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void threeLinesGiveThreeLinesAndTheirWords()
    {
        OCREngine engine;
        const Recognition read = engine.recognize(drawText(threeLines, Qt::white, Qt::black));
        const QString &text = read.text;
        QVERIFY2(!text.endsWith(QLatin1Char('\n')), qPrintable(text));
        const QStringList lines = text.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(lines.at(i), threeLines.at(i));
        // The boxes come from the same pass and sit where the words were drawn.
        QCOMPARE(WordBoxes::joinedText(read.words), text);
        QCOMPARE(read.words.first().text, QStringLiteral("Quarterly"));
        QVERIFY(read.words.first().box.contains(90, 80));
        QCOMPARE(read.words.last().text, QStringLiteral("overdue"));
        QCOMPARE(read.words.last().line, 2);
        QVERIFY(QRect(80, 180, 1000, 100).contains(read.words.last().box));
    }

    void smallScreenTextReads_data()
    {
        QTest::addColumn<QColor>("background");
        QTest::addColumn<QColor>("foreground");
        QTest::addColumn<int>("pixelSize");
        QTest::newRow("light orange on white") << QColor(Qt::white) << QColor(255, 178, 102) << 13;
        QTest::newRow("dark on a yellow bar") << QColor(255, 204, 0) << QColor(40, 40, 40) << 12;
        QTest::newRow("dark terminal") << QColor(30, 30, 30) << QColor(204, 204, 204) << 12;
    }
    void smallScreenTextReads()
    {
        QFETCH(QColor, background);
        QFETCH(QColor, foreground);
        QFETCH(int, pixelSize);
        // One line at 1x, as a terminal or a status bar shows it.
        QImage image(560, 48, QImage::Format_RGB32);
        image.fill(background);
        QPainter painter(&image);
        QFont font(QStringLiteral("DejaVu Sans Mono"));
        font.setPixelSize(pixelSize);
        painter.setFont(font);
        painter.setPen(foreground);
        painter.drawText(12, 28, QStringLiteral("ERROR 2026-12-07 04:51:02 src/main.py failed"));
        painter.end();
        const QString text = OCREngine().recognizeText(image);
        for (const char *expected : { "ERROR", "2026-12-07", "04:51:02", "src/main.py" })
            QVERIFY2(text.contains(QLatin1String(expected)), qPrintable(text));
    }

    void wordListsSurviveStorage()
    {
        const QList<WordBox> words = { { QStringLiteral("Grüße"), QRect(3, 4, 50, 12), 0, false },
            { QStringLiteral("aus"), QRect(60, 4, 20, 12), 0, false },
            { QStringLiteral("東京"), QRect(-1, 30, 40, 14), 1, true } };
        const QByteArray bytes = WordBoxes::encoded(words);
        QCOMPARE(WordBoxes::decoded(bytes), std::optional(words));
        QCOMPARE(WordBoxes::decoded(WordBoxes::encoded({})), std::optional(QList<WordBox>()));
        // Cut short, from another version, or not a word list at all: none.
        QVERIFY(!WordBoxes::decoded(bytes.chopped(3)));
        QVERIFY(!WordBoxes::decoded(QByteArray(1, char(99)) + bytes.mid(1)));
        QVERIFY(!WordBoxes::decoded(QByteArrayLiteral("\x01\xff\xff\xff\xffjunk")));
        QVERIFY(!WordBoxes::decoded(QByteArray()));
    }

    void imagesWithoutTextGiveEmptyText_data()
    {
        QTest::addColumn<QImage>("image");
        QImage white(1280, 800, QImage::Format_RGB32);
        white.fill(Qt::white);
        QImage dark(1280, 800, QImage::Format_RGB32);
        dark.fill(QColor(30, 30, 30));
        QImage transparent(640, 400, QImage::Format_ARGB32);
        transparent.fill(Qt::transparent);
        QTest::newRow("white") << white;
        QTest::newRow("dark") << dark;
        QTest::newRow("transparent") << transparent;
        QTest::newRow("null") << QImage();
    }
    void imagesWithoutTextGiveEmptyText()
    {
        QFETCH(QImage, image);
        QCOMPARE(OCREngine().recognizeText(image), QString());
    }

    void darkModeReadsLikeLightMode_data()
    {
        QTest::addColumn<QColor>("background");
        QTest::addColumn<QColor>("foreground");
        QTest::newRow("light") << QColor(Qt::white) << QColor(30, 30, 30);
        QTest::newRow("dark") << QColor(30, 30, 30) << QColor(230, 230, 230);
        QTest::newRow("dark blue, grey text") << QColor(22, 27, 45) << QColor(170, 180, 200);
    }
    void darkModeReadsLikeLightMode()
    {
        QFETCH(QColor, background);
        QFETCH(QColor, foreground);
        const QString text
            = OCREngine().recognizeText(drawText(threeLines, background, foreground));
        QCOMPARE(text.split(QLatin1Char('\n')).size(), 3);
        QVERIFY2(recall(threeLines, text) >= 0.95, qPrintable(text));
    }

    void transparentAreasCountAsWhite()
    {
        // A window capture: opaque black text on a fully transparent canvas.
        const QImage image = drawText(
            threeLines, Qt::transparent, Qt::black, QSize(1400, 420), QImage::Format_ARGB32);
        const QImage prepared = OCREngine::preparedImage(image);
        QCOMPARE(prepared.format(), QImage::Format_Grayscale8);
        QCOMPARE(prepared.pixelColor(2, 2), QColor(Qt::white));
        QVERIFY(recall(threeLines, OCREngine().recognizeText(image)) >= 0.95);
    }

    void darkBackgroundDetection_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<bool>("dark");
        QTest::newRow("light page") << drawText(threeLines, Qt::white, Qt::black) << false;
        QTest::newRow("dark page") << drawText(threeLines, QColor(20, 20, 20), Qt::white) << true;
        // A dark sidebar over a third of a light window is still a light page.
        QImage split = drawText(threeLines, Qt::white, Qt::black);
        QPainter(&split).fillRect(0, 0, split.width() / 3, split.height(), Qt::black);
        QTest::newRow("dark sidebar") << split << false;
        QTest::newRow("one pixel") << QImage(1, 1, QImage::Format_Grayscale8) << false;
    }
    void darkBackgroundDetection()
    {
        QFETCH(QImage, image);
        QFETCH(bool, dark);
        if (image.width() == 1)
            image.fill(200);
        QCOMPARE(
            OCREngine::hasDarkBackground(image.convertToFormat(QImage::Format_Grayscale8)), dark);
    }

    void concurrentCallsEachReadTheirImage()
    {
        // Several images recognised at once through one engine object: every
        // worker thread must get its own Tesseract instance.
        OCREngine engine;
        const QList<QStringList> texts = {
            { QStringLiteral("Alpha build passed"), QStringLiteral("Deploy window opens") },
            { QStringLiteral("Bravo invoice paid"), QStringLiteral("Receipt attached below") },
            { QStringLiteral("Charlie flight delayed"), QStringLiteral("Gate changed to twelve") },
            { QStringLiteral("Delta backup finished"), QStringLiteral("Next run tomorrow") },
        };
        QThreadPool pool;
        pool.setMaxThreadCount(2);
        QList<QFuture<QString>> futures;
        for (int round = 0; round < 2; ++round) {
            for (const QStringList &lines : texts) {
                const bool dark = futures.size() % 2;
                const QImage image = drawText(lines, dark ? QColor(25, 25, 25) : Qt::white,
                    dark ? Qt::white : Qt::black, QSize(1000, 260));
                futures.append(QtConcurrent::run(
                    &pool, [&engine, image] { return engine.recognizeText(image); }));
            }
        }
        for (int i = 0; i < futures.size(); ++i) {
            const QStringList &lines = texts.at(i % texts.size());
            const QString text = futures[i].result();
            QCOMPARE(text.split(QLatin1Char('\n')).size(), 2);
            QVERIFY2(recall(lines, text) >= 0.95, qPrintable(text));
        }
    }

    void unspacedScriptsLoseSegmentSpaces_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("expected");
        QTest::newRow("japanese") << QString("東京 スカ イツ リー の 展望 台 が")
                                  << QString("東京スカイツリーの展望台が");
        QTest::newRow("prolonged sound mark") << QString("ニュ ー ス") << QString("ニュース");
        QTest::newRow("chinese with punctuation")
            << QString("我们 的 产品 。 价格") << QString("我们的产品。价格");
        QTest::newRow("latin kept") << QString("Total  due: 1,250") << QString("Total  due: 1,250");
        QTest::newRow("mixed keeps the boundary")
            << QString("展望 台 Tower 見 て") << QString("展望台 Tower 見て");
        QTest::newRow("korean keeps its word spaces")
            << QString("안녕 하세요 여러분") << QString("안녕 하세요 여러분");
    }

    void unspacedScriptsLoseSegmentSpaces()
    {
        QFETCH(QString, line);
        QFETCH(QString, expected);
        QCOMPARE(OCREngine::joinedUnspacedScript(line), expected);
    }

    void localeLanguageCodes_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("code");
        QTest::newRow("English") << QStringLiteral("en_US") << QStringLiteral("eng");
        QTest::newRow("German uses the terminology code")
            << QStringLiteral("de_DE") << QStringLiteral("deu");
        QTest::newRow("Simplified Chinese") << QStringLiteral("zh_CN") << QStringLiteral("chi_sim");
        QTest::newRow("Traditional Chinese")
            << QStringLiteral("zh_TW") << QStringLiteral("chi_tra");
        QTest::newRow("Norwegian Bokmal") << QStringLiteral("nb_NO") << QStringLiteral("nor");
        QTest::newRow("C locale") << QStringLiteral("C") << QString();
    }
    void localeLanguageCodes()
    {
        QFETCH(QString, locale);
        QFETCH(QString, code);
        QCOMPARE(OCREngine::tesseractLanguage(QLocale(locale)), code);
    }

    void englishIsAlwaysRecognised()
    {
        QCOMPARE(OCREngine::defaultLanguages().first(), QStringLiteral("eng"));
        QCOMPARE(OCREngine().languages(), OCREngine::defaultLanguages());
    }

    void chosenLanguagesAreRead()
    {
        // Umlauts and ß: the English model reads "GruBe", "Ubung", "K6In".
        const QStringList german = { QStringLiteral("Schöne Grüße aus Köln"),
            QStringLiteral("Übungsstraße für Müller") };
        const QImage image = drawText(german, Qt::white, Qt::black, QSize(900, 240));
        const QStringList germanWords = { QStringLiteral("Grüße"), QStringLiteral("Köln"),
            QStringLiteral("Übungsstraße"), QStringLiteral("Müller") };
        const auto readsGerman = [&](const QString &text) {
            for (const QString &word : germanWords) {
                if (!text.contains(word))
                    return false;
            }
            return true;
        };

        OCREngine engine;
        engine.setLanguages({ QStringLiteral("eng") });
        const QString englishOnly = engine.recognizeText(image);
        QVERIFY2(!readsGerman(englishOnly), qPrintable(englishOnly));
        // The same thread's engine must load the new set at the next image.
        engine.setLanguages({ QStringLiteral("eng"), QStringLiteral("deu") });
        const QString withGerman = engine.recognizeText(image);
        QVERIFY2(readsGerman(withGerman), qPrintable(withGerman));
        engine.setLanguages({ QStringLiteral("eng") });
        QCOMPARE(engine.recognizeText(image), englishOnly);
    }

    void aLanguageWithoutDataIsLeftOutAndLogged()
    {
        // A tessdata folder that holds English only, as after removing a package.
        QTemporaryDir data;
        const QString english
            = QDir(OCREngine::dataPath()).filePath(QStringLiteral("eng.traineddata"));
        QVERIFY(QFile::link(english, data.filePath(QStringLiteral("eng.traineddata"))));
        qputenv("TESSDATA_PREFIX", QFile::encodeName(data.path()));
        const auto restore = qScopeGuard([] { qunsetenv("TESSDATA_PREFIX"); });
        QCOMPARE(OCREngine::installedLanguages(), QStringList { QStringLiteral("eng") });

        OCREngine engine;
        engine.setLanguages({ QStringLiteral("eng"), QStringLiteral("deu") });
        test::LogCapture log;
        // A fresh thread, so no engine loaded by another test is reused.
        QThreadPool pool;
        const QImage image = drawText(threeLines, Qt::white, Qt::black);
        const QString text
            = QtConcurrent::run(&pool, [&] { return engine.recognizeText(image); }).result();
        QVERIFY2(recall(threeLines, text) >= 0.95, qPrintable(text));
        QCOMPARE(log.count(QStringLiteral(
                     "Recognition language deu is not installed; reading without it")),
            1);
    }

    void installedLanguagesListTheDataFolder()
    {
        QTemporaryDir data;
        QDir dir(data.path());
        QVERIFY(dir.mkpath(QStringLiteral("script")));
        for (const char *name :
            { "eng.traineddata", "deu.traineddata", "osd.traineddata", "equ.traineddata",
                "jpn_vert.traineddata", "pdf.ttf", "script/Latin.traineddata", "configs" }) {
            QFile file(dir.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        qputenv("TESSDATA_PREFIX", QFile::encodeName(data.path()));
        const auto restore = qScopeGuard([] { qunsetenv("TESSDATA_PREFIX"); });
        QCOMPARE(OCREngine::dataPath(), data.path());
        QCOMPARE(OCREngine::installedLanguages(),
            (QStringList { "deu", "eng", "jpn_vert", "script/Latin" }));
    }

    void languagesHaveNames_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("name");
        QTest::newRow("German") << QStringLiteral("deu") << QStringLiteral("German");
        QTest::newRow("Japanese") << QStringLiteral("jpn") << QStringLiteral("Japanese");
        QTest::newRow("Simplified Chinese")
            << QStringLiteral("chi_sim") << QStringLiteral("Chinese (Simplified)");
        QTest::newRow("vertical Simplified Chinese")
            << QStringLiteral("chi_sim_vert") << QStringLiteral("Chinese (Simplified, vertical)");
        QTest::newRow("vertical Japanese")
            << QStringLiteral("jpn_vert") << QStringLiteral("Japanese (vertical)");
        QTest::newRow("a script model")
            << QStringLiteral("script/Latin") << QStringLiteral("Latin script");
        QTest::newRow("unknown code stays") << QStringLiteral("xqz") << QStringLiteral("xqz");
        QTest::newRow("unknown vertical stays")
            << QStringLiteral("xqz_vert") << QStringLiteral("xqz_vert");
    }
    void languagesHaveNames()
    {
        QFETCH(QString, code);
        QFETCH(QString, name);
        QCOMPARE(OCREngine::languageName(code), name);
    }
};

MARLOX_TEST_MAIN(TestOcrEngine)
#include "tst_ocrengine.moc"
