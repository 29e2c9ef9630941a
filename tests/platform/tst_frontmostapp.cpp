#include <QTemporaryDir>
#include <QTest>

#include "platform/frontmostapp.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;

class TestFrontmostApp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_user; // plays $XDG_DATA_HOME/applications
    QString m_system; // plays /usr/share/applications

    static void writeEntry(const QString &dir, const QString &name, const QByteArray &body)
    {
        test::writeFile(dir + QLatin1Char('/') + name, body);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_user = m_dir.filePath(QStringLiteral("user"));
        m_system = m_dir.filePath(QStringLiteral("system"));
        writeEntry(m_system, QStringLiteral("org.gnome.TextEditor.desktop"),
            "[Desktop Entry]\nName=Text Editor\nName[de]=Texteditor\nExec=gnome-text-editor\n"
            "StartupWMClass=gnome-text-editor\n[Desktop Action new]\nName=New Window\n");
        writeEntry(m_system, QStringLiteral("firefox-esr.desktop"),
            "[Desktop Entry]\nName=Firefox ESR\nExec=firefox-esr %u\nKeywords=web;browser;\n");
        writeEntry(m_system, QStringLiteral("kde/org.kde.kate.desktop"),
            "# comment\n[Desktop Entry]\nName = Kate\n");
        writeEntry(m_system, QStringLiteral("org.kde.spectacle.desktop"),
            "[Desktop Entry]\nName=Spectacle\n");
        writeEntry(m_system, QStringLiteral("notes.desktop"), "[Desktop Entry]\nName=Notes\n");
        // The user's own entry overrides the system one with the same id.
        writeEntry(m_user, QStringLiteral("notes.desktop"), "[Desktop Entry]\nName=My Notes\n");
    }

    void namesComeFromDesktopEntries_data()
    {
        QTest::addColumn<QString>("instance");
        QTest::addColumn<QString>("windowClass");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("identifier");
        // clang-format off
        QTest::newRow("StartupWMClass") << "gnome-text-editor" << "Gnome-text-editor"
            << "Text Editor" << "org.gnome.TextEditor";
        QTest::newRow("desktop id from instance") << "firefox-esr" << "Firefox-esr" << "Firefox ESR"
            << "firefox-esr";
        QTest::newRow("desktop id in a sub-folder") << "kde-org.kde.kate" << "kate" << "Kate"
            << "kde-org.kde.kate";
        QTest::newRow("user entry wins") << "notes" << "Notes" << "My Notes" << "notes";
        QTest::newRow("no entry: the class") << "xterm" << "XTerm" << "XTerm" << "XTerm";
        QTest::newRow("no class: the instance") << "tool" << "" << "tool" << "tool";
        // clang-format on
    }
    void namesComeFromDesktopEntries()
    {
        QFETCH(QString, instance);
        QFETCH(QString, windowClass);
        QFETCH(QString, name);
        QFETCH(QString, identifier);
        const auto info
            = X11FrontmostApplication::fromWindowClass(instance, windowClass, { m_user, m_system });
        QVERIFY(info.has_value());
        QCOMPARE(info->name, name);
        QCOMPARE(info->identifier, identifier);
    }

    void ownWindowsAndScreenshotToolsAreExcluded_data()
    {
        QTest::addColumn<QString>("instance");
        QTest::addColumn<QString>("windowClass");
        // clang-format off
        QTest::newRow("Marlox") << "marlox" << "marlox";
        QTest::newRow("gnome-screenshot") << "gnome-screenshot" << "Gnome-screenshot";
        QTest::newRow("GNOME Shell") << "gnome-shell" << "Gnome-shell";
        QTest::newRow("spectacle via its desktop entry") << "org.kde.spectacle" << "Spectacle";
        QTest::newRow("flameshot") << "flameshot" << "flameshot";
        QTest::newRow("xfce4-screenshooter") << "xfce4-screenshooter" << "Xfce4-screenshooter";
        QTest::newRow("ksnip") << "ksnip" << "ksnip";
        QTest::newRow("nothing") << "" << "";
        // clang-format on
    }
    void ownWindowsAndScreenshotToolsAreExcluded()
    {
        QFETCH(QString, instance);
        QFETCH(QString, windowClass);
        QVERIFY(!X11FrontmostApplication::fromWindowClass(instance, windowClass, { m_system }));
    }

    void offscreenHasNoFrontmostApplication()
    {
        QVERIFY(!X11FrontmostApplication().frontmost().has_value());
    }
};

MARLOX_TEST_MAIN(TestFrontmostApp)
#include "tst_frontmostapp.moc"
