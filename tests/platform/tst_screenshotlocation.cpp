#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include "platform/screenshotlocation.h"
#include "support/testfiles.h"
#include "support/testmain.h"

using namespace marlox;

// Each row sets up a profile (config files, folders, the desktop and what a
// gsettings on PATH prints) and names the folder the lookup must find.
// "$ROOT" in file contents and paths stands for the temporary home.
class TestScreenshotLocation : public QObject
{
    Q_OBJECT

    QString m_root;
    QByteArray m_path;

    QString resolve(QString text) const { return text.replace(QLatin1String("$ROOT"), m_root); }

    // A stand-in gsettings that prints `output` for the one key Marlox asks,
    // or never answers for "<hangs>".
    void installFakeGsettings(const QString &output)
    {
        const QString bin = m_root + QStringLiteral("/fakebin");
        QFile script(bin + QStringLiteral("/gsettings"));
        test::writeFile(script.fileName(),
            output == QLatin1String("<hangs>")
                ? QByteArray("#!/bin/sh\nexec sleep 600\n")
                : "#!/bin/sh\n"
                  "[ \"$1|$2|$3\" = \"get|org.gnome.gnome-screenshot|auto-save-directory\" ] "
                  "|| exit 1\n"
                  "cat <<'MARLOX_EOF'\n"
                    + resolve(output).toUtf8() + "\nMARLOX_EOF\n");
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("PATH", bin.toUtf8() + ":/usr/bin:/bin");
    }

    static void remove(const QString &path)
    {
        if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink())
            QVERIFY(QDir(path).removeRecursively());
        else
            QVERIFY(QFile::remove(path));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_root = QDir::cleanPath(test::profileRoot());
        m_path = qgetenv("PATH");
        // The "<hangs>" row waits this long; the others answer at once.
        ScreenshotLocation::setSettingsToolTimeout(std::chrono::milliseconds(500));
    }

    void cleanup()
    {
        // Everything but the XDG folders themselves goes, and the config folder is emptied.
        const QStringList keep = { ".config", ".local", ".cache", "runtime" };
        const QDir root(m_root);
        for (const QString &name :
            root.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (!keep.contains(name))
                remove(root.filePath(name));
        }
        const QDir config(m_root + QStringLiteral("/.config"));
        for (const QString &name :
            config.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            remove(config.filePath(name));
        }
        qunsetenv("XDG_CURRENT_DESKTOP");
        qputenv("PATH", m_path);
    }

    void lookup_data()
    {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QStringList>("files"); // "relative path", "content", …
        QTest::addColumn<QStringList>("dirs");
        QTest::addColumn<QString>("gsettings"); // null: no gsettings on PATH
        QTest::addColumn<QString>("expected");

        const QString none;
        // clang-format off
        QTest::newRow("nothing at all: home")
            << none << QStringList() << QStringList() << none << "";
        QTest::newRow("home/Desktop when it exists")
            << none << QStringList() << QStringList({ "Desktop" }) << none << "Desktop";
        QTest::newRow("Pictures before Desktop") << none << QStringList()
            << QStringList({ "Desktop", "Pictures" }) << none << "Pictures";
        QTest::newRow("Pictures/Screenshots before Pictures") << none << QStringList()
            << QStringList({ "Pictures/Screenshots" }) << none << "Pictures/Screenshots";
        QTest::newRow("user-dirs.dirs moves Pictures") << none
            << QStringList({ ".config/user-dirs.dirs", "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n" })
            << QStringList({ "Pictures/Screenshots", "Bilder/Screenshots" }) << none
            << "Bilder/Screenshots";

        QTest::newRow("flameshot savePath")
            << none
            << QStringList(
                   { ".config/flameshot/flameshot.ini", "[General]\nsavePath=$ROOT/Flame\n" })
            << QStringList({ "Flame", "Pictures/Screenshots" }) << none << "Flame";
        QTest::newRow("flameshot folder missing: ksnip")
            << none
            << QStringList({ ".config/flameshot/flameshot.ini", "[General]\nsavePath=$ROOT/Gone\n",
                   ".config/ksnip/ksnip.conf", "[Application]\nSaveDirectory=$ROOT/Snips\n" })
            << QStringList({ "Snips", "Pictures/Screenshots" }) << none << "Snips";
        QTest::newRow("flameshot before ksnip")
            << none
            << QStringList({ ".config/flameshot/flameshot.ini", "[General]\nsavePath=~/Flame\n",
                   ".config/ksnip/ksnip.conf", "[Application]\nSaveDirectory=$ROOT/Snips\n" })
            << QStringList({ "Flame", "Snips" }) << none << "Flame";
        QTest::newRow("other URL schemes are ignored")
            << none
            << QStringList({ ".config/flameshot/flameshot.ini",
                   "[General]\nsavePath=smb://server/Flame\n" })
            << QStringList({ "Pictures" }) << none << "Pictures";

        QTest::newRow("GNOME: the gsettings location, a file URL") << "GNOME" << QStringList()
            << QStringList({ "Gnome Shots", "Pictures/Screenshots" })
            << "'file://$ROOT/Gnome%20Shots/'" << "Gnome Shots";
        QTest::newRow("GNOME setting beats flameshot")
            << "ubuntu:GNOME"
            << QStringList(
                   { ".config/flameshot/flameshot.ini", "[General]\nsavePath=$ROOT/Flame\n" })
            << QStringList({ "Gnome", "Flame" }) << "'$ROOT/Gnome'"
            << "Gnome";
        QTest::newRow("GNOME setting only counts on GNOME")
            << "XFCE"
            << QStringList(
                   { ".config/flameshot/flameshot.ini", "[General]\nsavePath=$ROOT/Flame\n" })
            << QStringList({ "Gnome", "Flame" }) << "'$ROOT/Gnome'"
            << "Flame";
        QTest::newRow("GNOME empty setting: Pictures/Screenshots") << "Unity" << QStringList()
            << QStringList({ "Pictures/Screenshots", "Desktop" }) << "''" << "Pictures/Screenshots";
        QTest::newRow("GNOME without gsettings: Pictures/Screenshots") << "GNOME" << QStringList()
            << QStringList({ "Pictures/Screenshots", "Desktop" }) << none << "Pictures/Screenshots";
        QTest::newRow("GNOME gsettings that never answers is given up") << "GNOME"
            << QStringList() << QStringList({ "Pictures/Screenshots" }) << "<hangs>"
            << "Pictures/Screenshots";
        QTest::newRow("GNOME setting to a missing folder: fall back") << "gnome" << QStringList()
            << QStringList({ "Desktop" }) << "'$ROOT/Missing'" << "Desktop";

        QTest::newRow("KDE imageSaveLocation, a file URL with ; and ,")
            << "KDE"
            << QStringList({ ".config/spectaclerc",
                   "[ImageSave]\nimageSaveLocation=file://$ROOT/Shots, 2024; final/\n" })
            << QStringList({ "Shots, 2024; final", "Pictures/Screenshots" }) << none
            << "Shots, 2024; final";
        QTest::newRow("KDE defaultSaveLocation when the first is missing")
            << "KDE"
            << QStringList({ ".config/spectaclerc",
                   "[ImageSave]\nimageSaveLocation=file://$ROOT/Gone\n"
                   "[Save]\ndefaultSaveLocation=~/Saved\n" })
            << QStringList({ "Saved", "Pictures/Screenshots" }) << none << "Saved";
        QTest::newRow("KDE old General key with ~/") << "KDE"
            << QStringList({ ".config/spectaclerc", "[General]\ndefault-save-location=~/Old\n" })
            << QStringList({ "Old", "Pictures/Screenshots" }) << none << "Old";
        QTest::newRow("KDE translated folder under Pictures")
            << "KDE"
            << QStringList({ ".config/spectaclerc",
                   "[ImageSave]\ntranslatedScreenshotsFolder=Bildschirmfotos\n" })
            << QStringList({ "Pictures/Bildschirmfotos", "Pictures/Screenshots" }) << none
            << "Pictures/Bildschirmfotos";
        QTest::newRow("KDE setting only counts on KDE") << none
            << QStringList({ ".config/spectaclerc", "[ImageSave]\nimageSaveLocation=$ROOT/Kde\n" })
            << QStringList({ "Kde", "Pictures" }) << none << "Pictures";

        QTest::newRow("Xfce screenshot_dir")
            << "XFCE"
            << QStringList({ ".config/xfce4/xfce4-screenshooter",
                   "screenshot_dir=file://$ROOT/Xfce\nenlarge=false\n" })
            << QStringList({ "Xfce", "Pictures/Screenshots" }) << none << "Xfce";
        QTest::newRow("Xfce screenshot_dir in [Default]")
            << "X-Generic:XFCE"
            << QStringList({ ".config/xfce4/xfce4-screenshooter",
                   "[Default]\nscreenshot_dir=$ROOT/Xfce\n" })
            << QStringList({ "Xfce", "Pictures/Screenshots" }) << none << "Xfce";
        // clang-format on
    }
    void lookup()
    {
        QFETCH(QString, desktop);
        QFETCH(QStringList, files);
        QFETCH(QStringList, dirs);
        QFETCH(QString, gsettings);
        QFETCH(QString, expected);

        if (!desktop.isNull())
            qputenv("XDG_CURRENT_DESKTOP", desktop.toUtf8());
        for (qsizetype i = 0; i + 1 < files.size(); i += 2)
            test::writeFile(m_root + QLatin1Char('/') + files[i], resolve(files[i + 1]).toUtf8());
        for (const QString &dir : std::as_const(dirs))
            QVERIFY(QDir().mkpath(m_root + QLatin1Char('/') + dir));
        if (gsettings.isNull()) {
            const QString empty = m_root + QStringLiteral("/emptybin");
            QVERIFY(QDir().mkpath(empty));
            qputenv("PATH", empty.toUtf8());
        } else {
            installFakeGsettings(gsettings);
        }

        const QString want = expected.isEmpty() ? m_root : m_root + QLatin1Char('/') + expected;
        QCOMPARE(ScreenshotLocation::systemScreenshotFolder(m_root), want);
    }

    void localPath_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("tilde alone") << "~" << "/home/u";
        QTest::newRow("tilde slash") << "~/Shots/" << "/home/u/Shots";
        QTest::newRow("$HOME") << "$HOME/Shots" << "/home/u/Shots";
        QTest::newRow("absolute, cleaned") << "/srv//shots/./a/../b/" << "/srv/shots/b";
        QTest::newRow("file URL, percent-encoded") << "file:///srv/My%20Shots/" << "/srv/My Shots";
        QTest::newRow("file URL on localhost") << "file://localhost/srv/x" << "/srv/x";
        QTest::newRow("file URL on another host") << "file://server/srv/x" << "";
        QTest::newRow("other scheme") << "smb://server/share" << "";
        QTest::newRow("relative path") << "Pictures" << "";
        QTest::newRow("tilde user is not ours") << "~other/x" << "";
        QTest::newRow("blank") << "   " << "";
        QTest::newRow("surrounding blanks") << "  /srv/x  " << "/srv/x";
        QTest::newRow("colon inside a path") << "/srv/a:b" << "/srv/a:b";
        // clang-format on
    }
    void localPath()
    {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        QCOMPARE(ScreenshotLocation::localPath(value, QStringLiteral("/home/u")), expected);
    }

    void gvariantStrings_data()
    {
        QTest::addColumn<QString>("printed");
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("single quotes") << "'file:///x'\n" << "file:///x";
        QTest::newRow("empty") << "''\n" << "";
        QTest::newRow("escaped quote") << "'it\\'s'" << "it's";
        QTest::newRow("double quotes around a single quote") << "\"it's\"" << "it's";
        QTest::newRow("escaped backslash") << "'a\\\\b'" << "a\\b";
        QTest::newRow("unicode escape") << "'caf\\u00e9'" << "café";
        QTest::newRow("typed") << "@s '/x'" << "/x";
        QTest::newRow("not a string") << "uint32 5" << "";
        QTest::newRow("unbalanced") << "'abc" << "";
        // clang-format on
    }
    void gvariantStrings()
    {
        QFETCH(QString, printed);
        QFETCH(QString, expected);
        QCOMPARE(ScreenshotLocation::parseGVariantString(printed), expected);
    }
};

MARLOX_TEST_MAIN(TestScreenshotLocation)
#include "tst_screenshotlocation.moc"
