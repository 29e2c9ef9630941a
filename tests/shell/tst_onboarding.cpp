#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/appstate.h"
#include "platform/autostart.h"
#include "shell/onboardingwindow.h"
#include "storage/preferences.h"
#include "support/appstatescene.h"
#include "support/testmain.h"

using namespace marlox;

class TestOnboarding : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::AppStateScene> m_scene;
    std::shared_ptr<test::ScriptedDialogs> m_dialogs;

    std::unique_ptr<AppState> makeState() { return m_scene->makeState(); }

    static QPushButton *forward(QWidget &view)
    {
        auto *b = view.findChild<QPushButton *>(QStringLiteral("onboarding.continue"));
        return b ? b : view.findChild<QPushButton *>(QStringLiteral("onboarding.finish"));
    }

    // Return goes to whatever holds the focus, as it does for the user.
    static void pressReturn(const QString &expectedFocus)
    {
        QTRY_COMPARE(
            QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString(),
            expectedFocus);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    }

    static QString pageText(QWidget &view)
    {
        QStringList texts;
        for (QLabel *label : view.findChildren<QLabel *>()) {
            if (label->isVisibleTo(&view))
                texts.append(label->text());
        }
        return texts.join(QLatin1Char('\n'));
    }

private Q_SLOTS:
    void init()
    {
        m_scene = std::make_unique<test::AppStateScene>();
        m_dialogs = m_scene->dialogs;
        QFile::remove(Autostart::entryPath());
    }

    void navigationRules()
    {
        using namespace OnboardingFlow;
        QCOMPARE(start(false, true, true).step, OnboardingStep::welcome);
        QCOMPARE(start(true, false, true).step, OnboardingStep::screenshotFolder);
        QVERIFY(start(true, false, true).isRepair);
        QCOMPARE(start(true, true, false).step, OnboardingStep::libraryFolder);
        QVERIFY(!start(true, true, true).isRepair);
        QCOMPARE(next(OnboardingStep::screenshotFolder, true, true), OnboardingStep::done);
        QCOMPARE(
            next(OnboardingStep::screenshotFolder, true, false), OnboardingStep::libraryFolder);
        QCOMPARE(next(OnboardingStep::libraryFolder, true, true), OnboardingStep::done);
        QCOMPARE(next(OnboardingStep::libraryFolder, false, true), OnboardingStep::tryIt);
        QVERIFY(!next(OnboardingStep::done, false, true));
        QVERIFY(!previous(OnboardingStep::welcome));
        QCOMPARE(previous(OnboardingStep::done), OnboardingStep::tryIt);

        const QDateTime started = QDateTime::currentDateTime();
        QCOMPARE(tryItPhase(started, started.addSecs(-1), {}), TryItPhase::waiting);
        QCOMPARE(tryItPhase(started, started, {}), TryItPhase::detected);
        QCOMPARE(tryItPhase(started, started, started.addSecs(2)), TryItPhase::saved);
        QCOMPARE(counterText(OnboardingStep::tryIt), QStringLiteral("Step 4 of 5"));
    }

    // Driven by Return alone: each step's default button holds the focus.
    void firstRunWalksThroughEveryStep()
    {
        auto state = makeState();
        bool finished = false;
        OnboardingView view(*state, false, OnboardingStep::welcome, [&] { finished = true; }, {});
        view.show();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QVERIFY(!view.findChild<QPushButton *>(QStringLiteral("onboarding.back")));
        QTRY_VERIFY(pageText(view).contains(QStringLiteral("Step 1 of 5")));
        pressReturn(QStringLiteral("onboarding.continue"));
        QTRY_COMPARE(view.step(), OnboardingStep::screenshotFolder);

        // Blocked until a screenshot folder is set.
        QTRY_VERIFY(forward(view) && !forward(view)->isEnabled());
        m_dialogs->folderAnswers.append(m_scene->shots);
        pressReturn(QStringLiteral("onboarding.allowScreenshotFolder"));
        QTRY_COMPARE(state->screenshotFolder(), m_scene->shots);
        QCOMPARE(m_dialogs->folderPanels.last().message,
            QStringLiteral("Click Open to let Marlox watch this folder."));
        QTRY_VERIFY(pageText(view).contains(QStringLiteral("Watching ")));
        QTRY_VERIFY(forward(view)->isEnabled());
        pressReturn(QStringLiteral("onboarding.continue"));
        QTRY_COMPARE(view.step(), OnboardingStep::libraryFolder);

        m_dialogs->newFolderAnswers.append(m_scene->dir.filePath(QStringLiteral("New Library")));
        pressReturn(QStringLiteral("onboarding.createLibraryFolder"));
        QTRY_VERIFY(QFileInfo(m_scene->dir.filePath(QStringLiteral("New Library"))).isDir());
        QCOMPARE(m_dialogs->savePanels.last().proposedName, QStringLiteral("Marlox"));
        QTRY_VERIFY(forward(view)->isEnabled());
        pressReturn(QStringLiteral("onboarding.continue"));
        QTRY_COMPARE(view.step(), OnboardingStep::tryIt);
        QTRY_COMPARE(forward(view)->text(), QStringLiteral("Skip"));
        QTRY_VERIFY(pageText(view).contains(QStringLiteral("Waiting for a screenshot…")));

        pressReturn(QStringLiteral("onboarding.continue"));
        QTRY_COMPARE(view.step(), OnboardingStep::done);
        // Launch at login is turned on once, on the last step.
        QCOMPARE(Autostart::status(), Autostart::Status::enabled);
        QTRY_COMPARE(forward(view)->text(), QStringLiteral("Finish"));
        pressReturn(QStringLiteral("onboarding.finish"));
        QTRY_VERIFY(finished);
    }

    void welcomeSaysWhereTheMenuIsWithoutATray()
    {
        auto state = makeState();
        OnboardingView view(*state, false, OnboardingStep::welcome, {}, {});
        const QString tray
            = QStringLiteral("Marlox lives in your system tray. Look for this icon.");
        QVERIFY(pageText(view).contains(tray));
        view.setTrayAbsent(true);
        QTRY_VERIFY(!pageText(view).contains(tray));
        QVERIFY(pageText(view).contains(QStringLiteral("menu bar")));
    }

    void repairWithOnlyTheLibraryMissingSkipsToTheEnd()
    {
        auto state = makeState();
        OnboardingView view(*state, true, OnboardingStep::libraryFolder, {}, {});
        view.show();
        QTRY_VERIFY(pageText(view).contains(QStringLiteral("Step 3 of 5")));
        QVERIFY(!forward(view)->isEnabled());
        state->setLibraryRoot(m_scene->dir.filePath(QStringLiteral("Lib2")), true);
        QTRY_VERIFY(forward(view)->isEnabled());
        QTest::mouseClick(forward(view), Qt::LeftButton);
        QTRY_COMPARE(view.step(), OnboardingStep::done);
    }

    void tryItRestartsItsWaitWhenShownAgain()
    {
        auto state = makeState();
        OnboardingView view(*state, false, OnboardingStep::tryIt, {}, {});
        view.show();
        QTRY_COMPARE(forward(view)->text(), QStringLiteral("Skip"));
        // A detection makes it "detected", a save makes it "Continue".
        state->handleDetection(
            Detection { m_scene->dir.filePath(QStringLiteral("none.png")), 0.1 });
        QTRY_VERIFY(pageText(view).contains(
            QStringLiteral("Got it. Give it a name and press Return to save.")));
        QCOMPARE(forward(view)->text(), QStringLiteral("Skip"));
        view.goBack();
        QTRY_VERIFY(QDateTime::currentDateTime() > state->lastDetectionAt());
        view.setStep(OnboardingStep::tryIt);
        QTRY_VERIFY(pageText(view).contains(QStringLiteral("Waiting for a screenshot…")));
    }
};

MARLOX_TEST_MAIN(TestOnboarding)
#include "tst_onboarding.moc"
