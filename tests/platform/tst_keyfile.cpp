#include <QTemporaryDir>
#include <QTest>

#include "platform/keyfile.h"
#include "support/testmain.h"

using namespace marlox;

class TestKeyFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void valuesKeepSemicolonsAndCommas()
    {
        KeyFile file;
        file.parse("# a comment\n"
                   "[ImageSave]\n"
                   "imageSaveLocation=file:///home/u/Shots, 2024; final/\n"
                   "  spaced  =  value with trailing space \n"
                   "[General]\n"
                   "default-save-location=/tmp/x\n");
        QCOMPARE(file.groups(), QStringList({ "ImageSave", "General" }));
        QCOMPARE(file.value("ImageSave", "imageSaveLocation"),
            QString("file:///home/u/Shots, 2024; final/"));
        QCOMPARE(file.value("ImageSave", "spaced"), QString("value with trailing space "));
        QCOMPARE(file.value("General", "default-save-location"), QString("/tmp/x"));
        QVERIFY(!file.value("General", "imageSaveLocation"));
        QVERIFY(!file.value("Missing", "imageSaveLocation"));
        QVERIFY(!file.contains("ImageSave", "# a comment"));
    }

    void keysBeforeAnyHeaderAndRepeatedGroups()
    {
        KeyFile file;
        file.parse("\xEF\xBB\xBFscreenshot_dir=file:///srv/shots\r\n"
                   "[A]\r\n"
                   "one=1\r\n"
                   "[B]\r\n"
                   "two=2\r\n"
                   "[A]\r\n"
                   "three=3\r\n"
                   "one=again\r\n");
        QCOMPARE(file.value(QString(), "screenshot_dir"), QString("file:///srv/shots"));
        QCOMPARE(file.groups(), QStringList({ "", "A", "B" }));
        QCOMPARE(file.value("A", "three"), QString("3"));
        // A repeated key: the later line wins.
        QCOMPARE(file.value("A", "one"), QString("again"));
        QCOMPARE(file.value("B", "two"), QString("2"));
    }

    void kdeFlagsAreDropped()
    {
        KeyFile file;
        file.parse("[ImageSave]\nimageSaveLocation[$e]=$HOME/Shots\nName[de]=Bildschirmfotos\n");
        QCOMPARE(file.value("ImageSave", "imageSaveLocation"), QString("$HOME/Shots"));
        QCOMPARE(file.value("ImageSave", "Name[de]"), QString("Bildschirmfotos"));
    }

    void escapes_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("expected");
        QTest::newRow("space, newline, tab, return")
            << R"(a\sb\nc\td\re)" << QString("a b\nc\td\re");
        QTest::newRow("backslash") << R"(C:\\dir)" << QString("C:\\dir");
        QTest::newRow("escaped semicolon") << R"(a\;b)" << QString("a;b");
        QTest::newRow("hex bytes form UTF-8") << R"(Bilder\x20f\xc3\xbcr)" << QString("Bilder für");
        QTest::newRow("unknown escape kept") << R"(a\qb)" << QString("a\\qb");
        QTest::newRow("trailing backslash kept") << R"(a\)" << QString("a\\");
        QTest::newRow("non-ASCII untouched") << QString("Größe 📷") << QString("Größe 📷");
    }
    void escapes()
    {
        QFETCH(QString, raw);
        QFETCH(QString, expected);
        QCOMPARE(KeyFile::unescape(raw), expected);
    }

    void lists()
    {
        KeyFile file;
        file.parse("[Desktop Entry]\n"
                   "Categories=Graphics;Utility;\n"
                   "Keywords=a\\;b;c\n"
                   "Single=only\n");
        QCOMPARE(
            file.stringList("Desktop Entry", "Categories"), QStringList({ "Graphics", "Utility" }));
        QCOMPARE(file.stringList("Desktop Entry", "Keywords"), QStringList({ "a;b", "c" }));
        QCOMPARE(file.stringList("Desktop Entry", "Single"), QStringList({ "only" }));
        QVERIFY(file.stringList("Desktop Entry", "Missing").isEmpty());
    }

    void localizedLookupOrder_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("country and modifier") << "sr_RS.UTF-8@latin" << "sr_RS@latin";
        QTest::newRow("country") << "de_AT.UTF-8" << "de_AT";
        QTest::newRow("language only") << "de_CH" << "de";
        QTest::newRow("language with modifier") << "sr_ME@latin" << "sr@latin";
        QTest::newRow("unknown language") << "fr_FR" << "plain";
        // clang-format on
    }
    void localizedLookupOrder()
    {
        QFETCH(QString, locale);
        QFETCH(QString, expected);
        KeyFile file;
        file.parse("[Desktop Entry]\n"
                   "Name=plain\n"
                   "Name[de]=de\n"
                   "Name[de_AT]=de_AT\n"
                   "Name[sr@latin]=sr@latin\n"
                   "Name[sr_RS@latin]=sr_RS@latin\n");
        QCOMPARE(file.localizedValue("Desktop Entry", "Name", locale), expected);
    }

    void booleans()
    {
        KeyFile file;
        file.parse("[g]\nyes=true\none=1\nno=false\nzero=0\nodd=maybe\n");
        QCOMPARE(file.boolValue("g", "yes"), std::optional<bool>(true));
        QCOMPARE(file.boolValue("g", "one"), std::optional<bool>(true));
        QCOMPARE(file.boolValue("g", "no"), std::optional<bool>(false));
        QCOMPARE(file.boolValue("g", "zero"), std::optional<bool>(false));
        QVERIFY(!file.boolValue("g", "odd"));
        QVERIFY(!file.boolValue("g", "missing"));
    }

    void loadFromDisk()
    {
        QTemporaryDir dir;
        KeyFile file;
        QVERIFY(file.load(dir.filePath("missing")));
        QVERIFY(file.groups().isEmpty());

        QFile out(dir.filePath("spectaclerc"));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("[General]\nkey=value\n");
        out.close();
        QVERIFY(file.load(out.fileName()));
        QCOMPARE(file.value("General", "key"), QString("value"));
        // A reload forgets what the previous file held.
        QVERIFY(file.load(dir.filePath("missing")));
        QVERIFY(!file.value("General", "key"));

        // A directory cannot be read as a file.
        QVERIFY(!file.load(dir.path()));
    }
};

MARLOX_TEST_MAIN(TestKeyFile)
#include "tst_keyfile.moc"
