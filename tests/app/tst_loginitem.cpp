#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include "app/loginitemcontroller.h"
#include "platform/autostart.h"
#include "storage/preferences.h"
#include "support/logcapture.h"
#include "support/testmain.h"

using namespace marlox;

class TestLoginItem : public QObject
{
    Q_OBJECT

    static QString readEntry()
    {
        QFile file(Autostart::entryPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static QString configHome()
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    }

private Q_SLOTS:
    void init()
    {
        QFile::remove(Autostart::entryPath());
        Preferences::remove(Preferences::loginItemDefaultApplied);
        QFile::setPermissions(configHome(), QFile::permissions(configHome()) | QFile::WriteOwner);
        LoginItemController::setExecutableForTesting(QStringLiteral("/opt/Mar lox/bin/marlox"));
    }

    void enablingWritesAnEntryForTheRunningBinary()
    {
        LoginItemController controller;
        QCOMPARE(controller.state(), LoginItemState::disabled);
        QVERIFY(!controller.isOn());
        controller.setEnabled(true);
        QCOMPARE(controller.state(), LoginItemState::enabled);
        const QString entry = readEntry();
        QVERIFY(entry.contains(QStringLiteral("Type=Application")));
        QVERIFY(entry.contains(QStringLiteral("Exec=\"/opt/Mar lox/bin/marlox\"")));
        QVERIFY(entry.contains(QStringLiteral("X-GNOME-Autostart-enabled=true")));
        QVERIFY(Preferences::boolValue(Preferences::loginItemDefaultApplied));

        controller.setEnabled(false);
        QCOMPARE(controller.state(), LoginItemState::disabled);
        QVERIFY(!QFile::exists(Autostart::entryPath()));
    }

    void hiddenEntryCountsAsDisabled()
    {
        QDir().mkpath(configHome() + QStringLiteral("/autostart"));
        QFile file(Autostart::entryPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Desktop Entry]\nType=Application\nExec=x\nHidden=true\n");
        file.close();
        QCOMPARE(Autostart::status(), Autostart::Status::disabled);
    }

    void defaultIsAppliedOnlyOnce()
    {
        LoginItemController first;
        first.applyDefaultOnce();
        QCOMPARE(first.state(), LoginItemState::enabled);
        first.setEnabled(false);

        // A second pass through onboarding never turns it back on.
        LoginItemController second;
        second.applyDefaultOnce();
        QCOMPARE(second.state(), LoginItemState::disabled);
        QVERIFY(!QFile::exists(Autostart::entryPath()));
    }

    void failureIsShownAndLogged()
    {
        if (QFileInfo(configHome()).isWritable() && getuid() == 0) {
            // Root writes anywhere: make the autostart folder a plain file instead.
            QFile::remove(configHome() + QStringLiteral("/autostart"));
            QDir(configHome() + QStringLiteral("/autostart")).removeRecursively();
            QFile blocker(configHome() + QStringLiteral("/autostart"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            blocker.close();
        } else {
            QFile::setPermissions(configHome(), QFile::ReadOwner | QFile::ExeOwner);
        }
        test::LogCapture log;
        LoginItemController controller;
        QCOMPARE(controller.state(), LoginItemState::unavailable);
        QSignalSpy errors(&controller, &LoginItemController::errorMessageChanged);
        controller.setEnabled(true);
        QCOMPARE(errors.count(), 1);
        QVERIFY2(controller.errorMessage().startsWith(QStringLiteral("Couldn't change this: ")),
            qPrintable(controller.errorMessage()));
        QCOMPARE(log.countStartingWith(QStringLiteral("Login item register failed: ")), 1);
        QFile::remove(configHome() + QStringLiteral("/autostart"));
    }
};

MARLOX_TEST_MAIN(TestLoginItem)
#include "tst_loginitem.moc"
