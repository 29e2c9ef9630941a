// marlox-test-labels: fault slow
// marlox-test-timeout: 240
#include <csignal>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include "app/appstate.h"
#include "app/preferences.h"
#include "filing/ocrengine.h"
#include "platform/frontmostapp.h"
#include "storage/bookmarkstore.h"
#include "storage/screenshotdatabase.h"
#include "support/fakes.h"
#include "support/filecensus.h"
#include "support/logcapture.h"
#include "support/marloxprocess.h"
#include "support/testmain.h"

using namespace marlox;
using namespace marlox::test;

namespace {

// Recognition that waits until the test lets it go: a capture stays "being
// filed" for as long as the test needs.
class HeldRecognizer : public TextRecognizer
{
public:
    QSemaphore entered;
    QSemaphore release;
    QString recognizeText(const QImage &) override
    {
        entered.release();
        release.acquire();
        return QStringLiteral("held");
    }
};

class NoFrontmost : public FrontmostApplication
{
public:
    std::optional<Info> frontmost() override { return std::nullopt; }
};

} // namespace

class TestShutdown : public QObject
{
    Q_OBJECT

    QString m_binary;
    QString m_output;
    QTemporaryDir m_dir;

    QString databasePath() const
    {
        return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Marlox/library.sqlite3");
    }

    void start(QProcess &process)
    {
        m_output.clear();
        QVERIFY2(startOffscreen(process, m_binary), qPrintable(process.errorString()));
    }

    bool waitForLog(QProcess &process, const QString &text, int timeoutMs)
    {
        return waitForOutput(process, m_output, text, timeoutMs);
    }

    void configure(const QString &shots, const QString &library)
    {
        QVERIFY(QDir().mkpath(shots) && QDir().mkpath(library));
        QFile::remove(Preferences::filePath());
        Preferences::setValue(Preferences::autoSaveEnabled, true);
        Preferences::setValue(Preferences::onboardingCompleted, true);
        BookmarkStore().save(shots, Preferences::screenshotFolderBookmark);
        BookmarkStore().save(library, Preferences::libraryRootBookmark);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_binary = marloxBinary();
        QVERIFY2(QFileInfo(m_binary).isExecutable(), qPrintable(m_binary));
    }

    void sigtermWhileFilingKeepsTheCapture_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<QString>("signal");
        QTest::newRow("at detection") << 0 << "TERM";
        QTest::newRow("while recognising") << 150 << "TERM";
        QTest::newRow("later") << 1500 << "TERM";
        QTest::newRow("hang-up at detection") << 0 << "HUP";
    }

    // The capture is either filed with its row, or still in the screenshot
    // folder with an Inbox row; never unindexed, never gone.
    void sigtermWhileFilingKeepsTheCapture()
    {
        QFETCH(int, delayMs);
        QFETCH(QString, signal);
        const QString base = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        const QString shots = base + QStringLiteral("/Shots");
        const QString library = base + QStringLiteral("/Library");
        configure(shots, library);

        QProcess marlox;
        start(marlox);
        auto reap = qScopeGuard([&marlox] {
            marlox.kill();
            marlox.waitForFinished(10000);
        });
        QVERIFY2(waitForLog(marlox, QStringLiteral("Watching "), 30000), qPrintable(m_output));
        const QByteArray bytes = distinctPng(delayMs + 7, 400, 200);
        QVERIFY(writeWholeFile(shots + QStringLiteral("/Screenshot.png"), bytes));
        QVERIFY2(waitForLog(marlox, QStringLiteral("Detected stable screenshot"), 30000),
            qPrintable(m_output));
        if (delayMs > 0)
            QTest::qSleep(delayMs);
        ::kill(pid_t(marlox.processId()), signal == QLatin1String("TERM") ? SIGTERM : SIGHUP);
        QVERIFY(marlox.waitForFinished(30000));
        m_output += QString::fromUtf8(marlox.readAll());
        reap.dismiss();
        QCOMPARE(marlox.exitStatus(), QProcess::NormalExit);
        QCOMPARE(marlox.exitCode(), 0);
        QVERIFY2(m_output.contains(QStringLiteral("quitting")), qPrintable(m_output));

        const QStringList files = regularFilesBelow({ shots, library });
        QCOMPARE(files.size(), 1);
        QCOMPARE(contentDigest(files.first()),
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        ScreenshotDatabase database(databasePath());
        const auto id = database.idForPath(files.first());
        QVERIFY2(id, qPrintable(QStringLiteral("no row for ") + files.first()));
        const ScreenshotStatus status = database.record(*id)->status;
        QCOMPARE(status,
            files.first().startsWith(library) ? ScreenshotStatus::filed : ScreenshotStatus::inbox);
        qInfo("%s after %d ms: %s", qPrintable(signal), delayMs,
            status == ScreenshotStatus::filed ? "filed" : "kept in the Inbox");
    }

    void signalEndsTheTraylessWindow_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("TERM") << int(SIGTERM);
        QTest::newRow("HUP") << int(SIGHUP);
    }

    // Offscreen there is no tray: the library window carries the menu and
    // only minimises when closed, which must not keep quitting from ending.
    void signalEndsTheTraylessWindow()
    {
        QFETCH(int, signal);
        const QString base = m_dir.filePath(QStringLiteral("trayless"));
        configure(base + QStringLiteral("/Shots"), base + QStringLiteral("/Library"));
        QProcess marlox;
        start(marlox);
        auto reap = qScopeGuard([&marlox] {
            marlox.kill();
            marlox.waitForFinished(10000);
        });
        QVERIFY2(waitForLog(marlox, QStringLiteral("No system tray"), 30000), qPrintable(m_output));
        ::kill(pid_t(marlox.processId()), signal);
        QVERIFY2(marlox.waitForFinished(30000), qPrintable(m_output));
        reap.dismiss();
        QCOMPARE(marlox.exitStatus(), QProcess::NormalExit);
        QCOMPARE(marlox.exitCode(), 0);
    }

    void secondLaunchProcessesNothing()
    {
        const QString base = m_dir.filePath(QStringLiteral("second"));
        configure(base + QStringLiteral("/Shots"), base + QStringLiteral("/Library"));
        QProcess first;
        start(first);
        auto reap = qScopeGuard([&first] {
            first.kill();
            first.waitForFinished(10000);
        });
        QVERIFY2(waitForLog(first, QStringLiteral("Watching "), 30000), qPrintable(m_output));

        QProcess second;
        start(second);
        QVERIFY(second.waitForFinished(30000));
        const QString secondOutput = QString::fromUtf8(second.readAll());
        QCOMPARE(second.exitCode(), 0);
        // It handed over before any index, watch or capture of its own.
        QVERIFY2(
            !secondOutput.contains(QStringLiteral("Starting watch")), qPrintable(secondOutput));
        QVERIFY2(!secondOutput.contains(QStringLiteral("Detected")), qPrintable(secondOutput));
        QCOMPARE(first.state(), QProcess::Running);

        ::kill(pid_t(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(30000));
        reap.dismiss();
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    }

    // What quitting and the end of the session run: a capture still being
    // recognised lands in the Inbox at once.
    void endingTheSessionKeepsCapturesInFlightInTheInbox()
    {
        const QString base = m_dir.filePath(QStringLiteral("session"));
        const QString shots = base + QStringLiteral("/Shots");
        const QString library = base + QStringLiteral("/Library");
        configure(shots, library);

        auto ocr = std::make_shared<HeldRecognizer>();
        AppStateDependencies deps;
        deps.dialogs = std::make_shared<ScriptedDialogs>();
        deps.makeCapturePrompt = [] { return std::make_unique<RecordingPrompt>(); };
        deps.ocr = ocr;
        deps.frontmost = std::make_shared<NoFrontmost>();
        deps.databasePath = base + QStringLiteral("/library.sqlite3");
        deps.installSystemObservers = false;
        LogCapture log;
        auto state = std::make_unique<AppState>(deps);
        auto release = qScopeGuard([&ocr] { ocr->release.release(); });
        // Written after the watcher's first listing, or it counts as old.
        QTRY_VERIFY_WITH_TIMEOUT(log.countStartingWith(QStringLiteral("Watching ")) > 0, 30000);

        const QString path = shots + QStringLiteral("/Screenshot held.png");
        QVERIFY(writeWholeFile(path, distinctPng(99)));
        QTRY_VERIFY_WITH_TIMEOUT(ocr->entered.available() > 0, 30000);
        QCOMPARE(state->database().idForPath(path), std::nullopt);

        state->finishPendingCaptures();
        const auto id = state->database().idForPath(path);
        QVERIFY(id);
        QCOMPARE(state->database().record(*id)->status, ScreenshotStatus::inbox);

        // Recognition finishing afterwards files the same row, not a second one.
        release.dismiss();
        ocr->release.release();
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(path), 30000);
        QCOMPARE(state->database().allRecords().size(), 1);
        QCOMPARE(state->database().allRecords().first().id, *id);
        QCOMPARE(state->database().allRecords().first().status, ScreenshotStatus::filed);
        state.reset();
        QThreadPool::globalInstance()->waitForDone();
    }
};

MARLOX_TEST_MAIN(TestShutdown)
#include "tst_shutdown.moc"
