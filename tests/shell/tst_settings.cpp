#include <QCheckBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "app/appstate.h"
#include "app/updatecontroller.h"
#include "platform/homedirectory.h"
#include "shell/settingswindow.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/fakerecognizer.h"
#include "support/fakes.h"
#include "support/imagebytes.h"
#include "support/testmain.h"

using namespace marlox;

class TestSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::AppStateScene> m_scene;

    std::unique_ptr<AppState> makeState(std::shared_ptr<TextRecognizer> ocr = nullptr)
    {
        return m_scene->makeState([&](AppStateDependencies &deps) { deps.ocr = std::move(ocr); });
    }

    template <typename T> static T *find(QWidget &w, const char *name)
    {
        T *child = w.findChild<T *>(QString::fromLatin1(name));
        if (!child)
            qFatal("no %s", name);
        return child;
    }

    // A model folder holding exactly these languages (empty files do: only
    // their names are read here), in force until the guard goes.
    static auto useModels(QTemporaryDir &data, const QStringList &languages)
    {
        for (const QString &language : languages) {
            QFile file(data.filePath(language + QStringLiteral(".traineddata")));
            if (!file.open(QIODevice::WriteOnly))
                qFatal("couldn't write %s", qPrintable(file.fileName()));
        }
        qputenv("TESSDATA_PREFIX", QFile::encodeName(data.path()));
        return qScopeGuard([] { qunsetenv("TESSDATA_PREFIX"); });
    }

    static QCheckBox *languageBox(QWidget &window, const QString &code)
    {
        return window.findChild<QCheckBox *>(QStringLiteral("settings.ocrLanguage.") + code);
    }

    static QString text(QWidget &window, const char *name)
    {
        QLabel *label = find<QLabel>(window, name);
        return label->isVisibleTo(&window) ? label->text() : QString();
    }

private Q_SLOTS:
    void init() { m_scene = std::make_unique<test::AppStateScene>(); }

    void rowsSayNotSetWithoutFolders()
    {
        auto state = makeState();
        UpdateController updates;
        SettingsWindow window(state->appSettings(), updates, {});
        QCOMPARE(find<QWidget>(window, "settings.screenshotFolder")->accessibleName(),
            QStringLiteral("Screenshot folder, Not set"));
        QCOMPARE(find<QWidget>(window, "settings.libraryFolder")->accessibleName(),
            QStringLiteral("Library folder, Not set"));
        QCOMPARE(find<QPushButton>(window, "settings.libraryFolder.change")->accessibleName(),
            QStringLiteral("Change Library folder"));
        QCOMPARE(find<QLabel>(window, "settings.watchStatus")->text(),
            QStringLiteral("Not watching: No screenshot folder is set."));
        // Updates are off in this build: no toggle.
        QVERIFY(!window.findChild<QCheckBox *>(QStringLiteral("settings.autoUpdate")));
    }

    void followsTheCoordinatorLive()
    {
        auto state = makeState();
        auto &dialogs = m_scene->dialogs;
        UpdateController updates(QStringLiteral("https://example.org/feed"),
            QString::fromLatin1(QByteArray(32, 'k').toBase64()));
        SettingsWindow window(state->appSettings(), updates, {});
        QVERIFY(window.findChild<QCheckBox *>(QStringLiteral("settings.autoUpdate")));

        const QString &shots = m_scene->shots;
        dialogs->folderAnswers.append(shots);
        QTest::mouseClick(
            find<QPushButton>(window, "settings.screenshotFolder.change"), Qt::LeftButton);
        QTRY_COMPARE(state->screenshotFolder(), shots);
        QTRY_VERIFY(find<QLabel>(window, "settings.watchStatus")
                        ->text()
                        .startsWith(QStringLiteral("Watching ")));
        QCOMPARE(find<QWidget>(window, "settings.screenshotFolder")->accessibleName(),
            QStringLiteral("Screenshot folder, ") + displayPath(shots));

        auto *autoSave = find<QCheckBox>(window, "settings.autoSave");
        QVERIFY(!autoSave->isChecked());
        autoSave->click();
        QVERIFY(state->autoSaveEnabled());
        QVERIFY(Preferences::boolValue(Preferences::autoSaveEnabled));

        // Picking the library inside the screenshot folder's parent that holds it is refused.
        dialogs->folderAnswers.append(m_scene->dir.path());
        QTest::mouseClick(
            find<QPushButton>(window, "settings.libraryFolder.change"), Qt::LeftButton);
        QTRY_COMPARE(dialogs->alerts.size(), 1);
        QCOMPARE(dialogs->alerts.first().informativeText,
            QStringLiteral("Your screenshot folder can't be inside your library folder."));
        QVERIFY(state->libraryRoot().isEmpty());
    }

    void languageBoxesDriveTheCoordinatorAndFollowIt()
    {
        QTemporaryDir data;
        const auto restore = useModels(data,
            { QStringLiteral("eng"), QStringLiteral("deu"), QStringLiteral("fra"),
                QStringLiteral("spa"), QStringLiteral("ita"), QStringLiteral("jpn"),
                QStringLiteral("osd") });
        auto state = makeState();
        state->setOcrLanguages({});
        UpdateController updates;
        SettingsWindow window(state->appSettings(), updates, {});

        QCheckBox *english = languageBox(window, QStringLiteral("eng"));
        QVERIFY(english && english->isChecked() && !english->isEnabled());
        QCOMPARE(english->text(), QStringLiteral("English"));
        QCOMPARE(languageBox(window, QStringLiteral("jpn"))->text(), QStringLiteral("Japanese"));
        QVERIFY(!languageBox(window, QStringLiteral("osd")));
        QCOMPARE(text(window, "settings.ocrLanguages.onlyEnglish"), QString());

        languageBox(window, QStringLiteral("deu"))->click();
        const QStringList german = { QStringLiteral("eng"), QStringLiteral("deu") };
        QCOMPARE(state->ocrLanguages(), german);
        QCOMPARE(Preferences::stringList(Preferences::ocrLanguages), german);

        // A change made elsewhere shows at once.
        state->setOcrLanguages({ QStringLiteral("fra") });
        QVERIFY(!languageBox(window, QStringLiteral("deu"))->isChecked());
        QVERIFY(languageBox(window, QStringLiteral("fra"))->isChecked());

        languageBox(window, QStringLiteral("spa"))->click();
        QCOMPARE(text(window, "settings.ocrLanguages.limit"), QString());
        languageBox(window, QStringLiteral("ita"))->click();
        QCOMPARE(state->ocrLanguages().size(), maxOcrLanguages);
        QVERIFY(!text(window, "settings.ocrLanguages.limit").isEmpty());
        for (const char *code : { "deu", "jpn" })
            QVERIFY2(!languageBox(window, QString::fromLatin1(code))->isEnabled(), code);
        QVERIFY(languageBox(window, QStringLiteral("fra"))->isEnabled());

        languageBox(window, QStringLiteral("fra"))->click();
        QCOMPARE(state->ocrLanguages(),
            (QStringList { QStringLiteral("eng"), QStringLiteral("spa"), QStringLiteral("ita") }));
        QVERIFY(languageBox(window, QStringLiteral("jpn"))->isEnabled());
        QCOMPARE(text(window, "settings.ocrLanguages.limit"), QString());
    }

    void manyLanguagesScrollInABoxOfTheirOwn()
    {
        QTemporaryDir data;
        QStringList many = { QStringLiteral("eng") };
        for (char a = 'a'; a <= 'z'; ++a)
            for (char b = 'a'; b <= 'f'; ++b)
                many.append(QStringLiteral("q") + QLatin1Char(a) + QLatin1Char(b));
        const auto restore = useModels(data, many);
        auto state = makeState();
        UpdateController updates;
        SettingsWindow window(state->appSettings(), updates, {});
        QCOMPARE(window
                     .findChildren<QCheckBox *>(
                         QRegularExpression(QStringLiteral("^settings\\.ocrLanguage\\.")))
                     .size(),
            many.size());
        auto *list = find<QWidget>(window, "settings.ocrLanguages");
        // The whole window asks for less room than the list alone would.
        QVERIFY2(window.sizeHint().height() < list->sizeHint().height(),
            qPrintable(QStringLiteral("%1 %2")
                           .arg(window.sizeHint().height())
                           .arg(list->sizeHint().height())));
    }

    void aChosenLanguageWhoseDataIsGoneHoldsNoPlace()
    {
        QTemporaryDir data;
        const auto restore = useModels(data,
            { QStringLiteral("eng"), QStringLiteral("fra"), QStringLiteral("spa"),
                QStringLiteral("ita") });
        Preferences::setValue(Preferences::ocrLanguages,
            QStringList { QStringLiteral("eng"), QStringLiteral("kor"), QStringLiteral("fra"),
                QStringLiteral("spa") });
        auto state = makeState();
        UpdateController updates;
        SettingsWindow window(state->appSettings(), updates, {});
        QVERIFY(!languageBox(window, QStringLiteral("kor")));
        QVERIFY(languageBox(window, QStringLiteral("ita"))->isEnabled());
        languageBox(window, QStringLiteral("ita"))->click();
        QCOMPARE(state->ocrLanguages(),
            (QStringList { QStringLiteral("eng"), QStringLiteral("fra"), QStringLiteral("spa"),
                QStringLiteral("ita") }));
    }

    void onlyEnglishInstalledSaysHowToGetMore()
    {
        QTemporaryDir data;
        const auto restore = useModels(data, { QStringLiteral("eng") });
        auto state = makeState();
        UpdateController updates;
        SettingsWindow window(state->appSettings(), updates, {});
        QVERIFY(text(window, "settings.ocrLanguages.onlyEnglish")
                    .contains(QStringLiteral("tesseract-ocr-deu")));
        QCOMPARE(window
                     .findChildren<QCheckBox *>(
                         QRegularExpression(QStringLiteral("^settings\\.ocrLanguage\\.")))
                     .size(),
            1);

        // Data installed while the window was closed is offered on the next show.
        QFile(data.filePath(QStringLiteral("deu.traineddata"))).open(QIODevice::WriteOnly);
        window.show();
        QVERIFY(languageBox(window, QStringLiteral("deu")));
        QCOMPARE(text(window, "settings.ocrLanguages.onlyEnglish"), QString());
    }

    void recogniseAgainShowsProgressAndCanBeCancelled()
    {
        auto ocr = std::make_shared<test::FakeRecognizer>();
        auto state = makeState(ocr);
        // More screenshots than the pass reads at once, so a cancel can stop it.
        const int count = QThread::idealThreadCount() + 2;
        for (int i = 0; i < count; ++i) {
            const QString path = m_scene->dir.filePath(QStringLiteral("shot%1.png").arg(i));
            QVERIFY(test::filledImage({ 40 + i, 30 }, Qt::white).save(path));
            state->database().insertOrUpdate(path, QStringLiteral("Shot"),
                QStringLiteral("General"), 1000.0 + i, QStringLiteral("old"), QString(),
                ScreenshotStatus::filed, 10);
        }
        UpdateController updates;
        SettingsWindow window(state->appSettings(), updates, {});
        auto *start = find<QPushButton>(window, "settings.recogniseAgain");
        auto *cancel = find<QPushButton>(window, "settings.recogniseAgain.cancel");
        QVERIFY(!cancel->isVisibleTo(&window));
        QCOMPARE(text(window, "settings.recognitionProgress"), QString());

        start->click();
        QVERIFY(ocr->started.tryAcquire(1, 10000));
        QVERIFY(!start->isEnabled());
        QVERIFY(cancel->isVisibleTo(&window));
        QTRY_COMPARE_WITH_TIMEOUT(text(window, "settings.recognitionProgress"),
            QStringLiteral("Recognising 1 of %1…").arg(count), 10000);
        QCOMPARE(find<QProgressBar>(window, "settings.recognitionProgressBar")->maximum(), count);
        ocr->gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(text(window, "settings.recognitionProgress"),
            QStringLiteral("Recognising 2 of %1…").arg(count), 10000);

        // Screenshots being read when the cancel comes still count.
        cancel->click();
        ocr->open();
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 10000);
        QVERIFY(ocr->calls < count);
        QCOMPARE(text(window, "settings.recognitionProgress"),
            QStringLiteral("Stopped after %1 of %2 screenshots.").arg(ocr->calls).arg(count));
        QVERIFY(!cancel->isVisibleTo(&window));

        // Run to the end with one file gone.
        QFile::remove(m_scene->dir.filePath(QStringLiteral("shot1.png")));
        start->click();
        QTRY_COMPARE_WITH_TIMEOUT(text(window, "settings.recognitionProgress"),
            QStringLiteral("Read the text of %1 screenshots again. One couldn't be read and "
                           "keeps its old text.")
                .arg(count - 1),
            10000);
    }
};

MARLOX_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
