#include <QTest>

#include "platform/sessionplatform.h"
#include "support/testmain.h"

using namespace marlox;

class TestSessionPlatform : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void chosenPlatform_data()
    {
        QTest::addColumn<QString>("sessionType");
        QTest::addColumn<QString>("waylandDisplay");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("qpaPlatform");
        QTest::addColumn<QString>("nativeWayland");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");

        const QStringList plain { QStringLiteral("marlox") };
        // clang-format off
        QTest::newRow("Wayland session with XWayland") << "wayland" << "wayland-0" << ":0" << ""
            << "" << plain << "xcb";
        QTest::newRow("Wayland session, session type in capitals") << "Wayland" << "wayland-0"
            << ":0" << "" << "" << plain << "xcb";
        QTest::newRow("only a Wayland display named") << "" << "wayland-0" << ":1" << "" << ""
            << plain << "xcb";
        QTest::newRow("Wayland without an X server") << "wayland" << "wayland-0" << "" << "" << ""
            << plain << "";
        QTest::newRow("X11 session") << "x11" << "" << ":0" << "" << "" << plain << "";
        QTest::newRow("X11 session with a nested Wayland display") << "x11" << "wayland-1" << ":0"
            << "" << "" << plain << "";
        QTest::newRow("no display at all") << "tty" << "" << "" << "" << "" << plain << "";
        QTest::newRow("user chose a platform") << "wayland" << "wayland-0" << ":0" << "wayland"
            << "" << plain << "";
        QTest::newRow("user chose one on the command line") << "wayland" << "wayland-0" << ":0"
            << "" << "" << QStringList { "marlox", "-platform", "wayland" } << "";
        QTest::newRow("opted out") << "wayland" << "wayland-0" << ":0" << "" << "1" << plain << "";
        QTest::newRow("opt-out switched off") << "wayland" << "wayland-0" << ":0" << "" << "0"
            << plain << "xcb";
        // clang-format on
    }
    void chosenPlatform()
    {
        SessionPlatform::Environment environment;
        QFETCH(QString, expected);
        QFETCH(QString, sessionType);
        QFETCH(QString, waylandDisplay);
        QFETCH(QString, display);
        QFETCH(QString, qpaPlatform);
        QFETCH(QString, nativeWayland);
        QFETCH(QStringList, arguments);
        environment.sessionType = sessionType;
        environment.waylandDisplay = waylandDisplay;
        environment.display = display;
        environment.qpaPlatform = qpaPlatform;
        environment.nativeWayland = nativeWayland;
        environment.arguments = arguments;
        QCOMPARE(SessionPlatform::chosenPlatform(environment), expected);
    }
};

MARLOX_TEST_MAIN(TestSessionPlatform)
#include "tst_sessionplatform.moc"
